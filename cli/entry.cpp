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

// When retry rounds start: the build's plan, or its pauses within the
// window of --retry-for (0: none at all).
RetryPlan retry_plan(const CommandLine &line)
{
    if (line.retry_for.value < 0)
        return kRetryPlan;
    if (line.retry_for.value == 0)
        return {{}, 0};
    return {kRetryWaitSeconds, line.retry_for.value};
}

// What a run would use: which devices and who named them; and what this
// binary was built with: where the locks are, how long it may wait (the
// retry window, --retry-for's if given).
void print_build(const ModemPorts &ports, const char *devices_from, bool pool,
                 const RetryPlan &plan)
{
    std::printf("%s", kHelpDevices);
    print_devices(ports.devices, devices_from);
    std::printf("%s", pool ? kHelpPool : "");
    std::printf(kHelpLockDirFormat, kLockDir);
    std::printf("%s", kHelpRetries);
    for (std::size_t i = 0; i < plan.waits.size(); ++i)
        std::printf("%s%d", i == 0 ? "" : kHelpListSeparator, plan.waits[i]);
    if (plan.waits.empty())
        std::printf("%s", kHelpNoRetries);
    else
        std::printf(kHelpRetryWindowFormat, plan.waits.back(), plan.window_seconds);
    std::printf(kHelpLockWaitFormat, kLockWaitMaxSeconds);
}

}  // namespace

int interrupted()
{
    report(LOG_ERR, kMsgInterruptedFormat, static_cast<int>(g_stop_signal));
    return 1;
}

namespace {

// A value that cannot be, a device's named with where it came from;
// nothing else happens.
int invalid_value(const CommandLine &line)
{
    const std::string_view value = line.bad_value;
    const bool cut = value.size() > static_cast<std::size_t>(kShownDeviceBytes);
    const int shown = cut ? kShownDeviceBytes : static_cast<int>(value.size());
    std::array<char, kReportSize> message{};
    if (line.bad_option == nullptr)
        std::snprintf(message.data(), message.size(), kMsgInvalidDeviceFormat, line.devices_from,
                      shown, value.data(), cut ? "..." : "", line.problem);
    else
        std::snprintf(message.data(), message.size(), kMsgInvalidOptionFormat, line.bad_option,
                      shown, value.data(), cut ? "..." : "", line.problem);
    report(LOG_ERR, "%s", message.data());
    return line.monitor ? print_monitor_problem(message.data()) : 1;
}

// Every number checked before the port is touched: a bad one must not
// leave the others half served. False, with the bad one logged, if any.
bool numbers_valid(const CommandLine &line, char **argv)
{
    for (std::size_t i = 0; i < line.numbers.size(); ++i) {
        const char *number = line.numbers[i];
        if (!is_valid_number(number)) {
            // Which one, as it came (the log line escapes what is unprintable).
            const auto position = static_cast<int>(line.numbers.data() + i - argv);
            report(LOG_ERR, kMsgBadNumberFormat, position, number,
                   looks_like_option(number) ? kBadNumberOption : "");
            report(LOG_ERR, "%s", kMsgInvalidNumber);
            return false;
        }
    }
    return true;
}

int run(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    // stdout carries only what was asked for; failures go to the log.
    const CommandLine line =
        parse_command_line(argc, argv, std::getenv(kDeviceVariable), std::getenv(kPoolVariable));
    if (!line.label.empty())
        set_report_label(line.label);  // for every line from here on
    // The devices named at run time replace the build's, in their order;
    // the locks and waits stay the build's. The build's, when none can be
    // opened, may not be this host's modem: say how to name it.
    ModemPorts in_effect = ports;
    const char *devices_from = kDevicesFromBuild;
    in_effect.hint = kDeviceHint;
    if (line.device_count > 0) {
        in_effect.devices = {line.devices.data(), line.device_count};
        devices_from = line.devices_from;
        in_effect.hint = nullptr;
    }
    switch (line.action) {
    case CommandLine::usage:
        report(LOG_ERR, kMsgUsageErrorFormat, argc - 1);
        if (line.monitor)
            static_cast<void>(print_monitor_problem("wrong command line"));
        std::printf(kUsageFormat, program_name(argc, argv));
        return line.monitor ? kMonitorUnknown : 1;
    case CommandLine::help:
        std::printf(kUsageFormat, program_name(argc, argv));
        std::printf("%s", kHelpText);
        print_build(in_effect, devices_from, line.pool, retry_plan(line));
        return 0;
    case CommandLine::check:
        return run_check(line, in_effect, devices_from, timeouts);
    case CommandLine::invalid:
        return invalid_value(line);
    case CommandLine::version:
        std::printf(kVersionFormat, kProgramName, CELLPOST_VERSION);
        return 0;
    case CommandLine::send:
        break;
    }

    // The numbers and the text before the port is touched.
    if (!numbers_valid(line, argv))
        return 1;
    static std::array<char, kMaxTextBytes> buffer;  // the coded UTF-8 text
    UserText text{};
    bool reading_stopped = false;  // while standard input was read
    if (!prepare_text(line, buffer, text, reading_stopped))
        return reading_stopped ? interrupted() : 1;

    g_delivery = Delivery{line.numbers, text, draw_reference(), retry_plan(line)};
    g_delivery.pool = line.pool;
    g_delivery.report_seconds = std::max(line.report.value, 0);
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
