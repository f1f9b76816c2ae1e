// HDB UUCP lock files: "LCK..<device>" holding the owner's PID as "%10d\n".
// While we hold one we also keep an flock on it: a PID says nothing across
// PID namespaces (two containers' processes can both be PID 1), an flock
// does.
#include "port.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// How one attempt went. `holder` is the PID in the lock that is in our way
// (-1 when it cannot be read); `error` the errno of a failure that waiting
// cannot cure, and `failed_on` what it failed on.
struct Attempt {
    enum { taken, busy, failed } result;
    pid_t holder = -1;
    int error = 0;
    const char *failed_on = "";
};

Attempt failure(const char *failed_on)
{
    return {Attempt::failed, -1, errno, failed_on};
}

// The PID in a lock file: the first number after any amount of leading
// white space, read to the end of that number; 0 when there is none.
pid_t read_lock_pid(int fd)
{
    std::array<char, kPidDigits + 1> digits{};  // a sign, digits and a NUL
    std::size_t n = 0;
    bool done = false;
    std::array<char, kLockReadSize> chunk{};
    ssize_t got = 0;
    while (!done && (got = read(fd, chunk.data(), chunk.size())) > 0) {
        for (const char c : std::string_view(chunk.data(), static_cast<std::size_t>(got))) {
            if (n == 0 && std::isspace(static_cast<unsigned char>(c)) != 0)
                continue;
            const bool sign = n == 0 && (c == '+' || c == '-');
            done = (!sign && std::isdigit(static_cast<unsigned char>(c)) == 0) || n == kPidDigits;
            if (done)
                break;
            digits[n++] = c;
        }
    }
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits.data(), &end, 10);
    if (end == digits.data() || errno != 0 || pid <= 0 || pid > INT32_MAX)
        return 0;
    return static_cast<pid_t>(pid);
}

// Looks at a lock file found in place and removes it if it is stale.
// busy: someone holds it; taken: the name is free (nothing was there, or a
// stale lock was removed); failed: a stale lock we may not remove.
Attempt clear_stale_lock(const char *lock)
{
    // O_NONBLOCK: a FIFO planted under the lock name must not hang us;
    // O_NOFOLLOW: nor may a symlink send us elsewhere.
    const int fd = open(lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)  // gone, so much the better; unreadable: in our way
        return {errno == ENOENT ? Attempt::taken : Attempt::busy};
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    const pid_t pid = read_lock_pid(fd);
    close(fd);  // read-only: nothing to lose if close fails; drops our flock
    // Our own PID cannot be ours yet: we have not created the lock. It was
    // left by an earlier process whose PID the kernel has given to us.
    if (held || (pid != getpid() && process_alive(pid)))
        return {Attempt::busy, pid};
    if (unlink(lock) != 0 && errno != ENOENT)
        return failure("cannot remove stale lock");  // a sticky directory, read-only, ...
    return {Attempt::taken};
}

// Writes our PID into a private file, takes its flock and links it to the
// lock name: link() fails if the name exists, the lock is never seen
// without its PID, and never without its flock.
Attempt publish_lock(const char *lock, const char *temp, HeldLock &held)
{
    unlink(temp);  // a leftover of an earlier process with our PID, if any
    const int fd = open(temp, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kLockFileMode);
    if (fd < 0)
        return failure("cannot create");
    std::array<char, kPidTextSize> text{};
    const int length =
        std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    // The mode is set outright: a umask of 077 must not hide the PID.
    const bool ready = fchmod(fd, kLockFileMode) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       length > 0 &&
                       write(fd, text.data(), static_cast<std::size_t>(length)) == length;
    Attempt attempt = {Attempt::taken};
    if (!ready)
        attempt = failure("cannot create");  // ENOSPC, EDQUOT, EIO
    else if (link(temp, lock) != 0)
        attempt = errno == EEXIST ? Attempt{Attempt::busy} : failure("cannot create");
    unlink(temp);  // the lock name, if taken, keeps the file
    if (attempt.result != Attempt::taken) {
        close(fd);  // never published: nothing to flush
        return attempt;
    }
    held.fd = fd;
    std::snprintf(held.path.data(), held.path.size(), "%s", lock);  // same size: fits
    return attempt;
}

// One attempt. Other cellpost processes are kept out of the stale check,
// removal and creation by an flock on the lock directory, so two of them
// can never both remove a stale lock and both believe they hold the port.
Attempt try_lock(const char *lock_dir, const char *lock, const char *temp, HeldLock &held)
{
    const int dir = open(lock_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return failure("cannot create");
    Attempt attempt = {Attempt::busy};
    if (flock(dir, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK)
            attempt = failure("cannot create");
    } else {
        attempt = clear_stale_lock(lock);
        if (attempt.result == Attempt::taken)
            attempt = publish_lock(lock, temp, held);
    }
    close(dir);  // releases the flock; a read-only directory has nothing to flush
    return attempt;
}

void log_no_port(const char *device, const char *lock, const Attempt &attempt)
{
    std::array<char, kMessageSize> reason{};
    if (attempt.result == Attempt::failed)
        std::snprintf(reason.data(), reason.size(), "%s %s: %s", attempt.failed_on, lock,
                      std::strerror(attempt.error));
    else if (attempt.holder > 0)
        std::snprintf(reason.data(), reason.size(), "%s locked by PID %d", device,
                      static_cast<int>(attempt.holder));
    else
        std::snprintf(reason.data(), reason.size(), "%s locked (%s)", device, lock);
    syslog(LOG_ERR, kNoPortFormat, reason.data());
}

}  // namespace

bool lock_path(const char *lock_dir, const char *path, std::span<char, kLockPathSize> out)
{
    std::string_view name = path;
    if (const std::size_t slash = name.rfind('/'); slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    const int length = std::snprintf(out.data(), out.size(), "%s/LCK..%.*s", lock_dir,
                                     static_cast<int>(name.size()), name.data());
    return length > 0 && static_cast<std::size_t>(length) < out.size();
}

bool process_alive(pid_t pid)
{
    if (pid <= 0)
        return false;
    // EPERM: the process exists but belongs to another user.
    return kill(pid, 0) == 0 || errno != ESRCH;
}

long monotonic_seconds()
{
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return -1;
    return static_cast<long>(now.tv_sec);
}

bool lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held)
{
    std::array<char, kLockPathSize> lock{};
    std::array<char, kLockPathSize> temp{};
    const int length =
        std::snprintf(temp.data(), temp.size(), "%s/LTMP.%d", lock_dir, static_cast<int>(getpid()));
    if (!lock_path(lock_dir, path, lock) || length <= 0 ||
        static_cast<std::size_t>(length) >= temp.size()) {
        errno = ENAMETOOLONG;
        log_no_port(path, lock_dir, failure("cannot create lock in"));
        return false;
    }

    const long start = monotonic_seconds();
    for (long pass = 1;; ++pass) {
        const Attempt attempt = try_lock(lock_dir, lock.data(), temp.data(), held);
        if (attempt.result == Attempt::taken)
            return true;
        if (attempt.result == Attempt::failed) {
            log_no_port(path, lock.data(), attempt);
            return false;
        }
        const timespec pause = {0, kLockPollNanoseconds};
        nanosleep(&pause, nullptr);  // woken early by a signal: just one quicker pass
        // The clock has whole seconds, so "more than" gives a wait of more
        // than timeout_seconds and at most about 1.1 s above it. Without a
        // clock, count the passes that the same time allows.
        const long now = monotonic_seconds();
        const bool expired = start >= 0 && now >= 0
                                 ? now > start + timeout_seconds
                                 : pass > static_cast<long>(timeout_seconds) * kLockPollsPerSecond;
        if (expired) {
            log_no_port(path, lock.data(), attempt);
            return false;
        }
    }
}

void unlock_device(HeldLock &held)
{
    if (held.fd < 0)
        return;
    // Only our own file: if someone replaced the name, the lock is theirs.
    struct stat ours {};
    struct stat named {};
    if (fstat(held.fd, &ours) == 0 && lstat(held.path.data(), &named) == 0 &&
        ours.st_dev == named.st_dev && ours.st_ino == named.st_ino)
        unlink(held.path.data());  // if it fails, the next locker finds it stale
    close(held.fd);                // releases the flock; nothing was written since
    held = HeldLock{};
}
