// From the command line to the exit status.
#include "sender.h"

#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace {

const char *program_name(int argc, char **argv)
{
    if (argc < 1 || argv[0] == nullptr)
        return kProgramName;
    std::string_view path = argv[0];
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? argv[0] : argv[0] + slash + 1;
}

int run(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    if (argc < kMinArgs || argc > kMaxArgs) {
        std::printf(kUsageFormat, program_name(argc, argv));  // nowhere to report a failure
        return 1;
    }
    const std::span<char *const> numbers(argv + 1, static_cast<std::size_t>(argc - 2));
    const std::string_view text = argv[argc - 1];

    // Check every number before touching the port: a bad one must not leave
    // the others half served.
    for (const char *number : numbers) {
        if (!is_valid_number(number)) {
            syslog(LOG_ERR, "%s", kMsgInvalidNumber);
            return 1;
        }
    }
    if (text.size() > kMaxTextBytes)
        syslog(LOG_WARNING, "%s", kMsgTruncated);

    ModemPort port = open_modem(ports);
    if (port.fd < 0)
        return 1;  // logged by open_modem
    const int status = send_sms(port.fd, numbers, text, timeouts);
    // Whatever happened, the port and its lock go back: a lock left behind
    // in a sticky lock directory would keep other users out.
    close_modem(port);
    return status;
}

}  // namespace

int cellpost_main(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    setsid();  // fails harmlessly when we already lead a process group
    openlog(kProgramName, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    const int status = run(argc, argv, ports, timeouts);
    closelog();
    return status;
}
