// HDB UUCP lock files: "LCK..<device>" holding the owner's PID as "%10d\n".
// While we hold one we also keep an flock on it, and the run refreshes its
// modification time as it gets on: a PID says nothing across PID namespaces
// (two containers' processes can both be PID 1), an flock does, and a
// moving modification time says that its holder is still at work.
#include "port.h"

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
#include <unistd.h>

namespace {

// What stands under the lock name when it is in our way.
struct Holder {
    pid_t pid = 0;         // 0: no PID could be read
    bool flocked = false;  // another cellpost, which refreshes its lock while at work
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    bool device = false;  // no lock file, but a program holds the device's own flock
};

// How one attempt went: the lock is ours; a lock is in our way; another
// process holds the device's guard; or a failure that waiting cannot cure,
// with its errno.
// queued: the port is free, but an older waiter's turn.
enum class Result { taken, busy, queued, guarded, failed };
enum class Failure { create, remove_stale, not_lock };

struct Attempt {
    Result result;
    Holder holder{};
    Failure failure = Failure::create;
    int error = 0;
};

Attempt failure(Failure why, int error = errno)
{
    return {Result::failed, {}, why, error};
}

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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

// A locker that creates its lock file first and writes its PID a moment
// later leaves it empty in between.
bool written_lately(const struct stat &st)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // always readable; `now` is valid
    return now.tv_sec - st.st_mtim.tv_sec < kLockWritingSeconds;
}

// Looks at what stands under the lock name and removes it if it is no live
// lock. taken: the name is free; busy: a live lock, or one that changed
// while we looked (look again on the next pass); failed: in our way for good.
Attempt clear_stale_lock(const char *lock)
{
    struct stat named {};
    if (lstat(lock, &named) != 0)
        return errno == ENOENT ? Attempt{Result::taken} : failure(Failure::create);
    if (S_ISDIR(named.st_mode))
        return failure(Failure::not_lock, 0);
    if (!S_ISREG(named.st_mode)) {
        // A FIFO, socket, device node or symlink is nobody's lock, only a
        // way to block or mislead us: away with it, if we may.
        if (unlink(lock) == 0 || errno == ENOENT)
            return {Result::taken};
        return failure(Failure::not_lock, 0);
    }
    // O_NOFOLLOW, O_NONBLOCK: the name may have been swapped since lstat.
    const int fd = open(lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)  // gone, so much the better; unreadable: in our way
        return {errno == ENOENT ? Result::taken : Result::busy};
    struct stat judged {};
    const bool same = fstat(fd, &judged) == 0 && same_file(judged, named);
    Holder holder = {0, false, judged.st_dev, judged.st_ino, judged.st_mtim};
    if (same) {
        holder.flocked = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        holder.pid = read_lock_pid(fd);
    }
    close(fd);  // read-only: nothing to lose if close fails; drops our flock
    if (!same)
        return {Result::busy};
    // Our own PID cannot be ours yet: we have not created the lock. It was
    // left by an earlier process whose PID the kernel has given to us.
    const bool writing = holder.pid == 0 && written_lately(judged);
    if (holder.flocked || writing || (holder.pid != getpid() && process_alive(holder.pid)))
        return {Result::busy, holder};
    // Stale. Another locker may have replaced it since we judged it: only
    // the very file judged goes.
    struct stat again {};
    if (lstat(lock, &again) != 0)
        return errno == ENOENT ? Attempt{Result::taken} : failure(Failure::create);
    if (!same_file(again, judged))
        return {Result::busy};
    if (unlink(lock) != 0 && errno != ENOENT)
        return failure(Failure::remove_stale);  // a sticky directory, read-only, ...
    return {Result::taken};
}

// Writes our PID into a private file, takes its flock and links it to the
// lock name: link() fails if the name exists, the lock is never seen
// without its PID, and never without its flock. mkostemp() picks a name
// nobody else can have taken first.
Attempt publish_lock(const char *lock_dir, const char *lock, HeldLock &held)
{
    std::array<char, kLockPathSize> temp{};
    std::snprintf(temp.data(), temp.size(), "%s/%s", lock_dir, kTempLockName);  // checked to fit
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return failure(Failure::create);  // whatever stops this file stops the lock too
    std::array<char, kPidTextSize> text{};
    const int length =
        std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    // The mode is set outright: a umask of 077 must not hide the PID.
    const bool ready = fchmod(fd, kLockFileMode) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       length > 0 &&
                       write(fd, text.data(), static_cast<std::size_t>(length)) == length;
    Attempt attempt = {Result::taken};
    if (!ready)
        attempt = failure(Failure::create);  // ENOSPC, EDQUOT, EIO
    else if (link(temp.data(), lock) != 0)
        attempt = errno == EEXIST ? Attempt{Result::busy} : failure(Failure::create);
    unlink(temp.data());  // the lock name, if taken, keeps the file
    if (attempt.result != Result::taken) {
        close(fd);  // never published: nothing to flush
        return attempt;
    }
    held.fd = fd;
    std::snprintf(held.path.data(), held.path.size(), "%s", lock);  // same size: fits
    hold_lock(fd);
    return attempt;
}

// Serial programs that lock with flock() alone (picocom, for one) leave no
// LCK.. file: the device's own flock says that it is in use, and we take
// it too, on a descriptor of our own kept with the lock. Anything that is
// no device, or cannot be opened, is left for open_serial() to tell.
Attempt take_device(const char *device, HeldLock &held)
{
    struct stat node {};
    if (stat(device, &node) != 0 || !S_ISCHR(node.st_mode))
        return {Result::taken};
    const int fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {Result::taken};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held_by_other = errno == EWOULDBLOCK;
        close(fd);  // read-only, nothing read: nothing to lose
        if (held_by_other) {
            Attempt busy = {Result::busy};
            busy.holder.device = true;
            return busy;
        }
        return {Result::taken};  // a device without flock(): nobody can hold it so
    }
    held.device = fd;
    return {Result::taken};
}

// Lets go of the device's flock, if we hold it.
void release_device(HeldLock &held)
{
    if (held.device >= 0)
        close(held.device);  // read-only: nothing to lose; drops the flock
    held.device = -1;
}

// "<dir>/LGUARD..<device>" for the lock "<dir>/LCK..<device>".
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
int take_guard(const char *guard)
{
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
        if (unlink(guard) != 0 && errno != ENOENT)
            return -1;  // a stale guard we may not remove: as a stale lock would be
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

// One attempt, under the device's guard: a free port goes to an older
// waiter first, if `in_turn`.
Attempt try_lock(const char *lock_dir, const char *device, const char *lock, HeldLock &held,
                 Ticket &ticket, bool in_turn)
{
    const int dir = open(lock_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return failure(Failure::create);
    std::array<char, kGuardPathSize> guard{};
    guard_path(lock, guard);
    Attempt attempt = {Result::guarded};
    const int guard_fd = take_guard(guard.data());
    if (guard_fd < 0) {
        if (errno != EWOULDBLOCK)
            attempt = failure(Failure::create);
    } else {
        attempt = clear_stale_lock(lock);
        if (attempt.result == Result::taken && in_turn && older_waiter(dir, lock, ticket))
            attempt = {Result::queued};
        else if (attempt.result == Result::taken)
            attempt = take_device(device, held);
        if (attempt.result == Result::taken)
            attempt = publish_lock(lock_dir, lock, held);
        if (attempt.result != Result::taken)
            release_device(held);
        // From now on we wait: our place in the queue is taken under the
        // guard, so that no one sees a ticket before it is held.
        if ((attempt.result == Result::busy || attempt.result == Result::queued) && ticket.fd < 0)
            static_cast<void>(take_ticket(dir, lock, ticket));
        give_guard(guard.data(), guard_fd);
    }
    close(dir);  // only read: nothing to flush
    return attempt;
}

// Why the port could not be had, as "No modem port: <cause>".
void say_no_port(const char *device, const char *lock, const Attempt &attempt, PortNote &why)
{
    std::array<char, kMessageSize> reason{};
    const char *error = std::strerror(attempt.error);
    if (attempt.result == Result::failed && attempt.failure == Failure::not_lock)
        std::snprintf(reason.data(), reason.size(), "%s is not a lock file", lock);
    else if (attempt.result == Result::failed && attempt.failure == Failure::remove_stale)
        std::snprintf(reason.data(), reason.size(), "cannot remove stale lock %s: %s", lock, error);
    else if (attempt.result == Result::failed)
        std::snprintf(reason.data(), reason.size(), "cannot create %s: %s", lock, error);
    else if (attempt.result == Result::guarded) {
        std::array<char, kGuardPathSize> guard{};
        guard_path(lock, guard);
        std::snprintf(reason.data(), reason.size(), "%s kept by another process", guard.data());
    } else if (attempt.result == Result::queued)
        std::snprintf(reason.data(), reason.size(), "%s left to runs that waited longer", device);
    else if (attempt.holder.device)
        std::snprintf(reason.data(), reason.size(), "%s in use by another program", device);
    else if (attempt.holder.pid > 0)
        std::snprintf(reason.data(), reason.size(), "%s locked by PID %d", device,
                      static_cast<int>(attempt.holder.pid));
    else
        std::snprintf(reason.data(), reason.size(), "%s locked (%s)", device, lock);
    std::snprintf(why.data(), why.size(), kNoPortFormat, reason.data());
}

// A sign of life: the holder's flocked lock was refreshed or changed hands.
bool new_sign(const Holder &now, const Holder &seen)
{
    return now.flocked &&
           (now.dev != seen.dev || now.ino != seen.ino || now.mtime.tv_sec != seen.mtime.tv_sec ||
            now.mtime.tv_nsec != seen.mtime.tv_nsec);
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

namespace {

// Whole seconds of the monotonic clock, -1 when it cannot be read.
long monotonic_seconds()
{
    const long long now = monotonic_ms();
    return now < 0 ? -1 : static_cast<long>(now / 1000);
}

}  // namespace

Locked lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held,
                   PortNote &why, int max_seconds)
{
    std::array<char, kLockPathSize> lock{};
    const std::size_t temp_length = std::strlen(lock_dir) + 1 + std::strlen(kTempLockName);
    if (!lock_path(lock_dir, path, lock) || temp_length >= kLockPathSize) {
        say_no_port(path, lock_dir, failure(Failure::create, ENAMETOOLONG), why);
        return Locked::failed;
    }

    // The wait runs out `timeout_seconds` after the holder's last sign of
    // life, or after our start: a working cellpost keeps us waiting, a
    // stuck one, or a lock of another program, does not. A port left to an
    // older waiter is no one's fault: it keeps our wait going too. And
    // whatever the signs, `max_seconds` after our start it is over.
    Attempt last = {Result::guarded};
    Holder seen{};
    const long start = monotonic_seconds();
    long last_sign = start;
    long passes = 0;        // since then, for a clock that cannot be read
    long total_passes = 0;  // since our start, likewise
    long deferred = 0;      // passes in a row that a free port was left to an older waiter
    Ticket ticket;
    Locked outcome = Locked::stopped;
    while (g_stop_signal == 0) {
        touch_ticket(ticket);
        last = try_lock(lock_dir, path, lock.data(), held, ticket, deferred < kTicketDeferPasses);
        deferred = last.result == Result::queued ? deferred + 1 : 0;
        if (last.result == Result::taken) {
            outcome = Locked::taken;
            break;
        }
        if (last.result == Result::failed) {
            say_no_port(path, lock.data(), last, why);
            outcome = Locked::failed;
            break;
        }
        if (last.result == Result::queued || new_sign(last.holder, seen)) {
            seen = last.holder;
            last_sign = monotonic_seconds();
            passes = 0;
        }
        const timespec pause = {0, kLockPollNanoseconds};
        nanosleep(&pause, nullptr);  // woken early by a signal: the loop looks at it
        // The clock has whole seconds, so "more than" gives a wait of more
        // than timeout_seconds and at most about 1.1 s above it. Without a
        // clock, count the passes that the same time allows.
        const long now = monotonic_seconds();
        ++passes;
        ++total_passes;
        const bool clock = start >= 0 && last_sign >= 0 && now >= 0;
        const bool expired =
            clock ? now > last_sign + timeout_seconds || now > start + max_seconds
                  : passes > static_cast<long>(timeout_seconds) * kLockPollsPerSecond ||
                        total_passes > static_cast<long>(max_seconds) * kLockPollsPerSecond;
        if (expired && g_stop_signal == 0) {
            say_no_port(path, lock.data(), last, why);  // the cause that holds now
            outcome = Locked::busy;
            break;
        }
    }
    drop_ticket(lock_dir, ticket);  // taken, given up or stopped: no longer waiting
    return outcome;
}

void unlock_device(HeldLock &held)
{
    if (held.fd < 0)
        return;
    hold_lock(-1);  // before the descriptor is closed and its number reused
    // Only our own file: if someone replaced the name, the lock is theirs.
    struct stat ours {};
    struct stat named {};
    if (fstat(held.fd, &ours) == 0 && lstat(held.path.data(), &named) == 0 &&
        same_file(ours, named))
        unlink(held.path.data());  // if it fails, the next locker finds it stale
    close(held.fd);                // releases the flock; nothing was written since
    release_device(held);
    held = HeldLock{};
}
