// What goes where: every line to syslog, framed as syslog(3) frames it;
// failures to standard error too, so that cron mails them and a host
// without /dev/log still shows them; warnings held back until a failure,
// but for one that no retry cures; the run's label before every line.
#include "report.h"

#include "base.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <syslog.h>
#include <unistd.h>

namespace {

// Warnings wait here, "cellpost: <line>\n" each, for a failure to go out
// with: a run that succeeds in the end prints nothing, so that cron mails
// only failures. Those that do not fit are counted and left to syslog;
// errors never wait here, so none is ever lost to a crowd of warnings.
std::array<char, kPendingWarnings> g_pending;
std::size_t g_pending_used = 0;
unsigned g_warnings_left = 0;
// "[<label>] " of --tag, or empty; and the run's deadline, if it has one.
std::array<char, kLabelRoom> g_label{};
long long g_deadline = -1;

// As syslog(3) writes it: "<priority>Mmm dd hh:mm:ss cellpost[pid]: text".
void to_syslog(int priority, std::string_view message, long long deadline)
{
    std::array<char, kReportSize + kLabelRoom + 64> line{};
    const time_t now = time(nullptr);
    tm local{};
    std::array<char, 32> stamp{};
    if (localtime_r(&now, &local) == nullptr ||
        strftime(stamp.data(), stamp.size(), "%h %e %T", &local) == 0)
        stamp[0] = '\0';
    const int n =
        std::snprintf(line.data(), line.size(), "<%d>%s %s[%d]: %s%.*s", LOG_DAEMON | priority,
                      stamp.data(), kReportTag, static_cast<int>(getpid()), g_label.data(),
                      static_cast<int>(message.size()), message.data());
    if (n > 0)
        send_log({line.data(), std::min<std::size_t>(static_cast<std::size_t>(n), line.size() - 1)},
                 deadline);
}

// Warnings are held back (unless `at_once`); an error goes out at once,
// after the warnings before it and a line that counts those that did not fit.
void to_stderr(int priority, std::string_view message, long long deadline, bool at_once)
{
    if (priority > LOG_WARNING)
        return;  // successes and notes stay in syslog
    std::array<char, kReportSize + kLabelRoom + kTagRoom> line{};
    const int n = std::snprintf(line.data(), line.size(), "%s: %s%.*s\n", kReportTag,
                                g_label.data(), static_cast<int>(message.size()), message.data());
    const std::string_view text(
        line.data(),
        std::min<std::size_t>(static_cast<std::size_t>(std::max(n, 0)), line.size() - 1));
    if (priority == LOG_WARNING && !at_once) {
        if (text.size() <= g_pending.size() - g_pending_used) {
            std::copy(text.begin(), text.end(), g_pending.begin() + g_pending_used);
            g_pending_used += text.size();
        } else {
            ++g_warnings_left;
        }
        return;
    }
    // Whatever does not go out in time is dropped: syslog has it.
    static_cast<void>(put_stderr({g_pending.data(), g_pending_used}, deadline));
    if (g_warnings_left > 0) {
        std::array<char, kReportSize> note{};
        const int length = std::snprintf(note.data(), note.size(), kWarningsLeftFormat, kReportTag,
                                         g_label.data(), g_warnings_left);
        static_cast<void>(put_stderr({note.data(), static_cast<std::size_t>(length)}, deadline));
    }
    static_cast<void>(put_stderr(text, deadline));
    g_pending_used = 0;
    g_warnings_left = 0;
}

// Standard error first: a stalled syslog daemon must not keep a failure
// from cron's mail.
void vreport(int priority, const char *format, va_list args, bool at_once)
{
    std::array<char, kReportSize> text{};
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): every caller va_starts it
    const int length = std::vsnprintf(text.data(), text.size(), format, args);
    if (length < 0)
        return;
    std::array<char, kReportSize> shown{};
    const std::string_view message = escape_line(
        {text.data(), std::min<std::size_t>(static_cast<std::size_t>(length), text.size() - 1)},
        shown);
    long long deadline = monotonic_ms() + kReportWaitMs;
    if (g_deadline >= 0)
        deadline = std::min(deadline, g_deadline);
    to_stderr(priority, message, deadline, at_once);
    to_syslog(priority, message, deadline);
}

}  // namespace

// printf-style, as syslog(3) is: the callers' formats are checked by the
// compiler through the declaration's format attribute.
void report(int priority, const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    vreport(priority, format, args, false);
    va_end(args);
}

void warn_at_once(const char *format, ...)  // NOLINT(cert-dcl50-cpp)
{
    va_list args;
    va_start(args, format);
    vreport(LOG_WARNING, format, args, true);
    va_end(args);
}

void set_report_label(std::string_view label)
{
    std::snprintf(g_label.data(), g_label.size(), "[%.*s] ", static_cast<int>(label.size()),
                  label.data());  // checked to fit by the caller; cut if not
}

void set_report_deadline(long long deadline)
{
    g_deadline = deadline;
}
