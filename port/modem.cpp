// Choosing the modem's device: the first one that can be locked and opened.
#include "port.h"

int open_modem(const ModemPorts &ports)
{
    for (const char *device : ports.devices) {
        // A lock held by a live process means the modem is busy; another
        // device would not be the same modem, so give up.
        if (!lock_device(ports.lock_dir, device, ports.lock_timeout_seconds))
            return -1;
        const int fd = open_serial(device);
        if (fd >= 0)
            return fd;
        unlock_device(ports.lock_dir, device);  // missing device: free its name again
    }
    return -1;
}
