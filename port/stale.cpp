// Judging a lock found in our way: whose it is, whether its holder lives,
// and, when it is stale, removing that very file and no other.
#include "lock_internal.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The PID in a lock file: a number after optional white space, within the
// first kLockReadSize bytes; 0 when there is none.
pid_t read_lock_pid(int fd)
{
    std::array<char, kLockReadSize + 1> text{};  // always NUL-terminated
    if (pread(fd, text.data(), kLockReadSize, 0) <= 0)
        return 0;
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(text.data(), &end, 10);  // skips the white space
    if (end == text.data() || errno != 0 || pid <= 0 || pid > INT32_MAX)
        return 0;
    return static_cast<pid_t>(pid);
}

std::int64_t nanoseconds(const timespec &t)
{
    return std::int64_t{t.tv_sec} * kNanosecondsPerSecond + t.tv_nsec;
}

// Our own PID cannot be ours yet: we have not created the lock. It was left
// by an earlier process whose PID the kernel has given to us. A locker that
// creates its lock file first and writes its PID a moment later leaves it
// empty in between. An flock says "alive" across PID namespaces only while
// its holder also touches the file, as a working cellpost does: anyone who
// can read a lock can flock it, but only its owner can touch it.
bool holder_alive(const LockHolder &holder, const struct stat &judged)
{
    const bool writing = holder.pid == 0 && written_within(judged, kLockWritingSeconds);
    const bool touched = holder.flocked && written_within(judged, kLockTimeoutSeconds);
    return touched || writing || (holder.pid != getpid() && process_alive(holder.pid));
}

}  // namespace

LockAttempt clear_stale_lock(const char *lock)
{
    struct stat named {};
    if (lstat(lock, &named) != 0)
        return errno == ENOENT ? LockAttempt{LockResult::taken}
                               : lock_failure(LockFailure::create, errno);
    if (S_ISDIR(named.st_mode))
        return lock_failure(LockFailure::not_lock, 0);
    if (!S_ISREG(named.st_mode)) {
        // A FIFO, socket, device node or symlink is nobody's lock, only a
        // way to block or mislead us: away with it, if we may.
        if (unlink(lock) == 0 || errno == ENOENT)
            return {LockResult::taken};
        return lock_failure(LockFailure::not_lock, 0);
    }
    // O_NOFOLLOW, O_NONBLOCK: the name may have been swapped since lstat.
    const int fd = open(lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)  // gone, so much the better; unreadable: in our way
        return {errno == ENOENT ? LockResult::taken : LockResult::busy};
    struct stat judged {};
    const bool same = fstat(fd, &judged) == 0 && same_file(judged, named);
    LockHolder holder = {0, false, judged.st_dev, judged.st_ino, judged.st_mtim};
    if (same) {
        holder.flocked = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        holder.pid = read_lock_pid(fd);
    }
    close(fd);  // read-only: nothing to lose if close fails; drops our flock
    if (!same)
        return {LockResult::busy};
    if (holder_alive(holder, judged))
        return {LockResult::busy, holder};
    // Stale. Another locker may have replaced it since we judged it: only
    // the very file judged goes.
    struct stat again {};
    if (lstat(lock, &again) != 0)
        return errno == ENOENT ? LockAttempt{LockResult::taken}
                               : lock_failure(LockFailure::create, errno);
    if (!same_file(again, judged))
        return {LockResult::busy};
    if (g_look_hook != nullptr)
        g_look_hook(lock);
    if (unlink(lock) != 0 && errno != ENOENT)
        return lock_failure(LockFailure::remove_stale,
                            errno);  // a sticky directory, read-only, ...
    return {LockResult::taken};
}

std::int64_t file_age_ns(const struct stat &st)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // always readable; `now` is valid
    return nanoseconds(now) - nanoseconds(st.st_mtim);
}

bool written_within(const struct stat &st, long seconds)
{
    const std::int64_t age = file_age_ns(st);
    return age < seconds * kNanosecondsPerSecond && age > -seconds * kNanosecondsPerSecond;
}

bool process_alive(pid_t pid)
{
    if (pid <= 0)
        return false;
    // EPERM: the process exists but belongs to another user.
    return kill(pid, 0) == 0 || errno != ESRCH;
}
