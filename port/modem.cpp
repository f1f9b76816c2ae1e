// Choosing the modem's device: the first one that can be locked and opened.
#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

ModemPort open_modem(const ModemPorts &ports)
{
    // Why each device could not be used: "<device>: <reason>; ...".
    std::array<char, kMessageSize> reasons{};
    std::size_t used = 0;
    for (const char *device : ports.devices) {
        ModemPort port;
        // A device named by a link (/dev/serial/by-id/..., a udev alias) is
        // locked under the name of the device it leads to, the name other
        // programs lock the same port by. One that leads nowhere yet keeps
        // its own name: opening it will say why.
        std::array<char, PATH_MAX> real{};
        const char *locked = realpath(device, real.data()) != nullptr ? real.data() : device;
        // A lock held by a live process means the modem is busy; another
        // device would not be the same modem, so give up.
        if (!lock_device(ports.lock_dir, locked, ports.lock_timeout_seconds, port.lock,
                         ports.lock_wait_max_seconds))
            return {};
        port.fd = open_serial(device);
        if (port.fd >= 0)
            return port;
        const int error = errno;
        unlock_device(port.lock);  // missing device: free its name again
        const char *reason = error == ENOTTY ? "not a terminal" : std::strerror(error);
        const int n = std::snprintf(reasons.data() + used, reasons.size() - used, "%s%s: %s",
                                    used == 0 ? "cannot open " : "; ", device, reason);
        if (n > 0)  // snprintf cuts a message too long; nothing more is added then
            used = std::min(used + static_cast<std::size_t>(n), reasons.size() - 1);
    }
    report(LOG_ERR, kNoPortFormat, reasons.data());
    return {};
}

void close_modem(ModemPort &port)
{
    if (port.fd >= 0)
        close(port.fd);  // nothing buffered of ours to lose; the lock goes next
    port.fd = -1;
    unlock_device(port.lock);
}
