// The modem's port: which serial device, its UUCP lock, its line set-up,
// and waiting in turn for it.
//
// Contract: open_modem() takes the HDB UUCP lock of the first usable device
// in a list, opens it and sets 115200 8N1 raw, and returns the descriptor
// and the lock; open_pool() does so for the first free modem of a pool,
// passing busy ones over; close_modem() gives both back. While held, the lock file
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
#include <span>
#include <sys/types.h>

inline constexpr int kLockTimeoutSeconds = 10;
inline constexpr std::size_t kLockPathSize = 64;  // "/var/lock/LCK..<name>"
inline constexpr std::size_t kPidTextSize = 16;   // "%10d\n" and its NUL
// A run that waits for anything wakes at least this often to refresh its
// lock: well within the 10 s that waiters allow between two signs of life.
inline constexpr int kLockRefreshMilliseconds = 500;
inline constexpr const char *kNoPortFormat = "No modem port: %s";
inline constexpr std::size_t kMessageSize = 256;  // one "No modem port: " line

// Where open_modem() looks; tests point it at pseudo-terminals and a
// scratch lock directory.
struct ModemPorts {
    std::span<const char *const> devices;
    const char *lock_dir;
    int lock_timeout_seconds;                         // without a sign of life from the holder
    int lock_wait_max_seconds = kLockWaitMaxSeconds;  // in all, whatever the signs
    // Ends the line of a port that no device gave: what the caller's user
    // can do about it (how to name another device), or nullptr.
    const char *hint = nullptr;
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

// One line for the caller to log: why no port could be had, or a line
// set-up that failed on a port that is open all the same.
using PortNote = std::array<char, sizeof "No modem port: " + kMessageSize>;

// How taking the port went: open; none to be had, or kept busy by another
// process for the whole wait (the note says why, and by whom); or a stop
// signal interrupted the wait.
enum class Taken { open, failed, busy, interrupted };

// Locks and opens the first device that can be opened as a terminal. A
// device's lock that stays held by a live process for the whole wait
// (see lock_device) ends the search without trying the next device (a
// busy modem is not a reason to use another one), and so does a lock
// directory that cannot be used. `note` is empty, or holds the line to
// log: a failed tcsetattr on an open port, or "No modem port: <why>";
// when no device could be opened, each with its reason ("not in group
// <group>" for one that refused us), and `ports.hint` after them.
Taken open_modem(const ModemPorts &ports, ModemPort &port, PortNote &note);

// A pool of separate modems: locks and opens the first of `ports.devices`
// not `passed` that is free now, passing over one that another process
// holds; when every one left is busy, waits in turn for whichever frees
// first (see lock_devices), within the bounds of `ports`. A device that
// cannot be opened is passed over as open_modem() passes over it.
// `port.device` tells which was taken.
Taken open_pool(const ModemPorts &ports, std::span<const bool> passed, ModemPort &port,
                PortNote &note);

// Closes the line and removes our lock file.
void close_modem(ModemPort &port);

// How a wait for a lock ended: taken; failed, at once; held by another
// process for as long as we may wait; or interrupted by a stop signal.
enum class Locked { taken, failed, busy, interrupted };

// Creates the lock file of `path` in `lock_dir`, holding this process's PID
// as "%10d\n", mode 0644, keeps an flock on it until unlock_device(), and
// lets refresh_lock() touch it. A lock file that another process holds an
// flock on and touches is alive; one that nobody holds is stale when its
// PID is dead or our own, or when it has held no PID for 5 s, and is
// replaced. Anything but a regular file under the lock name is no lock:
// removed if we may, else a failure. A device that another program holds
// an flock on (one that writes no lock file) is busy like a live lock;
// once the lock is ours, so is the device's flock. Polls every 100 ms;
// `busy` once more than `timeout_seconds` have passed without a sign of
// life from the holder (a flocked lock whose modification time moves), or
// after `max_seconds` in all whatever the signs; `failed` at once when the
// lock directory is unusable: `why` then holds "No modem port: <cause>".
// Judging, removing and creating the lock happen under the device's guard,
// a file in the lock directory that one run at a time holds. A stop signal
// ends the wait with `interrupted`. Waiting runs take a free port in the
// order in which they began to wait; the time a free port is left to an
// older waiter does not count against `timeout_seconds`.
Locked lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held,
                   PortNote &why, int max_seconds = kLockWaitMaxSeconds);

// The most devices one wait looks at.
inline constexpr std::size_t kMaxWaitDevices = 8;

// Waits for whichever lock of several devices can be had first, as
// lock_device() waits for one, which is its one-device case: every pass
// tries each of `paths` in order, so the first one free now is taken at
// once and one that another process holds is passed over. While all are
// busy we hold a place in each one's queue, all of the time we began to
// wait: the oldest waiter gets the next port that frees, whichever it is.
// A device whose lock fails for good drops out of the wait; `failed` once
// every one has. The bounds count over all of them: `busy` once
// `timeout_seconds` have passed without a sign of life from any holder, or
// after `max_seconds`. `taken` says which one we hold; `why` gives each
// one's cause, in order, separated by "; ". Looks at the first
// kMaxWaitDevices of `paths` only.
Locked lock_devices(const char *lock_dir, std::span<const char *const> paths, int timeout_seconds,
                    HeldLock &held, std::size_t &taken, PortNote &why,
                    int max_seconds = kLockWaitMaxSeconds);

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
