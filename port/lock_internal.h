// Inside the port's lock: what lock.cpp, stale.cpp, guard.cpp, queue.cpp,
// refresh.cpp and wait.cpp share. Only port/ includes this (and tests that must);
// everyone else sees port.h.
#pragma once

#include "port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

inline constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
inline constexpr long kLockPollNanoseconds = 100'000'000;  // between lock attempts
inline constexpr int kLockPollsPerSecond = kNanosecondsPerSecond / kLockPollNanoseconds;
// All we ever read of a found lock: any PID text a real locker writes fits,
// and a huge file or a FIFO fed by someone cannot keep us reading.
inline constexpr std::size_t kLockReadSize = 128;
// A lock without a PID this young belongs to a locker still writing it.
inline constexpr long kLockWritingSeconds = 5;
inline constexpr mode_t kLockFileMode = 0644;  // whatever the umask: others read the PID
inline constexpr const char *kTempLockName = "LTMP.XXXXXX";  // mkostemp's template
// The guard of a device's lock (see guard.cpp): "<dir>/LGUARD..<device>",
// three bytes longer than the lock's path; ours alone, and older than a
// holder ever keeps it only if that holder was killed.
inline constexpr const char *kGuardPrefix = "LGUARD..";
inline constexpr std::size_t kGuardPathSize = kLockPathSize + 3;
inline constexpr mode_t kGuardMode = 0600;
inline constexpr long kGuardStaleSeconds = 5;
// A claim on the removal of one stale guard: the guard's path and
// ".<inode>.<seconds>.<nanoseconds>.<level>" in hex; a run killed while it
// held a claim leaves it, and the next run claims the next level.
inline constexpr std::size_t kClaimPathSize = kGuardPathSize + 48;
inline constexpr int kGuardClaimLevels = 4;
// Waiting runs take the port in turn (see Ticket): "LWAIT..<device>.<16
// hex digits>" fits for any device whose lock name fits kLockPathSize.
inline constexpr std::size_t kTicketNameSize = 96;
// A waiter touches its ticket every pass (100 ms); one untouched for a
// second is stopped or hung and loses its turn.
inline constexpr std::int64_t kTicketFreshNanoseconds = kNanosecondsPerSecond;
// A free port is left to an older waiter for at most this many passes (2 s):
// a real one takes it at its next look, so only a fake ticket is passed over.
inline constexpr long kTicketDeferPasses = 20;
// A free port is left to an older waiter without counting against our own
// wait; reading a lock directory stuffed with entries named like tickets
// must still cost each look little: so many entries at most, and so many
// tickets checked (opened and flock-tested), each look.
inline constexpr int kTicketScanEntries = 4096;
inline constexpr int kTicketChecks = 64;

// Our place among the runs waiting for a port: an empty file
// "LWAIT..<device>.<ticket>" in the lock directory, held open with an flock
// and touched at every look; `value`, the monotonic nanoseconds at which we
// began to wait, is its place. A run without a ticket (fd -1) comes last.
struct Ticket {
    int fd = -1;
    std::uint64_t value = UINT64_MAX;
    std::array<char, kTicketNameSize> name{};
};

// lock_device() and unlock_device() tell refresh_lock() which lock file
// is ours (-1: none).
void hold_lock(int fd);

// What stands under the lock name when it is in our way.
struct LockHolder {
    pid_t pid = 0;         // 0: no PID could be read
    bool flocked = false;  // another cellpost, which refreshes its lock while at work
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{};
    bool device = false;  // no lock file, but a program holds the device's own flock
};

// How one attempt went: the lock is ours; a lock is in our way; the port
// is free, but an older waiter's turn (queued); another process holds the
// device's guard; or a failure that waiting cannot cure, with its errno.
enum class LockResult { taken, busy, queued, guarded, failed };
enum class LockFailure { create, remove_stale, remove_guard, not_lock };

struct LockAttempt {
    LockResult result;
    LockHolder holder{};
    LockFailure failure = LockFailure::create;
    int error = 0;
};

inline LockAttempt lock_failure(LockFailure why, int error)
{
    return {LockResult::failed, {}, why, error};
}

inline bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// How long ago the file was last written or touched, in nanoseconds of the
// real-time clock that set its modification time: negative when that
// lies ahead of the clock.
std::int64_t file_age_ns(const struct stat &st);

// Whether the file was written or touched less than `seconds` ago, or
// lies less than that ahead of the clock: one further ahead was dated by a
// clock since stepped back, or by hand, and says nothing of a holder.
bool written_within(const struct stat &st, long seconds);

// The two parts of a lock path that lock_path() wrote, "<dir>/LCK..<device>":
// the directory with its slash, and the device's name.
struct LockName {
    std::string_view dir;
    std::string_view device;
};
LockName split_lock_path(const char *lock);

// Tests only: when set, called with the path after a look at a guard in the
// way, and after the last look at a stale lock before it is removed, so
// that a test can hold the window between a look and a removal open.
extern void (*g_look_hook)(const char *path);

// Looks at what stands under the lock name and removes it if it is no live
// lock. taken: the name is free; busy: a live lock, or one that changed
// while we looked (look again on the next pass); failed: in our way for good.
LockAttempt clear_stale_lock(const char *lock);

// Takes the device's own flock, which programs that write no lock file
// hold: busy while another holds it. release_device() lets go of it.
LockAttempt take_device(const char *device, HeldLock &held);
void release_device(HeldLock &held);

// The guard of a device's lock (see guard.cpp): its path for the lock
// "<dir>/LCK..<device>"; taking it (-1, errno EWOULDBLOCK while another
// process holds it, `stale` when one left behind may not be removed);
// giving it back.
void guard_path(const char *lock, std::span<char, kGuardPathSize> out);
int take_guard(const char *guard, bool &stale);
void give_guard(const char *guard, int fd);

// The waiting queue, for lock_devices(): takes our place in the queue of
// the lock `lock`, as a waiter since `began` (monotonic nanoseconds; false:
// none could be had, we wait out of turn); touches our ticket; gives it
// back; and tells whether a live ticket older than ours waits for the same
// port. Those given `dir`, the lock directory open, are called with the
// device's guard held.
bool take_ticket(int dir, const char *lock, std::int64_t began, Ticket &ticket);
void touch_ticket(const Ticket &ticket);
void drop_ticket(const char *lock_dir, Ticket &ticket);
bool older_waiter(int dir, const char *lock, const Ticket &ticket);

// One attempt at the lock `lock` of `device`, under the device's guard: a
// free port goes to an older waiter first, if `in_turn`. Found busy or
// left to an older waiter, we take our place in the device's queue, as a
// waiter since `began`, unless `ticket` holds one already.
LockAttempt try_lock(const char *lock_dir, const char *device, const char *lock, HeldLock &held,
                     Ticket &ticket, std::int64_t began, bool in_turn);

// Why an attempt did not take the lock `lock` of `device`, in words.
void no_port_reason(const char *device, const char *lock, const LockAttempt &attempt,
                    std::span<char> reason);
