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

// Adds "<device>: <reason>" to why no device could be used.
void note_reason(std::array<char, kMessageSize> &reasons, std::size_t &used, const char *device,
                 const char *reason)
{
    const int n = std::snprintf(reasons.data() + used, reasons.size() - used, "%s%s: %s",
                                used == 0 ? "cannot open " : "; ", device, reason);
    if (n > 0)  // snprintf cuts a message too long; nothing more is added then
        used = std::min(used + static_cast<std::size_t>(n), reasons.size() - 1);
}

}  // namespace

Taken open_modem(const ModemPorts &ports, ModemPort &port, PortNote &note)
{
    note[0] = '\0';
    // Why each device could not be used: "<device>: <reason>; ...".
    std::array<char, kMessageSize> reasons{};
    std::size_t used = 0;
    for (const char *device : ports.devices) {
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
            note_reason(reasons, used, device, std::strerror(unresolved));
            continue;
        }
        // A lock held by a live process means the modem is busy; another
        // device would not be the same modem, so give up.
        const Locked lock = lock_device(ports.lock_dir, locked, ports.lock_timeout_seconds,
                                        port.lock, note, ports.lock_wait_max_seconds);
        if (lock != Locked::taken)
            return lock == Locked::stopped ? Taken::stopped
                   : lock == Locked::busy  ? Taken::busy
                                           : Taken::failed;
        port.fd = open_serial(device, note);
        if (port.fd >= 0) {
            port.device = device;
            return Taken::open;
        }
        const int error = errno;
        unlock_device(port.lock);  // missing device: free its name again
        std::array<char, kMessageSize> reason{};
        open_reason(device, error, reason);
        note_reason(reasons, used, device, reason.data());
    }
    if (ports.hint != nullptr)  // cut like the reasons, if it does not fit
        std::snprintf(reasons.data() + used, reasons.size() - used, "%s", ports.hint);
    std::snprintf(note.data(), note.size(), kNoPortFormat, reasons.data());
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
