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

// Sleeps `seconds` without the port; false when a stop signal ended it.
bool pause_between_rounds(int seconds)
{
    const long long until = monotonic_ms() + kMillisPerSecond * seconds;
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

// Takes the port: open, failed or busy (`note` says why), or stopped. A
// line set-up that failed leaves a port used as it is: a warning.
Taken take_port(ModemPort &port, const ModemPorts &ports, PortNote &note)
{
    const Taken taken = open_modem(ports, port, note);
    if (taken == Taken::open && note[0] != '\0')
        report(LOG_WARNING, "%s", note.data());
    return taken;
}

}  // namespace

bool deliver(Delivery &d, ModemPort &port, const ModemPorts &ports, const DialogueTimeouts &t)
{
    PortNote note{};
    Taken taken = take_port(port, ports, note);
    if (taken != Taken::open && taken != Taken::interrupted) {
        d.no_port = true;  // a run that finds no port at its start fails at once
        report(LOG_ERR, "%s", note.data());
    }
    if (taken != Taken::open)
        return taken != Taken::interrupted;
    for (;;) {
        RoundEnd end = RoundEnd::retry;
        if (taken == Taken::open) {
            end = send_round(port.fd, d, t);
        } else {
            // Gone since the last round (a modem re-plugging), or kept
            // busy: it may be back for the next one.
            d.pause_seconds = -1;
            const Cause why = {FailureKind::temporary, note.data(), "", -1};
            static_cast<void>(judge_failure(d, {Stage::port, why}));
        }
        if (end == RoundEnd::interrupted)
            return false;
        if (end != RoundEnd::retry || d.pause_seconds < 0) {
            d.gave_up = d.gave_up || end == RoundEnd::retry;
            // A stop while the modem is asked for its state ends it too.
            return !d.gave_up || port.fd < 0 || log_modem_state(port.fd, t);
        }
        // Between rounds the port is free for other alarms; it is taken
        // again in turn.
        close_modem(port);
        if (!pause_between_rounds(d.pause_seconds))
            return false;
        ++d.round;
        taken = take_port(port, ports, note);
        if (taken == Taken::interrupted)
            return false;
    }
}
