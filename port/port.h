// Modem port acquisition: which serial device, its UUCP lock, its line set-up.
//
// Contract: open_modem() takes the HDB UUCP lock of the first usable device
// in a fixed list, opens it and sets 115200 8N1 raw, and returns the
// descriptor and the lock; close_modem() gives both back. While held, the
// lock file also carries an flock, so that it reads as alive across PID
// namespaces. Every failure to get a port is logged as one line beginning
// "No modem port: ". Nothing here knows about SMS or AT commands.
#pragma once

#include "devices.h"  // kModemDevices, kLockDir: chosen when building

#include <array>
#include <cstddef>
#include <span>
#include <sys/types.h>

inline constexpr int kLockTimeoutSeconds = 10;
inline constexpr long kLockPollNanoseconds = 100'000'000;  // between lock attempts
inline constexpr int kLockPollsPerSecond = 10;
inline constexpr std::size_t kLockPathSize = 64;  // "/var/lock/LCK..<name>"
inline constexpr std::size_t kPidTextSize = 16;   // "%10d\n" and its NUL
inline constexpr std::size_t kLockReadSize = 32;  // one read of a found lock: more than a PID text
inline constexpr std::size_t kPidDigits = 20;     // more than any PID has
inline constexpr mode_t kLockFileMode = 0644;     // whatever the umask: others read the PID
inline constexpr const char *kNoPortFormat = "No modem port: %s";
inline constexpr std::size_t kMessageSize = 256;  // one "No modem port: " line

// Where open_modem() looks; tests point it at pseudo-terminals and a
// scratch lock directory.
struct ModemPorts {
    std::span<const char *const> devices;
    const char *lock_dir;
    int lock_timeout_seconds;
};

inline constexpr ModemPorts kDefaultModemPorts = {kModemDevices, kLockDir, kLockTimeoutSeconds};

// A lock file this process created and holds: its name, and the open file
// whose flock says so to other lockers.
struct HeldLock {
    int fd = -1;
    std::array<char, kLockPathSize> path{};
};

// The modem's line and the lock that guards it; fd -1 when there is none.
struct ModemPort {
    int fd = -1;
    HeldLock lock;
};

// Locks and opens the first device that can be opened as a terminal.
// Gives up at once when a device's lock stays held by a live process (a
// busy modem is not a reason to use another one) or the lock directory
// cannot be used. Logs why when it returns no port.
ModemPort open_modem(const ModemPorts &ports = kDefaultModemPorts);

// Closes the line and removes our lock file.
void close_modem(ModemPort &port);

// Creates the lock file of `path` in `lock_dir`, holding this process's PID
// as "%10d\n", mode 0644, and keeps an flock on it. A lock file that
// another process holds an flock on is alive; one that nobody holds is
// stale when its PID is dead, missing or our own, and is replaced. Polls
// every 100 ms; false, logged, once more than `timeout_seconds` have
// passed, or at once when the lock directory is unusable.
bool lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held);

// Removes the lock file if it is still the one we created, and lets go of
// its flock.
void unlock_device(HeldLock &held);

// Opens `path` non-blocking, without making it the controlling terminal,
// and sets the line. A failed tcsetattr is logged and the descriptor
// returned all the same. -1 when open() fails or `path` is no terminal.
int open_serial(const char *path);

// True when a process with this PID may exist (EPERM counts as alive).
bool process_alive(pid_t pid);

// Whole seconds of CLOCK_MONOTONIC, or -1 when it cannot be read.
long monotonic_seconds();

// Formats "<lock_dir>/LCK..<base name of path>" into `out`; false when it
// does not fit.
bool lock_path(const char *lock_dir, const char *path, std::span<char, kLockPathSize> out);
