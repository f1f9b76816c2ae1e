// Text helpers shared by the layers that read what the modem says.
#include "base.h"

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

}  // namespace

// Without substr(), which may throw: the program links the C library alone.
std::string_view trim_blanks(std::string_view line)
{
    while (!line.empty() && blank(line.front()))
        line.remove_prefix(1);
    while (!line.empty() && blank(line.back()))
        line.remove_suffix(1);
    return line;
}
