// Reporting to syslog and standard error without ever waiting long for
// either. syslog(3) blocks while the log socket's queue is full (a stalled
// journald or rsyslog), for as long as that lasts; our own client sends one
// datagram, non-blocking, and waits for room a bounded time. Failures go to
// standard error as well, so that cron mails them and a host without
// /dev/log still shows them.
#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

int g_log = -1;  // the connected log socket, -1 while there is none

// Warnings wait here, "cellpost: <line>\n" each, for a failure to go out
// with: a run that succeeds in the end prints nothing, so that cron mails
// only failures. What does not fit is left to syslog.
std::array<char, kPendingWarnings> g_pending;
std::size_t g_pending_used = 0;

long long now_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);  // always readable; `now` is valid
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Waits until `fd` takes more bytes, at most until `deadline`; past it,
// only looks. A stop signal ends the wait: the line is dropped and the run
// goes on to stop.
bool writable(int fd, long long deadline)
{
    for (;;) {
        pollfd p = {fd, POLLOUT, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max(deadline - now_ms(), 0LL)));
        if (ready > 0)
            return (p.revents & (POLLERR | POLLNVAL)) == 0;
        if (ready == 0 || errno != EINTR || g_stop_signal != 0)
            return false;
    }
}

void connect_log()
{
    if (g_log >= 0)
        return;
    g_log = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (g_log < 0)
        return;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", kLogSocket);  // fits
    if (connect(g_log, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(g_log);  // never used: nothing to lose
        g_log = -1;
    }
}

// One datagram: the whole line or nothing. A restarted syslog daemon has a
// new socket under the old name: connect again, once.
void send_log(std::string_view line, long long deadline)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        connect_log();
        if (g_log < 0)
            return;
        for (;;) {
            if (send(g_log, line.data(), line.size(), MSG_NOSIGNAL) >= 0)
                return;
            if ((errno != EAGAIN && errno != EINTR) || !writable(g_log, deadline))
                break;
        }
        if (errno != ECONNREFUSED && errno != ENOTCONN)
            return;  // full for too long, or a stop: dropped
        close_report();
    }
}

// To standard error, whatever it is: a terminal, cron's pipe, /dev/null.
void write_stderr(std::string_view text, long long deadline)
{
    while (!text.empty() && writable(STDERR_FILENO, deadline)) {
        const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        if (n > 0)
            text.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

void open_report()
{
    connect_log();  // now, while /dev/log is what it was when we started
}

void close_report()
{
    if (g_log >= 0)
        close(g_log);  // a datagram socket: every line already went, or was dropped
    g_log = -1;
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

// Warnings are held back; an error goes out with those before it.
void to_stderr(int priority, std::string_view message, long long deadline)
{
    if (priority > LOG_WARNING)
        return;  // successes and notes stay in syslog
    const std::size_t room = g_pending.size() - g_pending_used;
    const int n = std::snprintf(g_pending.data() + g_pending_used, room, "%s: %.*s\n", kReportTag,
                                static_cast<int>(message.size()), message.data());
    if (n > 0 && static_cast<std::size_t>(n) < room)
        g_pending_used += static_cast<std::size_t>(n);
    if (priority == LOG_WARNING)
        return;
    write_stderr({g_pending.data(), g_pending_used}, deadline);
    g_pending_used = 0;
}

// Standard error first: a stalled syslog daemon must not keep a failure
// from cron's mail.
void vreport(int wait_ms, int priority, const char *format, va_list args)
{
    std::array<char, kReportSize> text{};
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): both callers va_start it
    const int length = std::vsnprintf(text.data(), text.size(), format, args);
    if (length < 0)
        return;
    const std::string_view message(
        text.data(), std::min<std::size_t>(static_cast<std::size_t>(length), text.size() - 1));
    const long long deadline = now_ms() + wait_ms;
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
    vreport(kReportWaitMs, priority, format, args);
    va_end(args);
}

void report_within(int wait_ms, int priority, const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    vreport(wait_ms, priority, format, args);
    va_end(args);
}
