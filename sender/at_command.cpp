// One AT exchange: write a command line, gather what the modem answers.
#include "sender.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/select.h>
#include <unistd.h>

namespace {

// One reply at a time for the whole process; valid until the next command.
std::array<char, kReplyBufferSize> g_reply;

timeval seconds(int s)
{
    return timeval{s, 0};
}

// select() on fd alone; true when it is ready before `timeout` runs out.
bool wait_ready(int fd, bool for_write, timeval timeout)
{
    if (fd < 0 || fd >= FD_SETSIZE)
        return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    return select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr,
                  &timeout) > 0;
}

// The port is non-blocking, so a write may take only part of a long PDU
// line; wait for room and go on, or a truncated PDU would reach the modem.
// On failure, stop: the missing answer will tell the caller.
void write_all(int fd, std::string_view data, int timeout_seconds)
{
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return;
        if (!wait_ready(fd, true, seconds(timeout_seconds)))
            return;
    }
}

}  // namespace

const char *at_command(int fd, const char *command, int timeout_seconds)
{
    write_all(fd, command, timeout_seconds);

    g_reply.fill('\0');
    std::size_t received = 0;  // every byte read, kept or not
    if (!wait_ready(fd, false, seconds(timeout_seconds)))
        return g_reply.data();
    for (;;) {
        ssize_t got = 0;
        if (received < kReplyBufferSize - 1) {
            got = read(fd, g_reply.data() + received, kReplyBufferSize - 1 - received);
        } else {
            // Keep draining, so a flood ends here instead of in the next reply.
            std::array<char, kDiscardChunk> discard;
            got = read(fd, discard.data(), discard.size());
        }
        if (got <= 0)
            break;
        received += static_cast<std::size_t>(got);
        if (received > kReplyReadLimit)
            break;
        // After a real chunk the modem has said its piece once it falls
        // quiet; one or two bytes (a lone CR LF) may be the start of more.
        const timeval next = got > 2 ? timeval{0, kQuietMicroseconds} : seconds(timeout_seconds);
        if (!wait_ready(fd, false, next))
            break;
    }
    return g_reply.data();
}
