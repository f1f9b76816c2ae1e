// The program entry and its AT dialogue with the modem (3GPP TS 27.005,
// PDU mode).
//
// Contract: cellpost_main() checks the command line, takes the modem port,
// switches the modem to PDU mode and submits every PDU of the text to every
// recipient in turn, reporting to syslog. It returns the exit status: 0 when
// the modem confirmed every PDU, 1 otherwise. Only the usage line goes to
// standard output.
#pragma once

#include "pdu.h"
#include "port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr int kMinArgs = 3;   // program, one number, the text
inline constexpr int kMaxArgs = 21;  // program, 19 numbers, the text
inline constexpr std::size_t kCommandBufferSize = 512;
inline constexpr std::size_t kHexBufferSize = 400;
inline constexpr std::size_t kReplyBufferSize = 8192;
inline constexpr std::size_t kDiscardChunk = 128;  // read size once the buffer is full
inline constexpr long kQuietMilliseconds = 200;    // silence that lets a last line be judged
// Enough of a line to tell a final result and keep it for the log, verbose
// ones ("+CMS ERROR: no network service") included.
inline constexpr std::size_t kLineKeep = 64;
// At 115200 baud a whole command leaves in about 35 ms; a line that takes
// no byte for this long is not taking the command.
inline constexpr int kWriteLimitSeconds = 5;
// A stopped run waits no longer than this for a stalled logger to take its
// last line: with the ESC and the lock's removal, well within a second.
inline constexpr int kStopReportMs = 500;
static_assert(2 * kMaxPduOctets + 1 <= kHexBufferSize, "a PDU's hex must fit its buffer");
static_assert(2 * kMaxPduOctets + 2 <= kCommandBufferSize, "hex and Ctrl-Z must fit a command");

inline constexpr const char *kProgramName = "cellpost";
inline constexpr const char *kUsageFormat = "Usage: %s <phone number 1> <phone number 2> ... "
                                            "<phone number n> <text sms in quotation marks>\n";
inline constexpr const char *kHelpText =
    "Sends the text as SMS to every number through the GSM modem.\n"
    "  -u, --utf8     the text is UTF-8: sent in the GSM alphabet where it can be,\n"
    "                 else in UCS-2 (70 characters a message instead of 160)\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n"
    "Options come before the first number; \"--\" ends them.\n";
inline constexpr const char *kVersionFormat = "%s %s\n";      // program, version
inline constexpr const char *kModeCommand = "ATE0+CMGF=0\r";  // echo off, PDU mode
inline constexpr const char *kSubmitFormat = "AT+CMGS=%u\r";
inline constexpr char kCtrlZ = '\x1a';  // ends the PDU text
inline constexpr char kEsc = '\x1b';    // cancels PDU text without sending it

// Final result codes (verbose form) and the PDU prompt. A final result is a
// whole line; the prompt is a '>' wherever it stands.
inline constexpr std::string_view kResultOk = "OK";
inline constexpr std::string_view kResultError = "ERROR";
inline constexpr std::string_view kCmsErrorPrefix = "+CMS ERROR:";  // SMS service error <n>
inline constexpr std::string_view kCmeErrorPrefix = "+CME ERROR:";  // equipment error <n>
inline constexpr char kPrompt = '>';

inline constexpr const char *kMsgInvalidNumber = "Invalid phone number.";
inline constexpr const char *kMsgTruncated = "Text truncated to 1530 characters.";
inline constexpr const char *kMsgTruncatedFormat = "Text truncated to %zu characters.";  // -u
inline constexpr const char *kMsgInvalidText = "Invalid text.";
inline constexpr const char *kMsgModeError = "AT+CMGF=0 error.";
inline constexpr const char *kMsgPromptError = "AT+CMGS error.";
inline constexpr const char *kMsgRejected = "SMS rejected by modem.";
inline constexpr const char *kMsgNotConfirmed = "SMS not confirmed by modem.";
inline constexpr const char *kMsgSent = "SMS successfully sent.";
inline constexpr const char *kMsgInterruptedFormat = "Interrupted by signal %d.";

// How long each exchange waits for the modem's answer. The mode command and
// the prompt give up after this much silence, and at twice this after the
// write whatever arrives; a submission waits this long for its final
// result, which the network may take minutes to give.
struct DialogueTimeouts {
    int mode_seconds;    // the PDU-mode command
    int prompt_seconds;  // the "> " after AT+CMGS
    int submit_seconds;  // the final result of a submitted PDU
};

inline constexpr DialogueTimeouts kDialogueTimeouts = {10, 5, 180};

// What an exchange waits for: a final result "OK", or the prompt.
enum class Awaited { ok, prompt };

// How an exchange ended: with what it waited for, with an error final
// result ("ERROR", "+CMS ERROR: <n>", "+CME ERROR: <n>"), or with neither.
// Whichever of the first two arrives first decides.
enum class Verdict { none, answer, error };

struct Exchange {
    Awaited awaited;
    int idle_seconds;        // give up after this much silence while undecided
    int limit_seconds;       // and never later than this after the write
    bool pdu_entry = false;  // the modem may take PDU text or be sending one:
                             // a stop cancels it with ESC
};

struct Reply {
    const char *text;         // the first bytes received, NUL-terminated
    Verdict verdict;          // judged on every byte received, kept or not
    bool written;             // false when the command could not be written whole
    std::string_view result;  // the error's final result line as it came, else empty
};

// Recognises final results and the prompt in a byte stream, line by line,
// whatever the chunks it arrives in. NUL bytes are line noise and skipped.
struct LineScanner {
    Awaited awaited;
    Verdict verdict = Verdict::none;
    std::array<char, kLineKeep> line{};
    std::size_t length = 0;  // bytes in the current line, kept or not
};

void scan_reply(LineScanner &scanner, std::string_view bytes);

// Judges the unfinished last line as if it had ended: a modem that has
// fallen quiet after "OK" has said it, with or without its CR LF.
void end_reply_line(LineScanner &scanner);

// Writes `command` in full and gathers the modem's reply: until the answer
// or an error is in, at once, or, while neither has come, until the
// exchange's time runs out. Bytes after the answer are left for the next
// exchange. A command that cannot be written whole is not waited for. The
// text is valid until the next call. Every write and every wake-up of a
// wait (at least twice a second) refreshes the lock. A stop signal, before the write or during any
// wait, ends the run there (stop_run), after an ESC if the exchange is `pdu_entry`.
Reply at_command(int fd, const char *command, const Exchange &exchange);

// What the command line asks for: send (with `numbers` and `text` set),
// print the usage line (a wrong count or an unknown option), the help, or
// the version.
struct CommandLine {
    enum Action { send, usage, help, version } action = send;
    bool utf8 = false;  // -u: the text is UTF-8
    std::span<char *const> numbers{};
    std::string_view text{};
};

CommandLine parse_command_line(int argc, char **argv);

// Writes ESC, which ends PDU entry without sending anything.
void cancel_pdu_entry(int fd);

// The dialogue proper, on an open modem: PDU mode, then every PDU of `text`
// to each number in order, concatenated parts under `reference`. Returns
// the exit status.
int send_sms(int fd, std::span<char *const> numbers, const UserText &text, std::uint8_t reference,
             const DialogueTimeouts &timeouts);

// Ends the run on a stop signal, wherever it is: gives back the port and
// its lock, logs "Interrupted by signal <n>." and exits with status 1.
[[noreturn]] void stop_run(int signal);

// The whole run, from the command line to the exit status.
int cellpost_main(int argc, char **argv, const ModemPorts &ports = kDefaultModemPorts,
                  const DialogueTimeouts &timeouts = kDialogueTimeouts);
