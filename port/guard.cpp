// Keeping others out: the device's own flock, which serial programs that
// write no lock file hold, and the guard under which one cellpost at a
// time judges, removes and creates a device's lock.
#include "lock_internal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
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

void (*g_look_hook)(const char *path) = nullptr;

void guard_path(const char *lock, std::span<char, kGuardPathSize> out)
{
    const LockName name = split_lock_path(lock);
    std::snprintf(out.data(), out.size(), "%.*s%s%.*s", static_cast<int>(name.dir.size()),
                  name.dir.data(), kGuardPrefix, static_cast<int>(name.device.size()),
                  name.device.data());  // fits: sized so
}

namespace {

// The very file judged, not merely one under the same name.
bool same_version(const struct stat &a, const struct stat &b)
{
    return same_file(a, b) && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The name under which runs claim the removal of the stale guard `judged`:
// the same for every run that judged that very file, and for no other.
void claim_path(const char *guard, const struct stat &judged, int level,
                std::span<char, kClaimPathSize> out)
{
    std::snprintf(out.data(), out.size(), "%s.%" PRIx64 ".%" PRIx64 ".%" PRIx64 ".%d", guard,
                  static_cast<std::uint64_t>(judged.st_ino),
                  static_cast<std::uint64_t>(judged.st_mtim.tv_sec),
                  static_cast<std::uint64_t>(judged.st_mtim.tv_nsec), level);  // fits: sized so
}

// Removes the stale guard `judged`, and no other file. Looking and
// removing are two steps: between them another run may remove the same
// file and take the guard anew, and a plain unlink() would then remove
// the new holder's guard. So a run first claims the removal by creating
// the claim's name, which only one can; checks that the guard is still the
// file it judged; and only then removes it, and its claim after it. A
// claim as old as a stale guard was left by a run killed at it: the next
// level is claimed. 0: removed; -1 with errno EWOULDBLOCK when another run
// is at it or the guard changed (look again), with another errno and
// `stale` set when the stale guard may not be removed.
int remove_stale_guard(const char *guard, const struct stat &judged, bool &stale)
{
    std::array<char, kClaimPathSize> claim{};
    int level = 0;
    int fd = -1;
    while (fd < 0) {
        if (++level > kGuardClaimLevels) {
            errno = EWOULDBLOCK;  // every level left by a killed run: not ours to judge
            return -1;
        }
        claim_path(guard, judged, level, claim);
        fd = open(claim.data(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kGuardMode);
        struct stat other {};
        if (fd < 0 && errno != EEXIST) {
            stale = true;  // a read-only or full directory: as if we may not remove it
            return -1;
        }
        if (fd < 0 &&
            (lstat(claim.data(), &other) != 0 || written_within(other, kGuardStaleSeconds))) {
            errno = EWOULDBLOCK;  // another run is at it, or has just done it
            return -1;
        }
    }
    close(fd);  // empty: nothing to lose
    struct stat now {};
    int result = 0;
    if (lstat(guard, &now) != 0 || !same_version(now, judged)) {
        errno = EWOULDBLOCK;  // removed, and maybe taken anew, since we looked
        result = -1;
    } else if (unlink(guard) != 0 && errno != ENOENT) {
        stale = true;  // one we may not remove: as a stale lock would be
        result = -1;
    }
    const int error = errno;
    // Ours, and those of killed runs below it: none is of use any more.
    for (; level > 0; --level) {
        claim_path(guard, judged, level, claim);
        static_cast<void>(unlink(claim.data()));  // failing, it names a file judged once
    }
    errno = error;
    return result;
}

}  // namespace

// The guard: a file that exists only while one cellpost judges, removes
// and creates a device's lock, so that two of them can never both remove a
// stale lock and both believe they hold the port. It is taken by creating
// it and given back by removing it, both of which need write access to the
// lock directory: whoever may only read it can neither hold the guard nor
// keep it. Its holder keeps it for a few system calls; one older than
// kGuardStaleSeconds belongs to a holder that was killed, and is
// removed, by one run only (see remove_stale_guard). -1 with errno
// EWOULDBLOCK while another process holds it.
int take_guard(const char *guard, bool &stale)
{
    stale = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd =
            open(guard, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kGuardMode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
        struct stat found {};
        const bool looked = lstat(guard, &found) == 0;
        if (g_look_hook != nullptr)
            g_look_hook(guard);
        if (looked && written_within(found, kGuardStaleSeconds)) {
            errno = EWOULDBLOCK;
            return -1;
        }
        if (looked && remove_stale_guard(guard, found, stale) != 0)
            return -1;
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
