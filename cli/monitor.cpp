// --monitor: a check's verdict as a monitoring plugin gives it, by the
// Nagios plugin convention that Icinga, Naemon and the NRPE agent follow:
// one line "SMS <status> - <what>", the signal as performance data after
// '|', and the status as the exit code.
#include "cli.h"

#include "base.h"
#include "report.h"

#include <cstdio>

namespace {

// The performance data after '|': a format and up to three numbers.
using PerfData = std::array<char, 64>;

// Prints the line; `what` is escaped first: a device's name comes from the
// command line or the environment, an answer from the modem.
int print_line(MonitorStatus status, std::string_view what, const PerfData &data)
{
    std::array<char, kReportSize> shown{};
    const std::string_view text = escape_line(what, shown);
    std::printf(kMonitorLineFormat, kMonitorStatus[status], static_cast<int>(text.size()),
                text.data(), data.data());
    return status;
}

// The signal, when the modem gave one.
PerfData signal_data(int rssi)
{
    PerfData data{};
    if (rssi >= 0)
        std::snprintf(data.data(), data.size(), kMonitorSignalFormat, rssi);
    return data;
}

}  // namespace

int print_monitor_line(const CheckResult &r, int seconds)
{
    // What each verdict means for an alarm now: a busy port is in use by
    // another run, most likely sending an alarm, but it may be a stuck one
    // or a terminal program: worth a look if it lasts, no page. Time that
    // ran out before the modem could be asked leaves the state unknown.
    std::array<char, kReportSize> what{};
    const char *device = r.device != nullptr ? r.device : "";
    const bool weak = r.rssi >= 0 && r.rssi < kRssiWeak;
    const bool unasked = r.out_of_time && r.cause == kCheckNoAnswer;
    MonitorStatus status = kMonitorCritical;
    if (r.interrupted) {
        status = kMonitorUnknown;
        std::snprintf(what.data(), what.size(), "interrupted by signal %d",
                      static_cast<int>(g_stop_signal));
    } else if (r.busy) {
        status = kMonitorWarning;
        std::snprintf(what.data(), what.size(), "%s; the modem was not asked", r.cause);
    } else if (r.cause == nullptr) {
        status = weak ? kMonitorWarning : kMonitorOk;
        std::snprintf(what.data(), what.size(), "%s on %s, signal %d of %d",
                      weak ? "modem ready, weak signal" : "modem ready", device, r.rssi, kRssiMax);
    } else if (r.no_port) {
        std::snprintf(what.data(), what.size(), "%s: %.*s", kCheckNoPort,
                      static_cast<int>(r.answer.size()), r.answer.data());
    } else if (unasked) {
        status = kMonitorUnknown;
        std::snprintf(what.data(), what.size(), "no verdict within %d s on %s", seconds, device);
    } else {
        std::snprintf(what.data(), what.size(), "%s on %s%s%.*s", r.cause, device,
                      r.answer.empty() ? "" : ": ", static_cast<int>(r.answer.size()),
                      r.answer.data());
    }
    return print_line(status, what.data(), signal_data(r.rssi));
}

int print_monitor_problem(const char *problem)
{
    return print_line(kMonitorUnknown, problem, PerfData{});
}

int print_monitor_pool(int ready, int modems, const CheckResult &worst)
{
    const MonitorStatus status = ready == modems ? kMonitorOk
                                 : ready > 0     ? kMonitorWarning
                                                 : kMonitorCritical;
    std::array<char, kReportSize> what{};
    const int n = std::snprintf(what.data(), what.size(), kMonitorPoolFormat, ready, modems);
    if (worst.cause != nullptr && worst.device != nullptr && n > 0)
        std::snprintf(what.data() + n, what.size() - static_cast<std::size_t>(n),
                      kMonitorPoolWorstFormat, worst.device, worst.cause,
                      worst.answer.empty() ? "" : ": ", static_cast<int>(worst.answer.size()),
                      worst.answer.data());
    PerfData data{};
    std::snprintf(data.data(), data.size(), kMonitorPoolData, ready, modems > 1 ? 2 : 1, modems);
    return print_line(status, what.data(), data);
}
