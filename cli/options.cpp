// The command line: options, then the numbers, then the text; and the
// devices in effect.
#include "cli.h"

#include "report.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <string_view>

namespace {

// --tag's label: shown as it is in every log line, so printable ASCII alone.
const char *label_problem(std::string_view label)
{
    if (label.empty())
        return kLabelEmpty;
    if (label.size() > kMaxLabelBytes)
        return kLabelTooLong;
    for (const char c : label) {
        if (c < ' ' || c > '~')
            return kLabelNotPrintable;
    }
    return nullptr;
}

// A whole number of seconds from `least` to `most`, written in digits
// alone; false when `text` is none.
bool seconds_in(std::string_view text, int least, int most, GivenSeconds &seconds)
{
    int value = -1;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.front() == '-' || error != std::errc{} ||
        end != text.data() + text.size() || value < least || value > most)
        return false;
    seconds = {value, text};
    return true;
}

// The value of an option that takes one, at argv[i]: "<long> VALUE",
// "<long>=VALUE", or "<short> VALUE" where it has a short form; moves `i`
// past it. `found` when `arg` is that option; nullptr when it lacks its
// value.
const char *option_value(std::string_view arg, std::string_view long_form,
                         std::string_view short_form, int argc, char **argv, int &i, bool &found)
{
    const bool joined =
        arg.size() > long_form.size() && arg.starts_with(long_form) && arg[long_form.size()] == '=';
    found = joined || arg == long_form || (!short_form.empty() && arg == short_form);
    if (!found)
        return nullptr;
    if (joined)
        return argv[i] + long_form.size() + 1;  // after the '='
    return ++i < argc ? argv[i] : nullptr;
}

bool take_device(CommandLine &line, const char *value)
{
    return add_device(line, value, kDeviceOption);
}

bool take_label(CommandLine &line, const char *value)
{
    const char *problem = label_problem(value);
    if (problem != nullptr)
        return refuse(line, kTagOption, value, problem);
    line.label = value;
    return true;
}

bool take_timeout(CommandLine &line, const char *value)
{
    return seconds_in(value, kMinCheckSeconds, kMaxCheckSeconds, line.timeout) ||
           refuse(line, kTimeoutOption, value, kTimeoutRange);
}

bool take_report(CommandLine &line, const char *value)
{
    return seconds_in(value, kMinReportSeconds, kMaxReportSeconds, line.report) ||
           refuse(line, kReportOption, value, kReportRange);
}

bool take_retry_for(CommandLine &line, const char *value)
{
    return seconds_in(value, 0, kMaxRetryForSeconds, line.retry_for) ||
           refuse(line, kRetryForOption, value, kRetryForRange);
}

// The options that take a value, and what takes it: false when it is wrong.
struct ValueOption {
    std::string_view long_form;
    std::string_view short_form;
    bool (*take)(CommandLine &line, const char *value);
};

}  // namespace

static const ValueOption kValueOptions[] = {
    {kDeviceOption, "-d", take_device}, {kTagOption, {}, take_label},
    {kTimeoutOption, {}, take_timeout}, {kRetryForOption, {}, take_retry_for},
    {kReportOption, {}, take_report},
};

namespace {

// A wrong command line: the usage line, with the label its log line
// carries and the way the run answers.
CommandLine usage(const CommandLine &line)
{
    CommandLine wrong{CommandLine::usage};
    wrong.monitor = line.monitor;
    wrong.label = line.label;
    return wrong;
}

// The option at argv[i]; moves `i` past its value. False when the line is
// decided as it stands: the usage line, the version, an invalid value.
bool take_option(std::string_view arg, int argc, char **argv, int &i, CommandLine &line)
{
    for (const ValueOption &option : kValueOptions) {
        bool found = false;
        const char *value =
            option_value(arg, option.long_form, option.short_form, argc, argv, i, found);
        if (found && value == nullptr)
            line = usage(line);
        if (found)
            return value != nullptr && option.take(line, value);
    }
    if (arg == "-u" || arg == "--utf8")
        line.utf8 = true;
    else if (arg == kPoolOption)
        line.pool = true;
    else if (arg == "-h" || arg == "--help")
        line.action = CommandLine::help;
    else if (arg == "--check" || arg == "--monitor")
        line.action = CommandLine::check;  // other options may follow, nothing else
    else
        line = arg == "-V" || arg == "--version" ? CommandLine{CommandLine::version} : usage(line);
    line.monitor = line.monitor || arg == "--monitor";
    return line.action != CommandLine::version && line.action != CommandLine::usage;
}

// What bounds a check does not bound a send, nor the other way round:
// false, with the line marked invalid, for an option given to the other.
bool options_fit(CommandLine &line)
{
    if (line.action == CommandLine::send && line.timeout.value >= 0)
        return refuse(line, kTimeoutOption, line.timeout.text, kTimeoutOnlyForChecks);
    if (line.action == CommandLine::check && line.retry_for.value >= 0)
        return refuse(line, kRetryForOption, line.retry_for.text, kOnlyForSends);
    if (line.action == CommandLine::check && line.report.value >= 0)
        return refuse(line, kReportOption, line.report.text, kOnlyForSends);
    return line.action != CommandLine::invalid;
}

}  // namespace

bool looks_like_option(std::string_view word)
{
    // "-123" may be a number mistyped; "-d", "--tag" are options.
    return word.size() > 1 && word.front() == '-' &&
           (word[1] == '-' || std::isalpha(static_cast<unsigned char>(word[1])) != 0);
}

CommandLine parse_command_line(int argc, char **argv, const char *device_variable,
                               const char *pool_variable)
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
        return usage(line);
    if (line.action == CommandLine::send) {
        // 1 to 19 numbers and the text, as the argument count without
        // options has always said.
        const int words = argc - i + 1;
        if (words < kMinArgs || words > kMaxArgs)
            return usage(line);
        line.numbers = {argv + i, static_cast<std::size_t>(argc - i - 1)};
        line.text = argv[argc - 1];
    }
    if (!options_fit(line))
        return line;
    // The variables stand for the option when the option is not given: one
    // line of a crontab or a unit sets the modems for every call.
    if (line.device_count == 0 && pool_variable != nullptr && *pool_variable != '\0')
        static_cast<void>(add_pool(line, pool_variable));  // marks it
    if (line.device_count == 0 && line.action != CommandLine::invalid &&
        device_variable != nullptr && *device_variable != '\0')
        static_cast<void>(add_device(line, device_variable, kDeviceVariable));  // marks it
    return line;
}
