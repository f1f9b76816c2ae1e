// Choosing the modem's device: the first one that can be locked and opened.
#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <span>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A group's entry holds its members' names too: room for a few hundred.
std::array<char, 4096> g_group_entry;

// Why `device` did not open. For a refusal, what access the user lacks:
// the device's group, where that group may read and write it (the user is
// not in it, or has not logged in again since being added); else its
// owner alone may open it.
void open_reason(const char *device, int error, std::span<char> out)
{
    struct stat node {};
    if (error == ENOTTY) {
        std::snprintf(out.data(), out.size(), "not a terminal");
    } else if (error != EACCES || stat(device, &node) != 0) {
        std::snprintf(out.data(), out.size(), "%s", std::strerror(error));
    } else if ((node.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
        std::snprintf(out.data(), out.size(), "%s (only its owner may open it)",
                      std::strerror(error));
    } else {
        group entry{};
        group *found = nullptr;
        const int looked =
            getgrgid_r(node.st_gid, &entry, g_group_entry.data(), g_group_entry.size(), &found);
        // ERANGE (a group too large for the buffer), or no name: its number.
        std::array<char, 16> number{};
        std::snprintf(number.data(), number.size(), "%u", static_cast<unsigned>(node.st_gid));
        std::snprintf(out.data(), out.size(), "%s (not in group %s)", std::strerror(error),
                      looked == 0 && found != nullptr ? entry.gr_name : number.data());
    }
}

// Why no device could be used: "cannot open <device>: <reason>; ...".
struct Reasons {
    std::array<char, kMessageSize> text{};
    std::size_t used = 0;
};

void note_reason(Reasons &reasons, const char *device, const char *reason)
{
    const int n =
        std::snprintf(reasons.text.data() + reasons.used, reasons.text.size() - reasons.used,
                      "%s%s: %s", reasons.used == 0 ? "cannot open " : "; ", device, reason);
    if (n > 0)  // snprintf cuts a message too long; nothing more is added then
        reasons.used =
            std::min(reasons.used + static_cast<std::size_t>(n), reasons.text.size() - 1);
}

// "No modem port: cannot open <device>: <reason>; ...", and the hint that
// says how to name the modem, cut like the reasons if it does not fit.
void say_no_device(const ModemPorts &ports, Reasons &reasons, PortNote &note)
{
    if (ports.hint != nullptr)
        std::snprintf(reasons.text.data() + reasons.used, reasons.text.size() - reasons.used, "%s",
                      ports.hint);
    std::snprintf(note.data(), note.size(), kNoPortFormat, reasons.text.data());
}

// The name `device` is locked under: the device a link (/dev/serial/by-id/...,
// a udev alias) leads to, the name other programs lock the same port by.
// One that leads nowhere yet keeps its own name: opening it will say why.
// nullptr, the reason noted, for a link that leads nowhere with a name too
// long to lock (a by-id name of an unplugged modem): it cannot be opened
// either, and the next device is tried, as for any device not there.
const char *locked_name(const ModemPorts &ports, const char *device, std::span<char, PATH_MAX> real,
                        Reasons &reasons)
{
    const char *locked = realpath(device, real.data()) != nullptr ? real.data() : device;
    const int unresolved = errno;
    std::array<char, kLockPathSize> name{};
    if (locked == device && !lock_path(ports.lock_dir, device, name)) {
        note_reason(reasons, device, std::strerror(unresolved));
        return nullptr;
    }
    return locked;
}

// Opens `device`, whose lock `port.lock` holds: open; or failed, the lock
// given back and the reason added to `reasons`.
Taken open_locked(const char *device, ModemPort &port, PortNote &note, Reasons &reasons)
{
    port.fd = open_serial(device, note);
    if (port.fd >= 0) {
        port.device = device;
        return Taken::open;
    }
    const int error = errno;
    unlock_device(port.lock);  // missing device: free its name again
    std::array<char, kMessageSize> reason{};
    open_reason(device, error, reason);
    note_reason(reasons, device, reason.data());
    return Taken::failed;
}

// How a lock's wait that took nothing ended, as the port's.
Taken not_taken(Locked lock)
{
    return lock == Locked::interrupted ? Taken::interrupted
           : lock == Locked::busy      ? Taken::busy
                                       : Taken::failed;
}

// The names a pool's devices are locked under: PATH_MAX each, not on the stack.
std::array<std::array<char, PATH_MAX>, kMaxWaitDevices> g_real_names;

}  // namespace

Taken open_modem(const ModemPorts &ports, ModemPort &port, PortNote &note)
{
    note[0] = '\0';
    Reasons reasons{};
    for (const char *device : ports.devices) {
        const char *locked = locked_name(ports, device, g_real_names[0], reasons);
        if (locked == nullptr)
            continue;
        // A lock held by a live process means the modem is busy; another
        // device would not be the same modem, so give up.
        const Locked lock = lock_device(ports.lock_dir, locked, ports.lock_timeout_seconds,
                                        port.lock, note, ports.lock_wait_max_seconds);
        if (lock != Locked::taken)
            return not_taken(lock);
        if (open_locked(device, port, note, reasons) == Taken::open)
            return Taken::open;
    }
    say_no_device(ports, reasons, note);
    return Taken::failed;
}

Taken open_pool(const ModemPorts &ports, std::span<const bool> passed, ModemPort &port,
                PortNote &note)
{
    note[0] = '\0';
    Reasons reasons{};
    std::array<const char *, kMaxWaitDevices> locked{};
    std::array<std::size_t, kMaxWaitDevices> index{};  // where each stands in `ports.devices`
    std::size_t left = 0;
    for (std::size_t i = 0; i < ports.devices.size() && left < locked.size(); ++i) {
        if (i < passed.size() && passed[i])
            continue;
        locked[left] = locked_name(ports, ports.devices[i], g_real_names[left], reasons);
        if (locked[left] != nullptr)
            index[left++] = i;
    }
    // Separate modems: one that another process holds is passed over, and
    // while every one is busy, whichever frees first is as good as any.
    while (left > 0) {
        std::size_t which = 0;
        const Locked lock =
            lock_devices(ports.lock_dir, std::span(locked).first(left), ports.lock_timeout_seconds,
                         port.lock, which, note, ports.lock_wait_max_seconds);
        if (lock != Locked::taken)
            return not_taken(lock);
        if (open_locked(ports.devices[index[which]], port, note, reasons) == Taken::open)
            return Taken::open;
        // Not there: the others are still worth a look.
        std::copy(locked.begin() + which + 1, locked.begin() + left, locked.begin() + which);
        std::copy(index.begin() + which + 1, index.begin() + left, index.begin() + which);
        --left;
    }
    say_no_device(ports, reasons, note);
    return Taken::failed;
}

void close_modem(ModemPort &port)
{
    if (port.fd >= 0)
        close(port.fd);  // nothing buffered of ours to lose; the lock goes next
    port.fd = -1;
    port.device = nullptr;
    unlock_device(port.lock);
}
