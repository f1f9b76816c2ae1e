// Rounds of retries: when the next one starts, and the port given back in
// between, so that other alarms go out while the network is away.
#include "sender.h"

#include <algorithm>
#include <ctime>
#include <syslog.h>
#include <unistd.h>

ModemPort g_port;

namespace {

// Sleeps `seconds` without the port, awake to a stop.
void pause_between_rounds(int seconds)
{
    const long long until = monotonic_ms() + 1000LL * seconds;
    for (;;) {
        if (g_stop_signal != 0)
            stop_run(g_stop_signal);
        const long long left = until - monotonic_ms();
        if (left <= 0)
            return;
        const long long step = std::min<long long>(left, kLockRefreshMilliseconds);
        const timespec pause = {static_cast<time_t>(step / 1000),
                                static_cast<long>(step % 1000) * 1'000'000};
        nanosleep(&pause, nullptr);  // woken early by a signal: the loop looks at it
    }
}

}  // namespace

int next_round_in(Delivery &d)
{
    const long long now = monotonic_ms();
    if (d.first_failure_ms < 0)
        d.first_failure_ms = now;
    if (d.round >= d.plan.waits.size())
        return -1;
    const int wait = d.plan.waits[d.round];
    const bool in_window =
        now + 1000LL * wait <= d.first_failure_ms + 1000LL * d.plan.window_seconds;
    return in_window ? wait : -1;
}

int deliver(Delivery &d, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    g_port = open_modem(ports);
    if (g_port.fd < 0) {
        if (g_stop_signal != 0)
            stop_run(g_stop_signal);
        return 1;  // logged by open_modem; a run that finds no port fails at once
    }
    for (;;) {
        RoundEnd end = RoundEnd::retry;
        if (g_port.fd >= 0)
            end = send_round(g_port.fd, d, timeouts);
        const int wait = end == RoundEnd::retry ? next_round_in(d) : -1;
        if (wait < 0) {
            d.gave_up = d.gave_up || end == RoundEnd::retry;
            if (d.gave_up && g_port.fd >= 0)
                log_modem_state(g_port.fd, timeouts);
            break;
        }
        // Between rounds the port is free for other alarms; it is taken
        // again in turn. One that has vanished meanwhile (a modem
        // re-plugging) may be back for the round after.
        close_modem(g_port);
        pause_between_rounds(wait);
        ++d.round;
        g_port = open_modem(ports);
        if (g_port.fd < 0 && g_stop_signal != 0)
            stop_run(g_stop_signal);
    }
    // Whatever happened, the port and its lock go back: a lock left behind
    // in a sticky lock directory would keep other users out.
    close_modem(g_port);
    return finish_delivery(d);
}

void stop_run(int signal)
{
    close_modem(g_port);  // the caller has written ESC where it was needed
    report(LOG_ERR, kMsgInterruptedFormat, signal);  // after a stop: kStopReportMs at most
    close_report();
    _exit(1);  // nothing buffered to flush: stdout carries only what was asked for
}
