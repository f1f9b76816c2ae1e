// Choosing the modem's device: the first one that can be locked and opened.
#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

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
            return lock == Locked::interrupted ? Taken::interrupted
                   : lock == Locked::busy      ? Taken::busy
                                               : Taken::failed;
        port.fd = open_serial(device, note);
        if (port.fd >= 0) {
            port.device = device;
            return Taken::open;
        }
        const int error = errno;
        unlock_device(port.lock);  // missing device: free its name again
        note_reason(reasons, used, device,
                    error == ENOTTY ? "not a terminal" : std::strerror(error));
    }
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
