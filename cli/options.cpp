// The command line: options, then the numbers, then the text.
#include "cli.h"

#include <string_view>

CommandLine parse_command_line(int argc, char **argv)
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
        if (arg == "-u" || arg == "--utf8")
            line.utf8 = true;
        else if (arg == "-h" || arg == "--help")
            line.action = CommandLine::help;
        else if (arg == "-V" || arg == "--version")
            line.action = CommandLine::version;
        else if (arg == "--check")
            return i + 1 == argc ? CommandLine{CommandLine::check}
                                 : CommandLine{CommandLine::usage};
        else
            return {CommandLine::usage};
        if (line.action != CommandLine::send)
            return line;
    }
    // 1 to 19 numbers and the text, as the argument count without options
    // has always said.
    const int words = argc - i + 1;
    if (words < kMinArgs || words > kMaxArgs)
        return {CommandLine::usage};
    line.numbers = {argv + i, static_cast<std::size_t>(argc - i - 1)};
    line.text = argv[argc - 1];
    return line;
}
