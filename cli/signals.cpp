// The stop signals: the handler does nothing but note the signal; every
// wait looks at the note and ends, and the run unwinds to the entry.
#include "cli.h"

#include "base.h"

#include <csignal>

namespace {

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
        // A caller that ignores a stop signal (nohup, a shell's background
        // job) means the run to outlive it: it stays ignored.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
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
