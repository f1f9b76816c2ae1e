// Keeping the port while we use it: the lock's sign of life, given by the
// run's own progress, so that a run stuck anywhere stops giving it.
#include "lock_internal.h"

#include <sys/stat.h>

namespace {

// The held lock's descriptor, -1 while we hold none.
int g_held_lock = -1;

}  // namespace

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
