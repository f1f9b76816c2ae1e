// Keeping the port while we use it: the lock's sign of life, and the stop
// that a signal asks for. Both run in signal handlers, so they do nothing
// but what is async-signal-safe: set a flag, touch a file.
#include "port.h"

#include <cerrno>
#include <sys/stat.h>
#include <sys/time.h>

volatile std::sig_atomic_t g_stop_signal = 0;

namespace {

// The held lock's descriptor while the timer runs, -1 otherwise.
volatile std::sig_atomic_t g_refreshed_fd = -1;

void note_stop(int signal)
{
    g_stop_signal = signal;
}

// A new modification time tells waiting lockers that we are still at work.
// If it cannot be set, they will in time take us for stopped, as they should
// take a holder whose lock file is gone bad.
void refresh_lock(int /*signal*/)
{
    const int saved = errno;
    if (g_refreshed_fd >= 0)
        static_cast<void>(futimens(g_refreshed_fd, nullptr));
    errno = saved;
}

// SA_RESTART: a handled signal must not make a write to syslog or the port
// fail. poll() and nanosleep() return EINTR all the same, which is how the
// waits notice a stop at once.
void catch_signal(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // Fails only for a bad signal number; these are all valid.
    static_cast<void>(sigaction(signal, &action, nullptr));
}

}  // namespace

void catch_stop_signals()
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        catch_signal(signal, note_stop);
}

void start_lock_upkeep(int fd)
{
    g_refreshed_fd = fd;
    catch_signal(SIGALRM, refresh_lock);
    const itimerval every = {{0, kLockRefreshMicroseconds}, {0, kLockRefreshMicroseconds}};
    // Fails only for bad values; without it waiters would see a stopped
    // holder and give up after 10 s, as they do for other programs' locks.
    static_cast<void>(setitimer(ITIMER_REAL, &every, nullptr));
}

void stop_lock_upkeep()
{
    const itimerval off{};
    static_cast<void>(setitimer(ITIMER_REAL, &off, nullptr));  // valid values: cannot fail
    g_refreshed_fd = -1;  // before the descriptor is closed and its number reused
}
