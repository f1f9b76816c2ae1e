// The devices in effect: named by --device, CELLPOST_POOL or
// CELLPOST_DEVICE, each checked before any port is touched.
#include "cli.h"

#include "report.h"

#include <algorithm>
#include <array>
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

}  // namespace

// Marks the line invalid: `value` of `option` (nullptr: a device) is wrong.
bool refuse(CommandLine &line, const char *option, std::string_view value, const char *problem)
{
    line.action = CommandLine::invalid;
    line.bad_option = option;
    line.bad_value = value;
    line.problem = problem;
    return false;
}

// Adds `path` to the devices the run tries; false, with the line marked
// invalid, when it cannot be one.
bool add_device(CommandLine &line, const char *path, const char *from)
{
    const char *problem = device_problem(path);
    if (problem == nullptr && line.device_count == line.devices.size())
        problem = kDeviceTooMany;
    line.devices_from = from;
    if (problem != nullptr)
        return refuse(line, nullptr, path, problem);
    line.devices[line.device_count++] = path;
    return true;
}

// The devices of CELLPOST_POOL, split at blanks into a copy of its own;
// false, with the line marked invalid, when one cannot be a device.
bool add_pool(CommandLine &line, std::string_view names)
{
    static std::array<char, kMaxGivenDevices *(kMaxDevicePathBytes + 1) + 1> copy;
    std::size_t used = 0;
    line.pool = true;
    line.devices_from = kPoolVariable;  // named by a refusal, even of blanks alone
    for (;;) {
        names = trim_blanks(names);
        if (names.empty())
            return line.device_count > 0 || refuse(line, nullptr, names, kDeviceEmpty);
        const std::size_t length = std::min(names.find_first_of(" \t"), names.size());
        const std::string_view name(names.data(), length);
        names.remove_prefix(length);
        // A name too long for the copy is too long for a device too.
        if (name.size() > kMaxDevicePathBytes || line.device_count == line.devices.size()) {
            return refuse(line, nullptr, name,
                          name.size() > kMaxDevicePathBytes ? kDeviceTooLong : kDeviceTooMany);
        }
        char *at = copy.data() + used;
        std::copy_n(name.data(), name.size(), at);
        at[name.size()] = '\0';
        used += name.size() + 1;
        if (!add_device(line, at, kPoolVariable))
            return false;
    }
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
