// HDB UUCP lock files: "LCK..<device>" holding the owner's PID as "%10d\n".
// While we hold one we also keep an flock on it, and the run refreshes its
// modification time as it gets on: a PID says nothing across PID namespaces
// (two containers' processes can both be PID 1), an flock does, and a
// moving modification time says that its holder is still at work.
#include "lock_internal.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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

LockAttempt try_lock(const char *lock_dir, const char *device, const char *lock, HeldLock &held,
                     Ticket &ticket, std::int64_t began, bool in_turn)
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
            static_cast<void>(take_ticket(dir, lock, began, ticket));
        give_guard(guard.data(), guard_fd);
    }
    close(dir);  // only read: nothing to flush
    return attempt;
}

void no_port_reason(const char *device, const char *lock, const LockAttempt &attempt,
                    std::span<char> reason)
{
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
