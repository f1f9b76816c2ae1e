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
inline constexpr std::size_t kMaxRecipients = kMaxArgs - 2;
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
    "      --check    ask the modem whether a message would go out now: prints its\n"
    "                 state and \"ready\" or \"not ready: <cause>\"; sends nothing\n"
    "Options come before the first number; \"--\" ends them.\n";
// The build's own settings, after the help: "Devices: <each, in order>",
// then the lock directory, "Retry rounds: 5, 15, 30, 60 s after each
// other, within 120 s of the first failure" (or "none") and the longest
// wait for the port.
inline constexpr const char *kHelpDevices = "Devices: ";
inline constexpr const char *kHelpListSeparator = ", ";
inline constexpr const char *kHelpLockDirFormat = "\nLock directory: %s\n";
inline constexpr const char *kHelpRetries = "Retry rounds: ";
inline constexpr const char *kHelpRetryWindowFormat =
    " s after each other, within %d s of the first failure\n";
inline constexpr const char *kHelpNoRetries = "none\n";
inline constexpr const char *kHelpLockWaitFormat = "Longest wait for the port: %d s\n";
inline constexpr const char *kVersionFormat = "%s %s\n";      // program, version
inline constexpr const char *kModeCommand = "ATE0+CMGF=0\r";  // echo off, PDU mode
inline constexpr const char *kSubmitFormat = "AT+CMGS=%u\r";
// Numeric +CMS/+CME ERROR codes: many modems say a bare ERROR until asked.
inline constexpr const char *kErrorCodesCommand = "AT+CMEE=1\r";
// What a run that gives up asks the modem, so that the log tells whether
// the SIM, the registration or the antenna is at fault.
inline constexpr std::array<const char *, 4> kStateCommands = {"AT+CPIN?\r", "AT+CREG?\r",
                                                               "AT+CEREG?\r", "AT+CSQ\r"};
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
// A failed attempt: "<subject> <failed|not sent>: <answer>[ (<meaning>)]<what next>",
// the subject "SMS to <number>[ part <k>/<n>]", "SMS" or "Mode command".
inline constexpr const char *kMsgAttemptFormat = "%s %s: %.*s%s%s%s%s";
inline constexpr const char *kMsgRetryFormat = "; trying again in %d s.";
inline constexpr const char *kMsgNoMoreTries = "; no more tries.";
inline constexpr const char *kMsgCannotSend = "; the modem cannot send.";
inline constexpr const char *kMsgStateFormat = "Modem state: %s";
inline constexpr std::string_view kNoPrompt = "no prompt";  // what a failure's answer was
inline constexpr std::string_view kNoAnswer = "no answer";
inline constexpr int kCmsNetworkOutOfOrder = 38;  // likely to last: tried again once only
inline constexpr int kCmsDuplicate = 197;         // what TP-RD asks for: the first copy arrived
inline constexpr int kCmsNetworkTimeout = 332;    // no answer in time: it may have gone
inline constexpr int kCmeNetworkTimeout = 31;

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
    const char *text;         // the first bytes received but NULs, NUL-terminated
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

// How a failure bears on the run: try again later; this recipient's
// message will not go; or the modem cannot send at all now.
enum class FailureKind { temporary, recipient, fatal };

// A failed exchange: the modem's final result as it came (or kNoPrompt,
// kNoAnswer), and what it means.
struct Cause {
    FailureKind kind;
    std::string_view answer;
    const char *meaning;  // from the table of codes; "" when it has none
    int code;             // -1 when the answer holds no number
    bool cms = false;     // a +CMS ERROR code, not a +CME one
};

// Classifies an error final result line: "+CMS ERROR: <n>", "+CME ERROR:
// <n>", a verbose "+CMS ERROR: <text>" or a bare "ERROR".
Cause classify_answer(std::string_view line);

// The next information line of a reply, skipping empty lines, echo and
// final results, and moves `reply` past it; empty when none is left.
std::string_view next_info_line(std::string_view &reply);

// What becomes of the run's recipients across rounds.
struct RecipientState {
    unsigned accepted = 0;      // parts the modem confirmed, in order: a retry goes on here
    bool settled = false;       // every part confirmed, or given up
    bool failed = false;        // given up
    bool resubmit = false;      // the part was submitted before: it carries TP-RD
    bool maybe_sent = false;    // ... and may have reached the network
    bool network_down = false;  // +CMS ERROR: 38 once: likely to last, tried again once only
    std::array<char, kLineKeep> answer{};  // the last failure, for the give-up line
    std::size_t answer_length = 0;
    const char *meaning = "";
};

// The fixed line that ends a run that failed: by the last failure's kind.
enum class Outcome { sent, mode, prompt, rejected, unconfirmed };

// When rounds of retries start: the pause before each, and how long after
// the run's first failure a round may still start.
struct RetryPlan {
    std::span<const int> waits;
    int window_seconds;
};

inline constexpr RetryPlan kRetryPlan = {kRetryWaitSeconds, kRetryWindowSeconds};

// One run's messages and how far they got.
struct Delivery {
    std::span<char *const> numbers;
    UserText text;
    std::uint8_t reference;
    RetryPlan plan{};
    std::array<RecipientState, kMaxRecipients> recipients{};
    Outcome outcome = Outcome::sent;
    unsigned round = 0;               // rounds started before the current one
    long long first_failure_ms = -1;  // monotonic; -1 before any
    bool gave_up = false;             // on a temporary cause: the modem's state is worth a line
};

enum class RoundEnd { finished, retry, stop };

// The mode command, with ESC and a second try if it is left unanswered (a
// modem left in PDU entry), then AT+CMEE=1 if the modem took it. Returns
// the mode command's reply.
Reply enter_pdu_mode(int fd, const DialogueTimeouts &timeouts);

// One round on an open port: the mode command and AT+CMEE=1, then every
// part not yet confirmed of every recipient not yet settled, in order. A
// round ends early at an exchange the modem leaves unanswered, and the run
// at a failure that says the modem cannot send. Logs every failure.
RoundEnd send_round(int fd, Delivery &delivery, const DialogueTimeouts &timeouts);

// The pause before the next round, or -1 when none may start: the plan's
// next wait, if it starts within the window after the first failure, which
// this notes if it is the first.
int next_round_in(Delivery &delivery);

// Asks the modem for its state and logs the answers in one line.
void log_modem_state(int fd, const DialogueTimeouts &timeouts);

// Logs the give-up line of every recipient left unsettled, and the run's
// last line; returns the exit status.
int finish_delivery(const Delivery &delivery);

// The run's port, held here so that a stop signal can give it back
// wherever the run stands.
extern ModemPort g_port;

// Every round of a run: takes the port, sends, and between rounds gives
// the port back and waits. Returns the exit status.
int deliver(Delivery &delivery, const ModemPorts &ports, const DialogueTimeouts &timeouts);

// What the command line asks for: send (with `numbers` and `text` set),
// print the usage line (a wrong count or an unknown option), the help, or
// the version, or check the modem (nothing else on the line).
struct CommandLine {
    enum Action { send, usage, help, version, check } action = send;
    bool utf8 = false;  // -u: the text is UTF-8
    std::span<char *const> numbers{};
    std::string_view text{};
};

CommandLine parse_command_line(int argc, char **argv);

// Writes ESC, which ends PDU entry without sending anything.
void cancel_pdu_entry(int fd);

// One round on an open modem, no retries: PDU mode, then every PDU of
// `text` to each number in order, concatenated parts under `reference`.
// Returns the exit status.
int send_sms(int fd, std::span<char *const> numbers, const UserText &text, std::uint8_t reference,
             const DialogueTimeouts &timeouts);

// Ends the run on a stop signal, wherever it is: gives back the port and
// its lock, logs "Interrupted by signal <n>." and exits with status 1.
[[noreturn]] void stop_run(int signal);

// --check's verdicts, on standard output and in the log line.
inline constexpr const char *kCheckReady = "ready";
inline constexpr const char *kCheckNotReady = "not ready: ";
inline constexpr const char *kCheckNoAnswer = "no answer";
inline constexpr const char *kCheckNoPort = "no modem port";
inline constexpr const char *kMsgModemReady = "Modem ready.";
inline constexpr const char *kMsgModemNotReadyFormat = "Modem not ready: %s.";
inline constexpr int kRegisteredHome = 1;  // <stat> of +CREG and +CEREG
inline constexpr int kRegisteredRoaming = 5;
inline constexpr int kRssiNone = 0;  // <rssi> of +CSQ: -113 dBm or less
inline constexpr int kRssiUnknown = 99;

// --check: takes the port as a run would, asks the modem's state without
// sending anything, prints its information lines and a verdict ("ready",
// "not ready: <cause>") on standard output, logs one line, gives the port
// back. Returns 0 when ready, 1 otherwise.
int check_modem(const ModemPorts &ports, const DialogueTimeouts &timeouts);

// The whole run, from the command line to the exit status.
int cellpost_main(int argc, char **argv, const ModemPorts &ports = kDefaultModemPorts,
                  const DialogueTimeouts &timeouts = kDialogueTimeouts);
