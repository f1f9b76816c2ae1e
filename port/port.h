// The modem's port: which serial device, its UUCP lock, its line set-up,
// and waiting in turn for it.
//
// Contract: open_modem() takes the HDB UUCP lock of the first usable device
// in a list, opens it and sets 115200 8N1 raw, and returns the descriptor
// and the lock; close_modem() gives both back. While held, the lock file
// also carries an flock, so that it reads as alive across PID namespaces,
// and the run refreshes its modification time as it makes progress
// (refresh_lock()), so that waiting lockers can tell a working holder from
// a stuck one. Nothing here reports: every failure to get a port comes
// back as one line beginning "No modem port: " for the caller to log. A
// stop signal ends any lock wait at once. Nothing here knows about SMS or
// AT commands.
#pragma once

#include "base.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <sys/stat.h>
#include <sys/types.h>

inline constexpr int kLockTimeoutSeconds = 10;
inline constexpr long kLockPollNanoseconds = 100'000'000;  // between lock attempts
inline constexpr int kLockPollsPerSecond = 10;
inline constexpr std::size_t kLockPathSize = 64;  // "/var/lock/LCK..<name>"
inline constexpr std::size_t kPidTextSize = 16;   // "%10d\n" and its NUL
// All we ever read of a found lock: any PID text a real locker writes fits,
// and a huge file or a FIFO fed by someone cannot keep us reading.
inline constexpr std::size_t kLockReadSize = 128;
// A lock without a PID this young belongs to a locker still writing it.
inline constexpr long kLockWritingSeconds = 5;
// A run that waits for anything wakes at least this often to refresh its
// lock: well within the 10 s that waiters allow between two signs of life.
inline constexpr int kLockRefreshMilliseconds = 500;
inline constexpr mode_t kLockFileMode = 0644;  // whatever the umask: others read the PID
inline constexpr const char *kNoPortFormat = "No modem port: %s";
inline constexpr const char *kTempLockName = "LTMP.XXXXXX";  // mkostemp's template
// The guard of a device's lock (see try_lock): "<dir>/LGUARD..<device>",
// three bytes longer than the lock's path; ours alone, and older than a
// holder ever keeps it only if that holder was killed.
inline constexpr const char *kGuardPrefix = "LGUARD..";
inline constexpr std::size_t kGuardPathSize = kLockPathSize + 3;
inline constexpr mode_t kGuardMode = 0600;
inline constexpr long kGuardStaleSeconds = 5;
// Waiting runs take the port in turn (see Ticket): "LWAIT..<device>.<16
// hex digits>" fits for any device whose lock name fits kLockPathSize.
inline constexpr std::size_t kTicketNameSize = 96;
// A waiter touches its ticket every pass (100 ms); one untouched for a
// second is stopped or hung and loses its turn.
inline constexpr std::int64_t kTicketFreshNanoseconds = 1'000'000'000;
// A free port is left to an older waiter for at most this many passes (2 s):
// a real one takes it at its next look, so only a fake ticket is passed over.
inline constexpr long kTicketDeferPasses = 20;
// A free port is left to an older waiter without counting against our own
// wait; reading a lock directory stuffed with entries named like tickets
// must still cost each look little: so many entries at most, and so many
// tickets checked (opened and flock-tested), each look.
inline constexpr int kTicketScanEntries = 4096;
inline constexpr int kTicketChecks = 64;
inline constexpr std::size_t kMessageSize = 256;  // one "No modem port: " line

// Where open_modem() looks; tests point it at pseudo-terminals and a
// scratch lock directory.
struct ModemPorts {
    std::span<const char *const> devices;
    const char *lock_dir;
    int lock_timeout_seconds;                         // without a sign of life from the holder
    int lock_wait_max_seconds = kLockWaitMaxSeconds;  // in all, whatever the signs
};

inline constexpr ModemPorts kDefaultModemPorts = {kModemDevices, kLockDir, kLockTimeoutSeconds,
                                                  kLockWaitMaxSeconds};

// A lock file this process created and holds: its name, and the open file
// whose flock says so to other lockers; and the device, opened to hold its
// own flock, which programs that write no lock file look at.
struct HeldLock {
    int fd = -1;
    std::array<char, kLockPathSize> path{};
    int device = -1;
};

// Our place among the runs waiting for a port: an empty file
// "LWAIT..<device>.<ticket>" in the lock directory, held open with an flock
// and touched at every look; `value`, the monotonic nanoseconds at which we
// began to wait, is its place. A run without a ticket (fd -1) comes last.
struct Ticket {
    int fd = -1;
    std::uint64_t value = UINT64_MAX;
    std::array<char, kTicketNameSize> name{};
};

// The modem's line, the device it was opened as, and the lock that guards
// it; fd -1 when there is none.
struct ModemPort {
    int fd = -1;
    const char *device = nullptr;
    HeldLock lock;
};

// A sign of life: sets the modification time of the lock this process
// holds, if any. The run's own loop calls it on every exchange and every
// wake-up of a wait, so that a run stuck anywhere stops refreshing.
void refresh_lock();
// lock_device() and unlock_device() tell which lock that is (-1: none).
void hold_lock(int fd);

// ---- Between the files that take a lock (lock.cpp, stale.cpp, guard.cpp) ----

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

// The waiting queue, for lock_device(), which calls these with the lock
// directory open as `dir` and its flock held: takes our place in the
// queue of the lock `lock` (false: none could be had, we wait out of turn);
// touches our ticket; gives it back; and tells whether a live ticket older
// than ours waits for the same port.
bool take_ticket(int dir, const char *lock, Ticket &ticket);
void touch_ticket(const Ticket &ticket);
void drop_ticket(const char *lock_dir, Ticket &ticket);
bool older_waiter(int dir, const char *lock, const Ticket &ticket);

// One line for the caller to log: why no port could be had, or a line
// set-up that failed on a port that is open all the same.
using PortNote = std::array<char, sizeof "No modem port: " + kMessageSize>;

// How taking the port went: open; none to be had, or kept busy by another
// process for the whole wait (the note says why, and by whom); or a stop
// signal ended the wait.
enum class Taken { open, failed, busy, interrupted };

// Locks and opens the first device that can be opened as a terminal.
// Gives up at once when a device's lock stays held by a live process (a
// busy modem is not a reason to use another one) or the lock directory
// cannot be used. `note` is empty, or holds the line to log: a failed
// tcsetattr on an open port, or "No modem port: <why>".
Taken open_modem(const ModemPorts &ports, ModemPort &port, PortNote &note);

// Closes the line and removes our lock file.
void close_modem(ModemPort &port);

// How a wait for a lock ended: taken; failed, at once; held by another
// process for as long as we may wait; or stopped.
enum class Locked { taken, failed, busy, interrupted };

// Creates the lock file of `path` in `lock_dir`, holding this process's PID
// as "%10d\n", mode 0644, keeps an flock on it until unlock_device(), and
// lets refresh_lock() touch it. A lock file that another
// process holds an flock on is alive; one that nobody holds is stale when
// its PID is dead or our own, or when it has held no PID for 5 s, and is
// replaced. Anything but a regular file under the lock name is no lock:
// removed if we may, else a failure. A device that another program holds
// an flock on (one that writes no lock file) is busy like a live lock;
// once the lock is ours, so is the device's flock. Polls every 100 ms;
// `busy` once more than `timeout_seconds` have passed without a sign of
// life from the holder (a flocked lock whose modification time moves), or
// after `max_seconds` in all whatever the signs; `failed` at once when the
// lock directory is unusable: `why` then holds "No modem port: <cause>".
// Judging, removing and creating the lock happen under the device's guard,
// a file whose creation and removal need write access to the lock
// directory. A stop
// signal ends the wait with `stopped`. Waiting runs take a free port in the
// order in which they began to wait; the time a free port is left to an
// older waiter does not count against `timeout_seconds`.
Locked lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held,
                   PortNote &why, int max_seconds = kLockWaitMaxSeconds);

// Removes the lock file if it is still the one we created, and lets go of
// its flock and the device's.
void unlock_device(HeldLock &held);

// Opens `path` non-blocking, without making it the controlling terminal,
// and sets every line setting the dialogue relies on, whatever an earlier
// program left. A failed tcsetattr is put in `note` and the descriptor
// returned all the same. -1 with errno set when open() fails, ENOTTY when
// `path` is no terminal.
int open_serial(const char *path, PortNote &note);

// True when a process with this PID may exist (EPERM counts as alive).
bool process_alive(pid_t pid);

// Formats "<lock_dir>/LCK..<base name of path>" into `out`; false when it
// does not fit.
bool lock_path(const char *lock_dir, const char *path, std::span<char, kLockPathSize> out);
