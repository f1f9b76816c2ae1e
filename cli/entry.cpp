// From the command line to the exit status.
#include "cli.h"

#include "base.h"
#include "report.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The run's messages and how far they got, and the port, at namespace
// scope: a function's static would need a guard from the C++ runtime.
Delivery g_delivery;
ModemPort g_port;

// Phones put a concatenated message together by sender, reference and
// part count: each run takes a reference of its own, so that two alarms
// with as many parts are never merged.
std::uint8_t draw_reference()
{
    std::uint8_t reference = 0;
    if (getrandom(&reference, sizeof reference, GRND_NONBLOCK) == sizeof reference)
        return reference;
    // No entropy yet (early boot) or an old kernel: the time and our PID
    // still differ from one run to the next.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // always readable; `now` is valid
    return static_cast<std::uint8_t>(now.tv_nsec ^ (now.tv_nsec >> 8) ^ getpid());
}

// A caller may start us with standard input, output or error closed. The
// port or the log socket would then get descriptor 0, 1 or 2, and a
// failure written to "standard error" would go to the modem as a command.
void open_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open() takes the lowest free number: this one. Where there is no
        // /dev/null (a bare container, a chroot), a path-only descriptor
        // holds the number: reads and writes on it fail, harmlessly.
        int held = open("/dev/null", O_RDWR | O_NOCTTY);
        if (held < 0)
            held = open("/", O_PATH);
        if (held >= 0 && held != fd)
            close(held);  // not ours to fill: leave the numbers as they were
    }
}

const char *program_name(int argc, char **argv)
{
    if (argc < 1 || argv[0] == nullptr)
        return kProgramName;
    std::string_view path = argv[0];
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? argv[0] : argv[0] + slash + 1;
}

// What a run would use: which devices and who named them; and what this
// binary was built with: where the locks are, how long it may wait.
void print_build(const ModemPorts &ports, const char *devices_from)
{
    std::printf("%s", kHelpDevices);
    print_devices(ports.devices, devices_from);
    std::printf(kHelpLockDirFormat, kLockDir);
    std::printf("%s", kHelpRetries);
    for (std::size_t i = 0; i < kRetryWaitSeconds.size(); ++i)
        std::printf("%s%d", i == 0 ? "" : kHelpListSeparator, kRetryWaitSeconds[i]);
    if (kRetryWaitSeconds.empty())
        std::printf("%s", kHelpNoRetries);
    else
        std::printf(kHelpRetryWindowFormat, kRetryWindowSeconds);
    std::printf(kHelpLockWaitFormat, kLockWaitMaxSeconds);
}

// The text as it will be sent, or why it cannot be: a raw text is taken
// byte for byte and cut at 1530 bytes; a UTF-8 one is checked and coded
// first, into `buffer`, and cut at a character.
bool prepare_text(const CommandLine &line, std::span<char, kMaxTextBytes> buffer, UserText &text)
{
    if (!line.utf8) {
        if (line.text.size() > kMaxTextBytes)
            report(LOG_WARNING, "%s", kMsgTruncated);
        text = {Alphabet::raw, line.text};
        return true;
    }
    const Converted converted = convert_utf8(line.text, buffer);
    if (!converted.valid) {
        report(LOG_ERR, "%s", kMsgInvalidText);
        return false;
    }
    text = sent_text(converted.text);
    if (const std::size_t sent = count_characters(text); sent < converted.characters)
        report(LOG_WARNING, kMsgTruncatedFormat, sent);
    return true;
}

// Where a stop signal unwound to, with the port given back.
int interrupted()
{
    report(LOG_ERR, kMsgInterruptedFormat, static_cast<int>(g_stop_signal));
    return 1;
}

// A device that cannot be one, named with where it came from; nothing
// else happens.
int invalid_device(const CommandLine &line)
{
    const std::string_view path = line.bad_device;
    const bool cut = path.size() > static_cast<std::size_t>(kShownDeviceBytes);
    report(LOG_ERR, kMsgInvalidDeviceFormat, line.devices_from,
           cut ? kShownDeviceBytes : static_cast<int>(path.size()), path.data(), cut ? "..." : "",
           line.device_problem);
    return 1;
}

// A --report that is no number of seconds in range; nothing else happens.
int invalid_report(const CommandLine &line)
{
    if (line.bad_report == nullptr) {
        report(LOG_ERR, "%s", kMsgNoReportSeconds);
        return 1;
    }
    const std::string_view value = line.bad_report;
    const bool cut = value.size() > static_cast<std::size_t>(kShownDeviceBytes);
    report(LOG_ERR, kMsgBadReportFormat, cut ? kShownDeviceBytes : static_cast<int>(value.size()),
           value.data(), cut ? "..." : "");
    return 1;
}

int check(const ModemPorts &ports, const char *devices_from, const DialogueTimeouts &timeouts)
{
    const CheckResult result = check_modem(g_port, ports, devices_from, timeouts);
    close_modem(g_port);  // before anything is printed or logged
    if (result.stopped)
        return interrupted();
    if (result.cause == nullptr) {
        std::printf("%s\n", kCheckReady);
        report(LOG_INFO, "%s", kMsgModemReady);
        return 0;
    }
    std::printf("%s%s\n", kCheckNotReady, result.cause);
    report(LOG_ERR, kMsgModemNotReadyFormat, result.cause);
    return 1;
}

int run(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    // stdout carries only what was asked for; failures go to the log.
    const CommandLine line = parse_command_line(argc, argv, std::getenv(kDeviceVariable));
    // The devices named at run time replace the build's, in their order;
    // the locks and waits stay the build's.
    ModemPorts in_effect = ports;
    const char *devices_from = kDevicesFromBuild;
    if (line.device_count > 0) {
        in_effect.devices = {line.devices.data(), line.device_count};
        devices_from = line.devices_from;
    }
    switch (line.action) {
    case CommandLine::usage:
        std::printf(kUsageFormat, program_name(argc, argv));
        report(LOG_ERR, kMsgUsageErrorFormat, argc - 1);
        return 1;
    case CommandLine::help:
        std::printf(kUsageFormat, program_name(argc, argv));
        std::printf("%s", kHelpText);
        print_build(in_effect, devices_from);
        return 0;
    case CommandLine::check:
        return check(in_effect, devices_from, timeouts);
    case CommandLine::invalid_device:
        return invalid_device(line);
    case CommandLine::invalid_report:
        return invalid_report(line);
    case CommandLine::version:
        std::printf(kVersionFormat, kProgramName, CELLPOST_VERSION);
        return 0;
    case CommandLine::send:
        break;
    }

    // Check every number and the text before touching the port: a bad one
    // must not leave the others half served.
    for (std::size_t i = 0; i < line.numbers.size(); ++i) {
        const char *number = line.numbers[i];
        if (!is_valid_number(number)) {
            // Which one, as it came (the log line escapes what is unprintable).
            const auto position = static_cast<int>(line.numbers.data() + i - argv);
            report(LOG_ERR, kMsgBadNumberFormat, position, number);
            report(LOG_ERR, "%s", kMsgInvalidNumber);
            return 1;
        }
    }
    static std::array<char, kMaxTextBytes> buffer;  // the coded UTF-8 text
    UserText text{};
    if (!prepare_text(line, buffer, text))
        return 1;

    g_delivery = Delivery{line.numbers, text, draw_reference(), kRetryPlan};
    g_delivery.report_seconds = line.report_seconds;
    const bool stopped = !deliver(g_delivery, g_port, in_effect, timeouts);
    // Whatever happened, the port and its lock go back first: a lock left
    // behind in a sticky lock directory would keep other users out.
    close_modem(g_port);
    return stopped ? interrupted() : finish_delivery(g_delivery);
}

}  // namespace

int cellpost_main(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    // First of all: a caller's alarm() must stop us cleanly, not kill us.
    catch_stop_signals();
    open_standard_descriptors();
    // Standard error is opened anew while its terminal is still ours: after
    // setsid() a /dev/tty would no longer open.
    open_report();
    setsid();  // fails harmlessly when we already lead a process group
    const int status = run(argc, argv, ports, timeouts);
    close_report();
    return status;
}
