// Choosing the modem's device: the first one that can be locked and opened.
#include "port.h"

#include <array>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

ModemPort open_modem(const ModemPorts &ports)
{
    for (const char *device : ports.devices) {
        ModemPort port;
        // A lock held by a live process means the modem is busy; another
        // device would not be the same modem, so give up.
        if (!lock_device(ports.lock_dir, device, ports.lock_timeout_seconds, port.lock))
            return {};
        port.fd = open_serial(device);
        if (port.fd >= 0)
            return port;
        unlock_device(port.lock);  // missing device: free its name again
    }
    std::array<char, kMessageSize> names{};
    std::size_t used = 0;
    for (const char *device : ports.devices) {
        const int n = std::snprintf(names.data() + used, names.size() - used, "%s%s",
                                    used == 0 ? "cannot open " : " or ", device);
        if (n < 0 || static_cast<std::size_t>(n) >= names.size() - used)
            break;  // the message is cut, nothing more
        used += static_cast<std::size_t>(n);
    }
    syslog(LOG_ERR, kNoPortFormat, names.data());
    return {};
}

void close_modem(ModemPort &port)
{
    if (port.fd >= 0)
        close(port.fd);  // nothing buffered of ours to lose; the lock goes next
    port.fd = -1;
    unlock_device(port.lock);
}
