// Reporting to syslog and standard error without ever waiting long for
// either. syslog(3) blocks while the log socket's queue is full (a stalled
// journald or rsyslog), for as long as that lasts; our own client sends one
// datagram, non-blocking, and waits for room a bounded time. Failures go to
// standard error as well, so that cron mails them and a host without
// /dev/log still shows them.
#include "report.h"

#include "base.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <syslog.h>
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

// Warnings wait here, "cellpost: <line>\n" each, for a failure to go out
// with: a run that succeeds in the end prints nothing, so that cron mails
// only failures. Those that do not fit are counted and left to syslog;
// errors never wait here, so none is ever lost to a crowd of warnings.
std::array<char, kPendingWarnings> g_pending;
std::size_t g_pending_used = 0;
unsigned g_warnings_left = 0;

// Well-formed UTF-8 (RFC 3629) shown as it is: the range of a lead byte,
// the character's length and the range its second byte may take.
struct Utf8Form {
    unsigned char first;
    unsigned char last;
    unsigned char length;
    unsigned char low;
    unsigned char high;
};

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
    for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
        // Non-blocking: a daemon whose backlog is full must not hold the connect.
        g_log = {socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0), true, true};
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

// clang-format off
static const Utf8Form kUtf8Forms[] = {
    {0xC2, 0xC2, 2, 0xA0, 0xBF},  // not U+0080-U+009F: C1 controls, which terminals act on
    {0xC3, 0xDF, 2, 0x80, 0xBF},
    {0xE0, 0xE0, 3, 0xA0, 0xBF},  // no overlong forms
    {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F},  // no surrogates
    {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF},  // no overlong forms
    {0xF1, 0xF3, 4, 0x80, 0xBF},
    {0xF4, 0xF4, 4, 0x80, 0x8F},  // nothing past U+10FFFF
};
// clang-format on

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

namespace {

// As syslog(3) writes it: "<priority>Mmm dd hh:mm:ss cellpost[pid]: text".
void to_syslog(int priority, std::string_view message, long long deadline)
{
    std::array<char, kReportSize + 64> line{};
    const time_t now = time(nullptr);
    tm local{};
    std::array<char, 32> stamp{};
    if (localtime_r(&now, &local) == nullptr ||
        strftime(stamp.data(), stamp.size(), "%h %e %T", &local) == 0)
        stamp[0] = '\0';
    const int n = std::snprintf(
        line.data(), line.size(), "<%d>%s %s[%d]: %.*s", LOG_DAEMON | priority, stamp.data(),
        kReportTag, static_cast<int>(getpid()), static_cast<int>(message.size()), message.data());
    if (n > 0)
        send_log({line.data(), std::min<std::size_t>(static_cast<std::size_t>(n), line.size() - 1)},
                 deadline);
}

// Warnings are held back; an error goes out at once, after the warnings
// before it and a line that counts those that did not fit.
void to_stderr(int priority, std::string_view message, long long deadline)
{
    if (priority > LOG_WARNING)
        return;  // successes and notes stay in syslog
    std::array<char, kReportSize + kTagRoom> line{};
    const int n = std::snprintf(line.data(), line.size(), "%s: %.*s\n", kReportTag,
                                static_cast<int>(message.size()), message.data());
    const std::string_view text(
        line.data(),
        std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), line.size() - 1));
    if (priority == LOG_WARNING) {
        if (text.size() <= g_pending.size() - g_pending_used) {
            std::copy(text.begin(), text.end(), g_pending.begin() + g_pending_used);
            g_pending_used += text.size();
        } else {
            ++g_warnings_left;
        }
        return;
    }
    // Whatever does not go out in time is dropped: syslog has it.
    static_cast<void>(put(g_err, {g_pending.data(), g_pending_used}, deadline));
    if (g_warnings_left > 0) {
        std::array<char, kReportSize> note{};
        const int length = std::snprintf(note.data(), note.size(), kWarningsLeftFormat, kReportTag,
                                         g_warnings_left);
        static_cast<void>(put(g_err, {note.data(), static_cast<std::size_t>(length)}, deadline));
    }
    static_cast<void>(put(g_err, text, deadline));
    g_pending_used = 0;
    g_warnings_left = 0;
}

// The length of the character at the front of `s` if it is shown as it
// is, 0 if its first byte is shown escaped.
std::size_t shown_as_is(std::string_view s)
{
    const auto byte = [s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (byte(0) >= ' ' && byte(0) != kDelete && byte(0) < kFirstNonAscii)
        return 1;
    for (const Utf8Form &form : kUtf8Forms) {
        if (byte(0) < form.first || byte(0) > form.last)
            continue;
        if (s.size() < form.length || byte(1) < form.low || byte(1) > form.high)
            return 0;
        for (std::size_t i = 2; i < form.length; ++i) {
            if ((byte(i) & kContinuationMask) != kContinuation)
                return 0;
        }
        return form.length;
    }
    return 0;
}

// The line as it may be shown: a modem's answer may hold control bytes (an
// ESC sequence that rewrites a terminal's line) or bytes that are no
// UTF-8; they are written "\xHH". Cut at a whole character or escape.
std::string_view escape_line(std::string_view in, std::span<char, kReportSize> out)
{
    std::size_t used = 0;
    while (!in.empty()) {
        const std::size_t as_is = shown_as_is(in);
        const std::size_t room = out.size() - 1 - used;
        if (as_is > 0 && as_is <= room) {
            std::copy_n(in.begin(), as_is, out.begin() + static_cast<std::ptrdiff_t>(used));
            used += as_is;
            in.remove_prefix(as_is);
        } else if (as_is == 0 && kEscapedSize <= room) {
            std::snprintf(out.data() + used, room + 1, "\\x%02x",
                          static_cast<unsigned char>(in[0]));
            used += kEscapedSize;
            in.remove_prefix(1);
        } else {
            break;
        }
    }
    out[used] = '\0';
    return {out.data(), used};
}

// Standard error first: a stalled syslog daemon must not keep a failure
// from cron's mail.
void vreport(int priority, const char *format, va_list args)
{
    std::array<char, kReportSize> text{};
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): both callers va_start it
    const int length = std::vsnprintf(text.data(), text.size(), format, args);
    if (length < 0)
        return;
    std::array<char, kReportSize> shown{};
    const std::string_view message = escape_line(
        {text.data(), std::min<std::size_t>(static_cast<std::size_t>(length), text.size() - 1)},
        shown);
    const long long deadline = monotonic_ms() + kReportWaitMs;
    to_stderr(priority, message, deadline);
    to_syslog(priority, message, deadline);
}

}  // namespace

// printf-style, as syslog(3) is: the callers' formats are checked by the
// compiler through the declaration's format attribute.
void report(int priority, const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    vreport(priority, format, args);
    va_end(args);
}
