// cellpost: send one text as SMS to 1 to 19 numbers through a GSM modem.
#include "cli.h"

int main(int argc, char **argv)
{
    return cellpost_main(argc, argv);
}
