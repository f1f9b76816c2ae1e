// --check and --monitor: one modem's verdict, or a pool's, printed and
// logged once the port is given back.
#include "cli.h"

#include "report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <syslog.h>

namespace {

// The port a check takes, at namespace scope as the run's own is; given
// back before anything is printed or logged.
ModemPort g_port;

// One modem's check: its verdict logged (at err only when an alarm would
// not go out: a busy port is most likely one going out), and printed.
CheckResult check_one(const CommandLine &line, const ModemPorts &ports, const char *devices_from,
                      long long milliseconds, const DialogueTimeouts &timeouts)
{
    const CheckResult result =
        check_modem(g_port, ports, {devices_from, milliseconds, !line.monitor}, timeouts);
    close_modem(g_port);  // before anything is printed or logged
    if (result.interrupted)
        static_cast<void>(interrupted());
    else if (result.cause == nullptr)
        report(LOG_INFO, "%s", kMsgModemReady);
    else
        report(result.busy ? LOG_NOTICE : LOG_ERR, kMsgModemNotReadyFormat, result.cause);
    if (line.monitor || result.interrupted)
        return result;
    if (result.cause == nullptr)
        std::printf("%s\n", kCheckReady);
    else
        std::printf("%s%s\n", kCheckNotReady, result.cause);
    return result;
}

}  // namespace

// --check and --monitor; with a pool, every modem in turn, each within its
// share of the time: ready when one of them would send.
int run_check(const CommandLine &line, const ModemPorts &ports, const char *devices_from,
              const DialogueTimeouts &timeouts)
{
    // Printed only once the port is given back: a paused terminal or a
    // slow reader must not hold the modem. What one modem's check prints
    // is part of its replies, so it fits.
    static std::array<char, kCheckOutputSize> output;
    static_cast<void>(std::setvbuf(stdout, output.data(), _IOFBF, output.size()));  // cannot fail
    const int seconds = line.timeout.value > 0 ? line.timeout.value : kCheckSeconds;
    if (!line.pool || ports.devices.size() < 2) {
        const CheckResult result =
            check_one(line, ports, devices_from, seconds * kCheckMillisPerSecond, timeouts);
        if (line.monitor)
            return print_monitor_line(result, seconds);
        return result.cause == nullptr && !result.interrupted ? 0 : 1;
    }
    const auto modems = static_cast<int>(ports.devices.size());
    // Each modem its share, not rounded up: together they end within the time.
    const long long share = seconds * kCheckMillisPerSecond / modems;
    int ready = 0;
    CheckResult worst{};  // the first modem that is not ready
    // Its cause and answer, kept: the next modem's check reuses the buffers they point into.
    std::array<char, kReportSize> worst_cause{};
    std::array<char, kReportSize> worst_answer{};
    for (std::size_t i = 0; i < ports.devices.size(); ++i) {
        ModemPorts one = ports;
        one.devices = ports.devices.subspan(i, 1);
        const CheckResult result = check_one(line, one, devices_from, share, timeouts);
        if (result.interrupted)
            return line.monitor ? print_monitor_line(result, seconds) : 1;
        ready += result.cause == nullptr ? 1 : 0;
        if (result.cause != nullptr && worst.cause == nullptr) {
            worst = result;
            worst.device = ports.devices[i];
            std::snprintf(worst_cause.data(), worst_cause.size(), "%s", result.cause);
            worst.cause = worst_cause.data();
            worst.answer = {worst_answer.data(),
                            result.answer.copy(worst_answer.data(), worst_answer.size())};
        }
        std::fflush(stdout);  // this modem's lines, before the next one is taken
    }
    report(ready == modems ? LOG_INFO
           : ready > 0     ? LOG_WARNING
                           : LOG_ERR,
           kMsgPoolReadyFormat, ready, modems);
    if (line.monitor)
        return print_monitor_pool(ready, modems, worst);
    std::printf(kCheckPoolFormat, ready, modems);
    return ready > 0 ? 0 : 1;
}
