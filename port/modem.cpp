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

// Locks and opens `device`, waiting for its lock as `ports` allow, or as
// `wait` when given. open: taken; failed: it cannot be opened (the reason
// added to `reasons`); busy, interrupted, or failed with the lock directory
// unusable (`fatal`): as the lock's wait ended, the note says why.
Taken take_one(const ModemPorts &ports, const char *device, ModemPort &port, PortNote &note,
               Reasons &reasons, bool &fatal, bool wait = true)
{
    fatal = false;
    // A device named by a link (/dev/serial/by-id/..., a udev alias) is
    // locked under the name of the device it leads to, the name other
    // programs lock the same port by. One that leads nowhere yet keeps
    // its own name: opening it will say why.
    std::array<char, PATH_MAX> real{};
    const char *locked = realpath(device, real.data()) != nullptr ? real.data() : device;
    const int unresolved = errno;
    // A link that leads nowhere with a name too long to lock (a by-id
    // name of an unplugged modem) cannot be opened either: say so, and
    // try the next device, as for any device that is not there.
    std::array<char, kLockPathSize> name{};
    if (locked == device && !lock_path(ports.lock_dir, device, name)) {
        note_reason(reasons, device, std::strerror(unresolved));
        return Taken::failed;
    }
    const Locked lock = lock_device(ports.lock_dir, locked, wait ? ports.lock_timeout_seconds : 0,
                                    port.lock, note, wait ? ports.lock_wait_max_seconds : 0);
    if (lock != Locked::taken) {
        fatal = lock == Locked::failed;
        return lock == Locked::interrupted ? Taken::interrupted
               : lock == Locked::busy      ? Taken::busy
                                           : Taken::failed;
    }
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

}  // namespace

Taken open_modem(const ModemPorts &ports, ModemPort &port, PortNote &note)
{
    note[0] = '\0';
    Reasons reasons{};
    for (const char *device : ports.devices) {
        // A lock held by a live process means the modem is busy; another
        // device would not be the same modem, so give up.
        bool fatal = false;
        const Taken taken = take_one(ports, device, port, note, reasons, fatal);
        if (taken != Taken::failed || fatal)
            return taken;
    }
    say_no_device(ports, reasons, note);
    return Taken::failed;
}

Taken open_pool(const ModemPorts &ports, std::span<const bool> passed, ModemPort &port,
                PortNote &note)
{
    note[0] = '\0';
    Reasons reasons{};
    // The first modem free now; one that another process holds is passed
    // over without waiting.
    const char *busy = nullptr;
    for (std::size_t i = 0; i < ports.devices.size(); ++i) {
        if (i < passed.size() && passed[i])
            continue;
        bool fatal = false;
        const Taken taken = take_one(ports, ports.devices[i], port, note, reasons, fatal, false);
        if (taken == Taken::open || taken == Taken::interrupted || fatal)
            return taken;
        if (taken == Taken::busy && busy == nullptr)
            busy = ports.devices[i];
        note[0] = '\0';  // the next modem is not in use
    }
    if (busy != nullptr) {  // every modem left is busy: wait in turn for one
        bool fatal = false;
        return take_one(ports, busy, port, note, reasons, fatal);
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
