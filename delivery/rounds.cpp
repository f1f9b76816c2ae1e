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
        const auto at = std::find(ports.devices.begin(), ports.devices.end(), port.device);
        use_modem(d, static_cast<std::size_t>(at - ports.devices.begin()), port.device);
    }
    return taken;
}

}  // namespace

bool deliver(Delivery &d, ModemPort &port, const ModemPorts &ports, const DialogueTimeouts &t)
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
        if (d.move) {  // on another modem of the pool, at once
            close_modem(port);
            taken = take_port(d, port, ports, note);
            continue;
        }
        if (d.end_run || d.pause_seconds < 0 || !unsettled_left(d)) {
            // A stop while the modem is asked for its state ends it too.
            return !d.log_state || port.fd < 0 || log_modem_state(port.fd, t);
        }
        // Between rounds the port is free for other alarms; it is taken
        // again in turn.
        close_modem(port);
        if (!pause_between_rounds(d.pause_seconds))
            return false;
        begin_round(d);
        taken = take_port(d, port, ports, note);
    }
}
