// Keeping the port while we use it: the lock's sign of life, given by the
// run's own progress, and the stop that a signal asks for. The handler
// does nothing but set a flag; the waits notice it and stop.
#include "port.h"

#include <sys/stat.h>

volatile std::sig_atomic_t g_stop_signal = 0;

namespace {

// The held lock's descriptor, -1 while we hold none.
int g_held_lock = -1;

void note_stop(int signal)
{
    g_stop_signal = signal;
}

}  // namespace

void catch_stop_signals()
{
    sigset_t ours;
    sigemptyset(&ours);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM}) {
        struct sigaction action {};
        action.sa_handler = note_stop;
        // No SA_RESTART: a call that blocks despite our care (a write to a
        // full pipe on standard error) must return EINTR, not go on.
        action.sa_flags = 0;
        sigemptyset(&action.sa_mask);
        // These fail only for a bad signal number or set; these are valid.
        static_cast<void>(sigaction(signal, &action, nullptr));
        static_cast<void>(sigaddset(&ours, signal));
    }
    // A caller may pass on a mask that blocks them: a stop must still stop.
    static_cast<void>(sigprocmask(SIG_UNBLOCK, &ours, nullptr));
    // A reader of standard error that has gone (a closed socket), or a
    // file size limit, must not kill the run: the write fails instead.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int signal : {SIGPIPE, SIGXFSZ})
        static_cast<void>(sigaction(signal, &ignore, nullptr));
}

void hold_lock(int fd)
{
    g_held_lock = fd;
}

// If the time cannot be set, waiters will in time take us for stuck, as
// they should take a holder whose lock file has gone bad.
void refresh_lock()
{
    if (g_held_lock >= 0)
        static_cast<void>(futimens(g_held_lock, nullptr));
}
