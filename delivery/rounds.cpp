// Rounds of retries: the port given back in between, so that other alarms
// go out while the network is away, and taken again in turn.
#include "delivery.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <ctime>
#include <syslog.h>

namespace {

constexpr long long kMillisPerSecond = 1000;
constexpr long kNanosPerMilli = 1'000'000;

// Sleeps until `until` (monotonic ms) without the port; false when a stop
// signal ended it.
bool pause_between_rounds(long long until)
{
    for (;;) {
        if (g_stop_signal != 0)
            return false;
        const long long left = until - monotonic_ms();
        if (left <= 0)
            return true;
        // Short steps: a stop is seen within one, whatever the signal mask did.
        const long long step = std::min<long long>(left, kLockRefreshMilliseconds);
        const timespec pause = {static_cast<time_t>(step / kMillisPerSecond),
                                static_cast<long>(step % kMillisPerSecond) * kNanosPerMilli};
        nanosleep(&pause, nullptr);  // woken early by a signal: the loop looks at it
    }
}

// Takes the port: open, failed or busy (`note` says why), or stopped; in
// a pool, a modem not passed over. A line set-up that failed leaves a port
// used as it is: a warning.
Taken take_port(Delivery &d, ModemPort &port, const ModemPorts &ports, PortNote &note)
{
    const std::array<bool, kMaxModems> passed = passed_modems(d);
    const Taken taken = d.pool ? open_pool(ports, std::span(passed).first(d.modems), port, note)
                               : open_modem(ports, port, note);
    if (taken == Taken::open && note[0] != '\0')
        report(LOG_WARNING, "%s", note.data());
    if (taken == Taken::open) {
        start_line();
        const auto at = std::find(ports.devices.begin(), ports.devices.end(), port.device);
        use_modem(d, static_cast<std::size_t>(at - ports.devices.begin()), port.device);
    }
    return taken;
}

// Gives the port back, the modem's own routing of status reports first.
void give_back(ModemPort &port, Delivery &d, const DialogueTimeouts &t)
{
    if (port.fd >= 0 && d.report_seconds > 0)
        restore_routing(port.fd, d, t);
    close_modem(port);
}

// After the last round: the modem's state if a decision asked for it, then
// the wait for the status reports, with the port held, as they reach only
// an open port. False when a stop signal ended either.
bool end_rounds(Delivery &d, const ModemPort &port, const DialogueTimeouts &t)
{
    if (d.log_state && port.fd >= 0 && !log_modem_state(port.fd, t))
        return false;
    const long long until = monotonic_ms() + kMillisPerSecond * d.report_seconds;
    if (port.fd >= 0 && !await_reports(port.fd, d, until))
        return false;
    settle_reports(d);
    return true;
}

// How a pause between rounds ended: with the port given back, to be taken
// again in turn; held through it; or cut short by a stop signal.
enum class Paused { given_back, held, stopped };

// Between rounds the port is free for other alarms. While a report is due
// on it, it is held through the pause instead: once given back, the
// report would be lost.
Paused pause_round(Delivery &d, ModemPort &port, const DialogueTimeouts &t)
{
    const long long resume = monotonic_ms() + kMillisPerSecond * d.pause_seconds;
    if (port.fd >= 0 && !await_reports(port.fd, d, resume))
        return Paused::stopped;
    if (port.fd >= 0 && reports_due(d))
        return Paused::held;
    give_back(port, d, t);
    return pause_between_rounds(resume) ? Paused::given_back : Paused::stopped;
}

bool run_rounds(Delivery &d, ModemPort &port, const ModemPorts &ports, const DialogueTimeouts &t)
{
    d.modems = std::min(ports.devices.size(), kMaxModems);
    d.device_names = ports.devices.first(d.modems);
    PortNote note{};
    Taken taken = take_port(d, port, ports, note);
    for (;;) {
        if (taken == Taken::interrupted)
            return false;
        if (taken == Taken::open) {
            if (send_round(port.fd, d, t) == RoundEnd::interrupted)
                return false;
        } else {
            // None at the start, gone since the last round (a modem
            // re-plugging), or kept busy: the policy says what follows.
            const Cause why = {FailureKind::temporary, note.data(), "", -1};
            for (ModemState &modem : d.modem_states)
                modem.failed = true;  // none of those left could be had
            static_cast<void>(judge_failure(d, {Stage::port, why}));
        }
        // On another modem of the pool, at once: the reports still due on
        // this one are lost, as waiting for them would hold the alarm back.
        if (d.move) {
            give_back(port, d, t);
            taken = take_port(d, port, ports, note);
            continue;
        }
        if (d.end_run || d.pause_seconds < 0 || !unsettled_left(d))
            return end_rounds(d, port, t);
        const Paused paused = pause_round(d, port, t);
        if (paused == Paused::stopped)
            return false;
        begin_round(d);
        if (paused == Paused::given_back)
            taken = take_port(d, port, ports, note);
    }
}

}  // namespace

bool deliver(Delivery &d, ModemPort &port, const ModemPorts &ports, const DialogueTimeouts &t)
{
    const bool done = run_rounds(d, port, ports, t);
    // However the rounds ended, a stop included: the modem's own setting back.
    if (port.fd >= 0 && d.report_seconds > 0)
        restore_routing(port.fd, d, t);
    return done;
}
