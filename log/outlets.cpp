// The ways out of a line, without ever waiting long for either. syslog(3)
// blocks while the log socket's queue is full (a stalled journald or
// rsyslog), for as long as that lasts; our own client sends without
// blocking and waits for room a bounded time. Standard error is opened
// anew without blocking where a write to it could block.
#include "report.h"

#include "base.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// A pipe with a free slot takes this much without blocking (PIPE_BUF is
// 4096 on Linux); a terminal, most often too.
constexpr std::size_t kBlockingChunk = 256;
const dev_t kPtmxDevice = makedev(5, 2);  // /dev/ptmx

// Where lines go: the connected log socket (-1 while there is none), and
// standard error, opened anew without blocking where it is a pipe or a
// terminal. A way that made a line wait its whole time is `stalled`: later
// lines only try it, until one goes through.
struct Outlet {
    int fd = -1;
    bool socket = false;  // send() it, never raising SIGPIPE
    bool owned = false;   // ours to close
    bool stalled = false;
    bool blocking = false;  // the caller's pipe or terminal, not to be opened anew
    bool stream = false;    // a stream socket: each line ends with a NUL
};
Outlet g_log;
Outlet g_err = {STDERR_FILENO};
const char *g_log_socket = kLogSocket;
long long g_stop_seen = -1;  // when a wait first saw a stop asked for

// Waits until the outlet takes more bytes, at most until `deadline`, or
// only looks if it is stalled. Once a stop is asked for, all the lines
// still to come share kStopReportMs: the stop itself ends within a second.
bool writable(Outlet &out, long long deadline)
{
    for (;;) {
        if (g_stop_signal != 0 && g_stop_seen < 0)
            g_stop_seen = monotonic_ms();
        if (g_stop_signal != 0)
            deadline = std::min(deadline, g_stop_seen + kStopReportMs);
        const long long wait = out.stalled ? 0 : std::max(deadline - monotonic_ms(), 0LL);
        pollfd p = {out.fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(wait));
        if (ready > 0)
            return (p.revents & (POLLERR | POLLNVAL)) == 0;
        // Stalled only if it had time it did not use: the other outlet may
        // have spent the line's second.
        out.stalled = out.stalled || (ready == 0 && wait > 0);
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

// Writes all of `text` to the outlet while it takes it in time; false if
// it did not. Datagrams go whole or not at all.
bool put(Outlet &out, std::string_view text, long long deadline)
{
    while (!text.empty()) {
        // A blocking descriptor is looked at before each write, and asked
        // no more than a pipe's free slot surely takes.
        if (out.blocking && !writable(out, deadline))
            return false;
        const std::size_t size = out.blocking ? std::min(text.size(), kBlockingChunk) : text.size();
        const ssize_t n = out.socket ? send(out.fd, text.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
                                     : write(out.fd, text.data(), size);
        if (n > 0) {
            out.stalled = false;
            text.remove_prefix(static_cast<std::size_t>(n));
        } else if ((errno != EAGAIN && errno != EINTR) || !writable(out, deadline)) {
            return false;
        }
    }
    return true;
}

// A datagram socket, as most syslog daemons listen on; a daemon listening
// on a stream socket (syslog-ng's unix-stream(), some containers) refuses
// it with EPROTOTYPE, and gets a stream socket, as syslog(3) does then.
void connect_log()
{
    if (g_log.fd >= 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", g_log_socket);  // cut if long
    // A daemon that kept a line waiting its whole time is still the same
    // daemon behind a new connection: it is only tried, until it takes one.
    const bool stalled = g_log.stalled;
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        // Non-blocking: a daemon whose backlog is full must not hold the connect.
        g_log = {socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), true, true, stalled};
        g_log.stream = type == SOCK_STREAM;
        if (g_log.fd < 0)
            return;
        if (connect(g_log.fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            return;
        const int error = errno;
        close(g_log.fd);  // never used: nothing to lose
        g_log.fd = -1;
        if (error != EPROTOTYPE)
            return;
    }
}

// Standard error as it came, unless a write to it could block: a pipe or
// a terminal whose reader has stalled would hold a blocking write, and
// POLLOUT promises room for a byte, not for a line. Opened anew, the same
// pipe or terminal is ours to make non-blocking, without changing the
// caller's. A regular file never blocks, and keeps its O_APPEND.
void open_stderr()
{
    struct stat err {};
    const int flags = fcntl(STDERR_FILENO, F_GETFL);
    if (fstat(STDERR_FILENO, &err) != 0 || flags < 0 || (flags & O_ACCMODE) == O_RDONLY)
        return;  // a path-only or read-only one: writes fail, harmlessly
    g_err.socket = S_ISSOCK(err.st_mode);
    // A pty's master opened anew would be a new pty, not this one.
    if ((!S_ISFIFO(err.st_mode) && !S_ISCHR(err.st_mode)) || err.st_rdev == kPtmxDevice)
        return;
    const int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    g_err = fd >= 0 ? Outlet{fd, false, true} : Outlet{STDERR_FILENO, false, false, false, true};
}

}  // namespace

void open_report(const char *socket)
{
    g_log_socket = socket;
    connect_log();  // now, while /dev/log is what it was when we started
    open_stderr();
}

void close_report()
{
    // Every line already went, or was dropped: nothing of ours is pending.
    for (Outlet *out : {&g_log, &g_err}) {
        if (out->owned && out->fd >= 0)
            close(out->fd);
    }
    g_log = {};
    g_err = {STDERR_FILENO};
}

bool put_stderr(std::string_view text, long long deadline)
{
    return put(g_err, text, deadline);
}

// One line: a datagram, or on a stream socket the line and its NUL, as
// syslog(3) frames it there (`line` is NUL-terminated). A restarted syslog
// daemon has a new socket under the old name: connect again, once. A
// stream that failed may hold part of a line, which would run into the
// next one: it is closed, and opened anew for the next line.
void send_log(std::string_view line, long long deadline)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        connect_log();
        if (g_log.fd < 0)
            return;
        const std::size_t framed = line.size() + (g_log.stream ? 1 : 0);
        if (put(g_log, {line.data(), framed}, deadline))
            return;
        const bool again =
            errno == ECONNREFUSED || errno == ENOTCONN || errno == EPIPE || errno == ECONNRESET;
        if (!again && !g_log.stream)
            return;       // full for too long, or a stop: dropped
        close(g_log.fd);  // nothing of ours pending that the daemon would still take
        g_log.fd = -1;
        if (!again)
            return;
    }
}
