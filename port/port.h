// Modem port acquisition: which serial device, its UUCP lock, its line set-up.
//
// Contract: open_modem() takes the HDB UUCP lock of the first usable device
// in a fixed list, opens it and sets 115200 8N1 raw, and returns the
// descriptor, or -1. The lock is held for the rest of the process and left
// behind as a stale lock when it exits; lockers that follow the convention
// remove it. Nothing here knows about SMS or AT commands.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <sys/types.h>

inline constexpr std::array<const char *, 2> kModemDevices = {"/dev/ttyUSB8", "/dev/ttyS2"};
inline constexpr const char *kLockDir = "/var/lock";
inline constexpr int kLockTimeoutSeconds = 10;
inline constexpr long kLockPollNanoseconds = 100'000'000;  // between lock attempts
inline constexpr int kLockPollsPerSecond = 10;
inline constexpr std::size_t kLockPathSize = 64;  // "/var/lock/LCK..<name>"
inline constexpr std::size_t kPidTextSize = 16;   // "%10d\n" and its NUL
inline constexpr std::size_t kLockReadSize = 32;  // read of a found lock: more than any PID text
inline constexpr mode_t kLockFileMode = 0644;

// Where open_modem() looks; tests point it at pseudo-terminals and a
// scratch lock directory.
struct ModemPorts {
    std::span<const char *const> devices;
    const char *lock_dir;
    int lock_timeout_seconds;
};

inline constexpr ModemPorts kDefaultModemPorts = {kModemDevices, kLockDir, kLockTimeoutSeconds};

// Locks and opens the first device that can be opened. Gives up at once
// (-1) when a device's lock stays held by a live process: a busy modem is
// not a reason to use another one. Writes no message about failures.
int open_modem(const ModemPorts &ports = kDefaultModemPorts);

// Creates the lock file of `path` in `lock_dir`, holding this process's PID
// as "%10d\n". Stale locks (dead PID, no PID, our own PID) are replaced.
// Polls every 100 ms; false once more than `timeout_seconds` have passed.
bool lock_device(const char *lock_dir, const char *path, int timeout_seconds);

// Removes the lock file of `path` without looking at what it holds.
void unlock_device(const char *lock_dir, const char *path);

// Opens `path` non-blocking, without making it the controlling terminal,
// and sets the line. A failed tcsetattr is logged and the descriptor
// returned all the same. -1 when open() fails.
int open_serial(const char *path);

// True when a process with this PID may exist (EPERM counts as alive).
bool process_alive(pid_t pid);

// Whole seconds of CLOCK_MONOTONIC, or -1 when it cannot be read.
long monotonic_seconds();

// Formats "<lock_dir>/LCK..<base name of path>" into `out`; false when it
// does not fit.
bool lock_path(const char *lock_dir, const char *path, std::span<char, kLockPathSize> out);
