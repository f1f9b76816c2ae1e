// Modem port acquisition: which serial device, its UUCP lock, its line set-up.
//
// Contract: open_modem() takes the HDB UUCP lock of the first usable device
// in a fixed list, opens it and sets 115200 8N1 raw, and returns the
// descriptor and the lock; close_modem() gives both back. While held, the
// lock file also carries an flock, so that it reads as alive across PID
// namespaces, and its modification time is refreshed twice a second, so
// that waiting lockers can tell a working holder from a stopped one. Every
// failure to get a port is logged as one line beginning "No modem port: ".
// A stop requested by a signal ends any lock wait at once. Nothing here
// knows about SMS or AT commands.
#pragma once

#include "devices.h"  // kModemDevices, kLockDir: chosen when building

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <span>
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
// How often a held lock's modification time is refreshed: well within the
// second that waiters allow between two signs of life.
inline constexpr long kLockRefreshMicroseconds = 500'000;
inline constexpr mode_t kLockFileMode = 0644;  // whatever the umask: others read the PID
inline constexpr const char *kNoPortFormat = "No modem port: %s";
inline constexpr const char *kTempLockName = "LTMP.XXXXXX";  // mkostemp's template
// Waiting runs take the port in turn (see Ticket): "LWAIT..<device>.<16
// hex digits>" fits for any device whose lock name fits kLockPathSize.
inline constexpr std::size_t kTicketNameSize = 96;
// A waiter touches its ticket every pass (100 ms); one untouched for a
// second is stopped or hung and loses its turn.
inline constexpr std::int64_t kTicketFreshNanoseconds = 1'000'000'000;
// A free port is left to an older waiter for at most this many passes (2 s):
// a real one takes it at its next look, so only a fake ticket is passed over.
inline constexpr long kTicketDeferPasses = 20;
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

// Our place among the runs waiting for a port: an empty file
// "LWAIT..<device>.<ticket>" in the lock directory, held open with an flock
// and touched at every look; `value`, the monotonic nanoseconds at which we
// began to wait, is its place. A run without a ticket (fd -1) comes last.
struct Ticket {
    int fd = -1;
    std::uint64_t value = UINT64_MAX;
    std::array<char, kTicketNameSize> name{};
};

// The modem's line and the lock that guards it; fd -1 when there is none.
struct ModemPort {
    int fd = -1;
    HeldLock lock;
};

// The signal that asked this process to stop, 0 while none has. Set by the
// handlers that catch_stop_signals() installs; the lock wait gives up when
// it is set, and the dialogue stops in its one waiting place.
extern volatile std::sig_atomic_t g_stop_signal;

// Catches SIGTERM, SIGINT, SIGHUP and SIGQUIT into g_stop_signal.
void catch_stop_signals();

// Refreshes the modification time of the lock file open on `fd` every
// kLockRefreshMicroseconds, from a SIGALRM timer, until stop_lock_upkeep().
// lock_device() and unlock_device() call these.
void start_lock_upkeep(int fd);
void stop_lock_upkeep();

// The waiting queue, for lock_device(), which calls these with the lock
// directory open as `dir` and its flock held: takes our place in the
// queue of the lock `lock` (false: none could be had, we wait out of turn);
// touches our ticket; gives it back; and tells whether a live ticket older
// than ours waits for the same port.
bool take_ticket(int dir, const char *lock, Ticket &ticket);
void touch_ticket(const Ticket &ticket);
void drop_ticket(const char *lock_dir, Ticket &ticket);
bool older_waiter(int dir, const char *lock, const Ticket &ticket);

// Locks and opens the first device that can be opened as a terminal.
// Gives up at once when a device's lock stays held by a live process (a
// busy modem is not a reason to use another one) or the lock directory
// cannot be used. Logs why when it returns no port, unless a stop signal
// ended the wait.
ModemPort open_modem(const ModemPorts &ports = kDefaultModemPorts);

// Closes the line and removes our lock file.
void close_modem(ModemPort &port);

// Creates the lock file of `path` in `lock_dir`, holding this process's PID
// as "%10d\n", mode 0644, keeps an flock on it and refreshes its
// modification time until unlock_device(). A lock file that another
// process holds an flock on is alive; one that nobody holds is stale when
// its PID is dead or our own, or when it has held no PID for 5 s, and is
// replaced. Anything but a regular file under the lock name is no lock:
// removed if we may, else a failure. Polls every 100 ms; false, logged,
// once more than `timeout_seconds` have passed without a sign of life from
// the holder (a flocked lock whose modification time moves), at once when
// the lock directory is unusable, and unlogged when a stop was asked for.
// Waiting runs take a free port in the order in which they began to wait.
bool lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held);

// Stops refreshing the lock, removes the lock file if it is still the one
// we created, and lets go of its flock.
void unlock_device(HeldLock &held);

// Opens `path` non-blocking, without making it the controlling terminal,
// and sets every line setting the dialogue relies on, whatever an earlier
// program left. A failed tcsetattr is logged and the descriptor returned
// all the same. -1 with errno set when open() fails, ENOTTY when `path` is
// no terminal.
int open_serial(const char *path);

// True when a process with this PID may exist (EPERM counts as alive).
bool process_alive(pid_t pid);

// Whole seconds of CLOCK_MONOTONIC, or -1 when it cannot be read.
long monotonic_seconds();

// Formats "<lock_dir>/LCK..<base name of path>" into `out`; false when it
// does not fit.
bool lock_path(const char *lock_dir, const char *path, std::span<char, kLockPathSize> out);
