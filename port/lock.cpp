// HDB UUCP lock files: "LCK..<device>" holding the owner's PID as "%10d\n".
// While we hold one we also keep an flock on it, and the run refreshes its
// modification time as it gets on: a PID says nothing across PID namespaces
// (two containers' processes can both be PID 1), an flock does, and a
// moving modification time says that its holder is still at work.
#include "lock_internal.h"

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

// Whole seconds of the monotonic clock, -1 when it cannot be read.
long monotonic_seconds()
{
    const long long now = monotonic_ms();
    return now < 0 ? -1 : static_cast<long>(now / 1000);
}

// Writes our PID into a private file, takes its flock and links it to the
// lock name: link() fails if the name exists, the lock is never seen
// without its PID, and never without its flock. mkostemp() picks a name
// nobody else can have taken first.
LockAttempt publish_lock(const char *lock_dir, const char *lock, HeldLock &held)
{
    std::array<char, kLockPathSize> temp{};
    std::snprintf(temp.data(), temp.size(), "%s/%s", lock_dir, kTempLockName);  // checked to fit
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return lock_failure(LockFailure::create,
                            errno);  // whatever stops this file stops the lock too
    std::array<char, kPidTextSize> text{};
    const int length =
        std::snprintf(text.data(), text.size(), "%10d\n", static_cast<int>(getpid()));
    // The mode is set outright: a umask of 077 must not hide the PID.
    const bool ready = fchmod(fd, kLockFileMode) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                       length > 0 &&
                       write(fd, text.data(), static_cast<std::size_t>(length)) == length;
    LockAttempt attempt = {LockResult::taken};
    if (!ready)
        attempt = lock_failure(LockFailure::create, errno);  // ENOSPC, EDQUOT, EIO
    else if (link(temp.data(), lock) != 0)
        attempt = errno == EEXIST ? LockAttempt{LockResult::busy}
                                  : lock_failure(LockFailure::create, errno);
    unlink(temp.data());  // the lock name, if taken, keeps the file
    if (attempt.result != LockResult::taken) {
        close(fd);  // never published: nothing to flush
        return attempt;
    }
    held.fd = fd;
    std::snprintf(held.path.data(), held.path.size(), "%s", lock);  // same size: fits
    hold_lock(fd);
    return attempt;
}

// One attempt, under the device's guard: a free port goes to an older
// waiter first, if `in_turn`.
LockAttempt try_lock(const char *lock_dir, const char *device, const char *lock, HeldLock &held,
                     Ticket &ticket, bool in_turn)
{
    const int dir = open(lock_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return lock_failure(LockFailure::create, errno);
    std::array<char, kGuardPathSize> guard{};
    guard_path(lock, guard);
    LockAttempt attempt = {LockResult::guarded};
    bool stale = false;
    const int guard_fd = take_guard(guard.data(), stale);
    if (guard_fd < 0) {
        if (errno != EWOULDBLOCK)
            attempt = lock_failure(stale ? LockFailure::remove_guard : LockFailure::create, errno);
    } else {
        attempt = clear_stale_lock(lock);
        if (attempt.result == LockResult::taken && in_turn && older_waiter(dir, lock, ticket))
            attempt = {LockResult::queued};
        else if (attempt.result == LockResult::taken)
            attempt = take_device(device, held);
        if (attempt.result == LockResult::taken)
            attempt = publish_lock(lock_dir, lock, held);
        if (attempt.result != LockResult::taken)
            release_device(held);
        // From now on we wait: our place in the queue is taken under the
        // guard, so that no one sees a ticket before it is held.
        if ((attempt.result == LockResult::busy || attempt.result == LockResult::queued) &&
            ticket.fd < 0)
            static_cast<void>(take_ticket(dir, lock, ticket));
        give_guard(guard.data(), guard_fd);
    }
    close(dir);  // only read: nothing to flush
    return attempt;
}

// Why the port could not be had, as "No modem port: <cause>".
void say_no_port(const char *device, const char *lock, const LockAttempt &attempt, PortNote &why)
{
    std::array<char, kMessageSize> reason{};
    const char *error = std::strerror(attempt.error);
    if (attempt.result == LockResult::failed && attempt.failure == LockFailure::not_lock)
        std::snprintf(reason.data(), reason.size(), "%s is not a lock file", lock);
    else if (attempt.result == LockResult::failed && attempt.failure == LockFailure::remove_stale)
        std::snprintf(reason.data(), reason.size(), "cannot remove stale lock %s: %s", lock, error);
    else if (attempt.result == LockResult::failed && attempt.failure == LockFailure::remove_guard) {
        std::array<char, kGuardPathSize> guard{};
        guard_path(lock, guard);
        std::snprintf(reason.data(), reason.size(), "cannot remove stale guard %s: %s",
                      guard.data(), error);
    } else if (attempt.result == LockResult::failed)
        std::snprintf(reason.data(), reason.size(), "cannot create %s: %s", lock, error);
    else if (attempt.result == LockResult::guarded) {
        std::array<char, kGuardPathSize> guard{};
        guard_path(lock, guard);
        std::snprintf(reason.data(), reason.size(), "%s kept by another process", guard.data());
    } else if (attempt.result == LockResult::queued)
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
bool new_sign(const LockHolder &now, const LockHolder &seen)
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

LockName split_lock_path(const char *lock)
{
    std::string_view device = lock;
    const std::size_t cut = device.rfind('/') + 1;  // 0 without a directory
    device.remove_prefix(cut);
    device.remove_prefix(device.find("..") + 2);  // lock_path() wrote "LCK..<device>"
    return {{lock, cut}, device};
}

Locked lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held,
                   PortNote &why, int max_seconds)
{
    std::array<char, kLockPathSize> lock{};
    const std::size_t temp_length = std::strlen(lock_dir) + 1 + std::strlen(kTempLockName);
    if (!lock_path(lock_dir, path, lock) || temp_length >= kLockPathSize) {
        say_no_port(path, lock_dir, lock_failure(LockFailure::create, ENAMETOOLONG), why);
        return Locked::failed;
    }

    // The wait runs out `timeout_seconds` after the holder's last sign of
    // life, or after our start: a working cellpost keeps us waiting, a
    // stuck one, or a lock of another program, does not. A port left to an
    // older waiter is no one's fault: it keeps our wait going too. And
    // whatever the signs, `max_seconds` after our start it is over.
    LockAttempt last = {LockResult::guarded};
    LockHolder seen{};
    const long start = monotonic_seconds();
    long last_sign = start;
    long passes = 0;        // since then, for a clock that cannot be read
    long total_passes = 0;  // since our start, likewise
    long deferred = 0;      // passes in a row that a free port was left to an older waiter
    Ticket ticket;
    Locked outcome = Locked::interrupted;
    while (g_stop_signal == 0) {
        touch_ticket(ticket);
        last = try_lock(lock_dir, path, lock.data(), held, ticket, deferred < kTicketDeferPasses);
        deferred = last.result == LockResult::queued ? deferred + 1 : 0;
        if (last.result == LockResult::taken) {
            outcome = Locked::taken;
            break;
        }
        if (last.result == LockResult::failed) {
            say_no_port(path, lock.data(), last, why);
            outcome = Locked::failed;
            break;
        }
        if (last.result == LockResult::queued || new_sign(last.holder, seen)) {
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
