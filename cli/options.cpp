// The command line: options, then the numbers, then the text; and the
// devices in effect.
#include "cli.h"

#include "report.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace {

// Whether `path` can name a device; else why not, as the run reports it.
const char *device_problem(std::string_view path)
{
    if (path.empty())
        return kDeviceEmpty;
    if (path.front() != '/')  // a relative name would depend on the caller's directory
        return kDeviceNotAbsolute;
    if (path.size() > kMaxDevicePathBytes)
        return kDeviceTooLong;
    return nullptr;
}

// Adds `path` to the devices the run tries; false, with the line marked
// invalid, when it cannot be one.
bool add_device(CommandLine &line, const char *path, const char *from)
{
    const char *problem = device_problem(path);
    if (problem == nullptr && line.device_count == line.devices.size())
        problem = kDeviceTooMany;
    if (problem != nullptr) {
        line.action = CommandLine::invalid_device;
        line.devices_from = from;
        line.bad_device = path;
        line.device_problem = problem;
        return false;
    }
    line.devices[line.device_count++] = path;
    line.devices_from = from;
    return true;
}

// The value of -d PATH, --device PATH or --device=PATH at argv[i]; moves
// `i` past it. nullptr when `arg` is no device option or lacks its value.
const char *device_value(std::string_view arg, int argc, char **argv, int &i, bool &is_device)
{
    constexpr std::string_view kLong = kDeviceOption;
    is_device = arg == "-d" || arg == kLong || (arg.starts_with(kLong) && arg[kLong.size()] == '=');
    if (!is_device)
        return nullptr;
    if (arg.size() > kLong.size())
        return argv[i] + kLong.size() + 1;  // after the '='
    return ++i < argc ? argv[i] : nullptr;
}

// --report SECONDS or --report=SECONDS at argv[i], moving `i` past the
// value: the seconds, or 0 with `bad` the value (nullptr: none given) when
// it is not 1 to 3600, digits only. -1 when `arg` is another option.
int report_seconds(std::string_view arg, int argc, char **argv, int &i, const char *&bad)
{
    constexpr std::string_view kLong = kReportOption;
    if (arg != kLong && !(arg.starts_with(kLong) && arg[kLong.size()] == '='))
        return -1;
    bad = arg.size() > kLong.size() ? argv[i] + kLong.size() + 1 : ++i < argc ? argv[i] : nullptr;
    const std::string_view value = bad != nullptr ? bad : "";
    int seconds = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
    if (error != std::errc{} || end != value.data() + value.size() || value.empty() ||
        seconds < kMinReportSeconds || seconds > kMaxReportSeconds)
        return 0;
    bad = nullptr;
    return seconds;
}

// The option at argv[i]; moves `i` past its value. False when the line is
// decided as it stands: the usage line, the version, an invalid device.
bool take_option(std::string_view arg, int argc, char **argv, int &i, CommandLine &line)
{
    bool is_device = false;
    const char *device = device_value(arg, argc, argv, i, is_device);
    if (is_device) {
        if (device == nullptr)
            line = {CommandLine::usage};
        return device != nullptr && add_device(line, device, kDeviceOption);
    }
    if (const int seconds = report_seconds(arg, argc, argv, i, line.bad_report); seconds >= 0) {
        line.report_seconds = seconds;
        if (seconds == 0)
            line.action = CommandLine::invalid_report;
        return seconds > 0;
    }
    if (arg == "-u" || arg == "--utf8")
        line.utf8 = true;
    else if (arg == "-h" || arg == "--help")
        line.action = CommandLine::help;
    else if (arg == "--check")
        line.action = CommandLine::check;  // other options may follow, nothing else
    else
        line = {arg == "-V" || arg == "--version" ? CommandLine::version : CommandLine::usage};
    return line.action != CommandLine::version && line.action != CommandLine::usage;
}

}  // namespace

CommandLine parse_command_line(int argc, char **argv, const char *device_variable)
{
    CommandLine line;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        // A number never begins with '-', so the first word that does not
        // ends the options, as "--" does; "-" alone is no option either.
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.size() < 2 || arg.front() != '-')
            break;
        if (!take_option(arg, argc, argv, i, line))
            return line;
        if (line.action == CommandLine::help)
            break;  // whatever follows
    }
    if (line.action == CommandLine::check && i != argc)
        return {CommandLine::usage};
    if (line.action == CommandLine::send) {
        // 1 to 19 numbers and the text, as the argument count without
        // options has always said.
        const int words = argc - i + 1;
        if (words < kMinArgs || words > kMaxArgs)
            return {CommandLine::usage};
        line.numbers = {argv + i, static_cast<std::size_t>(argc - i - 1)};
        line.text = argv[argc - 1];
    }
    // The variable stands for the option when the option is not given: one
    // line of a crontab or a unit sets the modem for every call.
    if (line.device_count == 0 && device_variable != nullptr && *device_variable != '\0')
        static_cast<void>(add_device(line, device_variable, kDeviceVariable));  // marks it
    return line;
}

void print_devices(std::span<const char *const> devices, const char *from)
{
    // A name from the command line or the environment may hold control
    // bytes that would rewrite the terminal's line: shown escaped.
    std::array<char, kReportSize> shown{};
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string_view name = escape_line(devices[i], shown);
        std::printf("%s%.*s", i == 0 ? "" : kHelpListSeparator, static_cast<int>(name.size()),
                    name.data());
    }
    std::printf(kHelpFromFormat, from);
}
