// Opening the modem's serial line and setting it to 115200 8N1, raw.
#include "port.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

int open_serial(const char *path, PortNote &note)
{
    // Only a character device can be a modem: a regular file or a FIFO
    // left under the device's name by a stray script is never opened.
    struct stat node {};
    if (stat(path, &node) != 0)
        return -1;
    if (!S_ISCHR(node.st_mode)) {
        errno = ENOTTY;
        return -1;
    }
    // O_NONBLOCK: neither the open nor any read may wait for carrier; all
    // waiting is done with poll(). O_NOCTTY: we lead a session of our own
    // and must not take the modem as its controlling terminal.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_SYNC);
    if (fd < 0)
        return -1;
    if (isatty(fd) == 0) {  // /dev/null and the like: no line to talk on
        close(fd);          // opened read-write but nothing written: nothing to lose
        errno = ENOTTY;
        return -1;
    }

    termios tio{};
    if (tcgetattr(fd, &tio) != 0)
        tio = termios{};  // nothing read: write zeroed c_line and c_cc rather than garbage
    tio.c_iflag = IGNBRK | IGNPAR;                 // no CR/LF mapping, no XON/XOFF
    tio.c_oflag = 0;                               // bytes go out as written
    tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL;  // 8N1, no RTS/CTS, ignore DCD
    tio.c_lflag = 0;                               // raw: no echo, no line editing
    tio.c_line = 0;                                // N_TTY: the plain line discipline
    // A read, and poll(), must wake for the first byte: another program may
    // have left VMIN at 64, and a 4-byte prompt would never be seen.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0)
        std::snprintf(note.data(), note.size(), "tcsetattr(%s) error: %s", path,
                      std::strerror(errno));
    return fd;
}
