// From the command line to the exit status.
#include "sender.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <sys/random.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// The run's port, so that a stop signal can give it back wherever the
// dialogue stands.
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

const char *program_name(int argc, char **argv)
{
    if (argc < 1 || argv[0] == nullptr)
        return kProgramName;
    std::string_view path = argv[0];
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? argv[0] : argv[0] + slash + 1;
}

// The text as it will be sent, or why it cannot be: a raw text is taken
// byte for byte and cut at 1530 bytes; a UTF-8 one is checked and coded
// first, into `buffer`, and cut at a character.
bool prepare_text(const CommandLine &line, std::span<char, kMaxTextBytes> buffer, UserText &text)
{
    if (!line.utf8) {
        if (line.text.size() > kMaxTextBytes)
            syslog(LOG_WARNING, "%s", kMsgTruncated);
        text = {Alphabet::raw, line.text};
        return true;
    }
    const Converted converted = convert_utf8(line.text, buffer);
    if (!converted.valid) {
        syslog(LOG_ERR, "%s", kMsgInvalidText);
        return false;
    }
    text = sent_text(converted.text);
    if (const std::size_t sent = count_characters(text); sent < converted.characters)
        syslog(LOG_WARNING, kMsgTruncatedFormat, sent);
    return true;
}

int run(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    // stdout carries only what was asked for: nowhere to report a failure.
    const CommandLine line = parse_command_line(argc, argv);
    switch (line.action) {
    case CommandLine::usage:
        std::printf(kUsageFormat, program_name(argc, argv));
        return 1;
    case CommandLine::help:
        std::printf(kUsageFormat, program_name(argc, argv));
        std::printf("%s", kHelpText);
        return 0;
    case CommandLine::version:
        std::printf(kVersionFormat, kProgramName, CELLPOST_VERSION);
        return 0;
    case CommandLine::send:
        break;
    }

    // Check every number and the text before touching the port: a bad one
    // must not leave the others half served.
    for (const char *number : line.numbers) {
        if (!is_valid_number(number)) {
            syslog(LOG_ERR, "%s", kMsgInvalidNumber);
            return 1;
        }
    }
    static std::array<char, kMaxTextBytes> buffer;  // the coded UTF-8 text
    UserText text{};
    if (!prepare_text(line, buffer, text))
        return 1;

    g_port = open_modem(ports);
    if (g_port.fd < 0) {
        if (g_stop_signal != 0)
            stop_run(g_stop_signal);
        return 1;  // logged by open_modem
    }
    const int status = send_sms(g_port.fd, line.numbers, text, draw_reference(), timeouts);
    // Whatever happened, the port and its lock go back: a lock left behind
    // in a sticky lock directory would keep other users out.
    close_modem(g_port);
    return status;
}

}  // namespace

void stop_run(int signal)
{
    close_modem(g_port);  // the caller has written ESC where it was needed
    syslog(LOG_ERR, kMsgInterruptedFormat, signal);
    closelog();
    _exit(1);  // nothing buffered to flush: stdout carries only the usage line
}

int cellpost_main(int argc, char **argv, const ModemPorts &ports, const DialogueTimeouts &timeouts)
{
    setsid();  // fails harmlessly when we already lead a process group
    openlog(kProgramName, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    catch_stop_signals();
    const int status = run(argc, argv, ports, timeouts);
    closelog();
    return status;
}
