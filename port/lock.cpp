// HDB UUCP lock files: "LCK..<device>" holding the owner's PID as "%10d\n".
#include "port.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The PID a lock file holds; 0 when it holds no number. -1 when the file
// cannot be opened: it is then left alone, and stays in our way.
pid_t read_lock_pid(const char *lock)
{
    // O_NONBLOCK: a FIFO planted under the lock name must not hang us.
    const int fd = open(lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char text[kLockReadSize] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);  // read-only: nothing to lose if close fails
    if (got <= 0)
        return 0;
    text[got] = '\0';
    char *end = nullptr;
    errno = 0;
    const long pid = std::strtol(text, &end, 10);  // skips leading blanks, as "%10d" pads
    if (end == text || errno != 0 || pid <= 0 || pid > INT32_MAX)
        return 0;
    return static_cast<pid_t>(pid);
}

void remove_stale_lock(const char *lock)
{
    const pid_t pid = read_lock_pid(lock);
    if (pid < 0)
        return;
    // Our own PID cannot be ours yet: we have not created the lock. It was
    // left by an earlier process whose PID the kernel has given to us.
    if (pid == getpid() || !process_alive(pid))
        unlink(lock);  // if it is already gone, so much the better
}

// Writes our PID into a private file and links it to the lock name: link()
// fails if the name exists, and the lock is never seen without its PID.
bool publish_lock(const char *lock, const char *temp)
{
    unlink(temp);  // a leftover of an earlier process with our PID
    const int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kLockFileMode);
    if (fd < 0)
        return false;
    std::array<char, kPidTextSize> text{};
    const int length =
        std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    bool written = length > 0 && write(fd, text.data(), static_cast<std::size_t>(length)) == length;
    if (close(fd) != 0)
        written = false;
    const bool taken = written && link(temp, lock) == 0;
    unlink(temp);  // the lock name, if taken, keeps the file
    return taken;
}

// One attempt. Other cellpost processes are kept out of the stale check,
// removal and creation by an flock on the lock directory, so two of them
// can never both remove a stale lock and both believe they hold the port.
bool try_lock(const char *lock_dir, const char *lock, const char *temp)
{
    const int dir = open(lock_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    bool taken = false;
    if (flock(dir, LOCK_EX | LOCK_NB) == 0) {
        remove_stale_lock(lock);
        taken = publish_lock(lock, temp);
    }
    close(dir);  // releases the flock; a read-only directory has nothing to flush
    return taken;
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

bool lock_device(const char *lock_dir, const char *path, int timeout_seconds)
{
    std::array<char, kLockPathSize> lock{};
    std::array<char, kLockPathSize> temp{};
    if (!lock_path(lock_dir, path, lock))
        return false;
    const int length =
        std::snprintf(temp.data(), temp.size(), "%s/LTMP.%d", lock_dir, static_cast<int>(getpid()));
    if (length <= 0 || static_cast<std::size_t>(length) >= temp.size())
        return false;

    const long start = monotonic_seconds();
    for (long pass = 1;; ++pass) {
        if (try_lock(lock_dir, lock.data(), temp.data()))
            return true;
        const timespec pause = {0, kLockPollNanoseconds};
        nanosleep(&pause, nullptr);  // woken early by a signal: just one quicker pass
        // The clock has whole seconds, so "more than" gives a wait of more
        // than timeout_seconds and at most about 1.1 s above it. Without a
        // clock, count the passes that the same time allows.
        const long now = monotonic_seconds();
        const bool expired = start >= 0 && now >= 0
                                 ? now > start + timeout_seconds
                                 : pass > static_cast<long>(timeout_seconds) * kLockPollsPerSecond;
        if (expired)
            return false;
    }
}

void unlock_device(const char *lock_dir, const char *path)
{
    std::array<char, kLockPathSize> lock{};
    if (lock_path(lock_dir, path, lock))
        unlink(lock.data());  // nothing more can be done if it fails
}
