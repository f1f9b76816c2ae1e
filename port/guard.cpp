// Keeping others out: the device's own flock, which serial programs that
// write no lock file hold, and the guard under which one cellpost at a
// time judges, removes and creates a device's lock.
#include "port.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Serial programs that lock with flock() alone (picocom, for one) leave no
// LCK.. file: the device's own flock says that it is in use, and we take
// it too, on a descriptor of our own kept with the lock. Anything that is
// no device, or cannot be opened, is left for open_serial() to tell.
LockAttempt take_device(const char *device, HeldLock &held)
{
    struct stat node {};
    if (stat(device, &node) != 0 || !S_ISCHR(node.st_mode))
        return {LockResult::taken};
    const int fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {LockResult::taken};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held_by_other = errno == EWOULDBLOCK;
        close(fd);  // read-only, nothing read: nothing to lose
        if (held_by_other) {
            LockAttempt busy = {LockResult::busy};
            busy.holder.device = true;
            return busy;
        }
        return {LockResult::taken};  // a device without flock(): nobody can hold it so
    }
    held.device = fd;
    return {LockResult::taken};
}

void release_device(HeldLock &held)
{
    if (held.device >= 0)
        close(held.device);  // read-only: nothing to lose; drops the flock
    held.device = -1;
}

void guard_path(const char *lock, std::span<char, kGuardPathSize> out)
{
    std::string_view name = lock;
    const std::size_t cut = name.rfind('/') + 1;
    name.remove_prefix(name.find("..", cut) + 2);  // lock_path() wrote "LCK..<device>"
    std::snprintf(out.data(), out.size(), "%.*s%s%.*s", static_cast<int>(cut), lock, kGuardPrefix,
                  static_cast<int>(name.size()), name.data());  // fits: sized so
}

// The guard: a file that exists only while one cellpost judges, removes
// and creates a device's lock, so that two of them can never both remove a
// stale lock and both believe they hold the port. It is taken by creating
// it and given back by removing it, both of which need write access to the
// lock directory: whoever may only read it can neither hold the guard nor
// keep it. Its holder keeps it for a few system calls; one older than
// kGuardStaleSeconds belongs to a holder that was killed, and is removed.
// -1 with errno EWOULDBLOCK while another process holds it.
int take_guard(const char *guard, bool &stale)
{
    stale = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd =
            open(guard, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kGuardMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        struct stat found {};
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);  // always readable; `now` is valid
        if (lstat(guard, &found) == 0 && now.tv_sec - found.st_mtim.tv_sec < kGuardStaleSeconds) {
            errno = EWOULDBLOCK;
            return -1;
        }
        if (unlink(guard) != 0 && errno != ENOENT) {
            stale = true;  // one we may not remove: as a stale lock would be
            return -1;
        }
    }
    errno = EWOULDBLOCK;  // taken again by someone else meanwhile
    return -1;
}

void give_guard(const char *guard, int fd)
{
    // Removed before it is closed: the name is what others wait for. If the
    // removal fails, others find it stale after kGuardStaleSeconds.
    static_cast<void>(unlink(guard));
    close(fd);  // empty: nothing to lose
}
