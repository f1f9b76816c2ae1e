// The program's entry: the command line, the stop signals, the text,
// --check and --monitor, and the exit status.
//
// Contract: cellpost_main() checks the command line, then sends the text
// (from the command line, or standard input for "-") to every recipient
// (the delivery) or asks the modem's state (--check, --monitor), and
// returns the exit status: 0 when the modem confirmed every PDU, or was
// ready; 1 otherwise; --monitor's 0 to 3 as a monitoring plugin's. A stop
// signal unwinds to here, which gives the port back and logs "Interrupted
// by signal <n>.". Standard output carries only what was asked for: the
// usage line, the help, the version, --check's answers or --monitor's
// line; failures go to syslog and standard error.
#pragma once

#include "delivery.h"
#include "port.h"
#include "report.h"

#include <array>
#include <span>
#include <string_view>

inline constexpr int kMinArgs = 3;   // program, one number, the text
inline constexpr int kMaxArgs = 21;  // program, 19 numbers, the text
static_assert(kMaxArgs - 2 == kMaxRecipients);

// Devices named at run time: up to 4 by the option, else one by the
// variable (empty counts as unset), else the build's list.
inline constexpr std::size_t kMaxGivenDevices = 4;
inline constexpr const char *kDeviceOption = "--device";
inline constexpr const char *kDeviceVariable = "CELLPOST_DEVICE";
inline constexpr const char *kDevicesFromBuild = "the build";
// A pool: the devices in effect are separate modems, each with its own
// SIM. --pool makes them one; CELLPOST_POOL names a pool's devices,
// separated by blanks, for every run that names none on its command line
// (its devices stand before CELLPOST_DEVICE's).
inline constexpr const char *kPoolOption = "--pool";
inline constexpr const char *kPoolVariable = "CELLPOST_POOL";
inline constexpr const char *kHelpPool = " as a pool";
// Where, the path (cut to so many bytes, "..." then), what is wrong.
inline constexpr const char *kMsgInvalidDeviceFormat = "Invalid device in %s: \"%.*s%s\" %s.";
inline constexpr int kShownDeviceBytes = 64;
inline constexpr const char *kDeviceNotAbsolute = "is not an absolute path";
inline constexpr const char *kDeviceEmpty = "is empty";
inline constexpr const char *kDeviceTooLong = "is longer than 200 bytes";
inline constexpr const char *kDeviceTooMany = "is a fifth device: 4 at most";
static_assert(kMaxDevicePathBytes == 200 && kMaxGivenDevices == 4, "the messages say so");
// After a "No modem port" line for the build's devices: how to name another.
inline constexpr const char *kDeviceHint = " (name the modem with -d PATH or CELLPOST_DEVICE)";

// Options with a value: the option, the value (cut as a device's), what is
// wrong with it.
inline constexpr const char *kMsgInvalidOptionFormat = "Invalid %s: \"%.*s%s\" %s.";
inline constexpr const char *kTagOption = "--tag";
inline constexpr const char *kTimeoutOption = "--timeout";
inline constexpr const char *kRetryForOption = "--retry-for";
inline constexpr const char *kLabelEmpty = "is empty";
inline constexpr const char *kLabelTooLong = "is longer than 32 bytes";
inline constexpr const char *kLabelNotPrintable = "holds a byte that is no printable ASCII";
inline constexpr const char *kTimeoutRange = "is no whole number of seconds from 1 to 300";
inline constexpr const char *kRetryForRange = "is no whole number of seconds from 0 to 86400";
inline constexpr const char *kTimeoutOnlyForChecks = "bounds --check and --monitor alone";
inline constexpr const char *kOnlyForSends = "is for sending alone";
static_assert(kMaxLabelBytes == 32, "the message says so");
inline constexpr int kMinCheckSeconds = 1;
inline constexpr int kMaxCheckSeconds = 300;
inline constexpr int kMaxRetryForSeconds = 86400;

// --report SECONDS (or --report=SECONDS): wait that long for the status
// reports; for sending alone.
inline constexpr const char *kReportOption = "--report";
inline constexpr const char *kReportRange = "is no whole number of seconds from 1 to 3600";
static_assert(kMinReportSeconds == 1 && kMaxReportSeconds == 3600, "the message says so");

inline constexpr const char *kProgramName = "cellpost";
inline constexpr const char *kUsageFormat = "Usage: %s <phone number 1> <phone number 2> ... "
                                            "<phone number n> <text sms in quotation marks>\n";
inline constexpr const char *kHelpText =
    "Sends the text as SMS to every number through the GSM modem.\n"
    "  -u, --utf8     the text is UTF-8: sent in the GSM alphabet where it can be,\n"
    "                 else in UCS-2 (70 characters a message instead of 160)\n"
    "  -d, --device PATH\n"
    "                 the modem's device, an absolute path; up to 4, tried in order\n"
    "                 (default: $CELLPOST_POOL or $CELLPOST_DEVICE if set, else the\n"
    "                 build's devices)\n"
    "      --pool     the devices are separate modems: each alarm goes out on one\n"
    "                 that can send now (also: $CELLPOST_POOL=\"PATH PATH ...\")\n"
    "      --tag TEXT begin every line this run logs with \"[TEXT] \" (up to 32\n"
    "                 printable ASCII bytes); the message does not carry it\n"
    "      --retry-for SECONDS\n"
    "                 start retry rounds up to this long after the first failure,\n"
    "                 the last pause repeating (0 to 86400; 0: no retries)\n"
    "      --report SECONDS\n"
    "                 wait up to SECONDS (1 to 3600) for the network's delivery\n"
    "                 reports, holding the modem meanwhile; status 0 only if every\n"
    "                 message was reported delivered\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n"
    "      --check    ask the modem whether a message would go out now: prints its\n"
    "                 state and \"ready\" or \"not ready: <cause>\"; sends nothing\n"
    "      --monitor  the same, as a monitoring plugin: one line \"SMS OK - ...\"\n"
    "                 (WARNING, CRITICAL, UNKNOWN), the signal as performance data,\n"
    "                 and exit status 0, 1, 2 or 3\n"
    "      --timeout SECONDS\n"
    "                 --check and --monitor end within this (1 to 300, default 30)\n"
    "A text of \"-\" is read from standard input, less one final line end.\n"
    "Options come before the first number; \"--\" ends them.\n";
// After the help: "Devices: <each, in order> (from <where>)", the devices
// in effect; then the build's own settings: the lock directory, "Retry
// rounds: 5, 15, 30, 60 s after each other, then 60 s again, within 120 s
// of the first failure" (the window in effect; or "none") and the longest
// wait for the port.
inline constexpr const char *kHelpDevices = "Devices: ";
inline constexpr const char *kHelpListSeparator = ", ";
inline constexpr const char *kHelpFromFormat = " (from %s)";
// --check's first line: "Device: <the one it took> (from <where>)", or
// "Device: none of <all it tried> (from <where>)".
inline constexpr const char *kCheckDevice = "Device: ";
inline constexpr const char *kCheckNoDevice = "none of ";
// Room for that line: the words, and every device with its separator.
inline constexpr std::size_t kDeviceLineSize =
    64 + (kMaxGivenDevices + kModemDevices.size()) * (kMaxDevicePathBytes + 2);
inline constexpr const char *kHelpLockDirFormat = "\nLock directory: %s\n";
inline constexpr const char *kHelpRetries = "Retry rounds: ";
inline constexpr const char *kHelpRetryWindowFormat =
    " s after each other, then %d s again, within %d s of the first failure\n";
inline constexpr const char *kHelpNoRetries = "none\n";
inline constexpr const char *kHelpLockWaitFormat = "Longest wait for the port: %d s\n";
inline constexpr const char *kVersionFormat = "%s %s\n";  // program, version
inline constexpr const char *kMsgTruncated = "Text truncated to 1530 characters.";
inline constexpr const char *kMsgTruncatedFormat = "Text truncated to %zu characters.";  // -u
inline constexpr const char *kMsgInvalidText = "Invalid text.";
// The text "-": standard input's, less one final "\n" or "\r\n".
inline constexpr std::string_view kTextFromInput = "-";
inline constexpr const char *kMsgNoInputText = "No text on standard input.";
inline constexpr const char *kMsgInputErrorFormat = "Cannot read standard input: %s.";
// A raw text's bytes that arrive as other characters: each named once (as
// itself where printable, else "\xHH"), so many at most, then "...".
inline constexpr const char *kMsgChangedBytesFormat =
    "Text sent without -u: %s%s arrive as other characters; use -u for UTF-8 text.";
inline constexpr unsigned kNamedBytes = 16;
inline constexpr const char *kMsgInterruptedFormat = "Interrupted by signal %d.";
// Before "Invalid phone number.": the argument's place on the command line
// and the argument, quoted.
inline constexpr const char *kMsgBadNumberFormat = "Argument %d is no phone number: \"%s\"%s";
// ... when it looks like an option.
inline constexpr const char *kBadNumberOption = " (options come before the first number)";
// With the usage line, for the log: how many arguments came.
inline constexpr const char *kMsgUsageErrorFormat =
    "Wrong command line: %d arguments, or an unknown option.";

// --check's verdicts, on standard output and in the log line.
inline constexpr const char *kCheckReady = "ready";
// Mode commands asked again when their OK came after other lines.
inline constexpr int kCheckModeTries = 2;
inline constexpr const char *kCheckNotReady = "not ready: ";
inline constexpr const char *kCheckNoAnswer = "no answer";
inline constexpr const char *kCheckNoPort = "no modem port";
inline constexpr const char *kCheckBusy = "port busy: ";  // and "<device> locked by PID <n>"
// A check ends within kCheckSeconds (or --timeout's) whatever the port and
// the modem do (see check_modem()): it waits for the port at most half of
// that and kCheckLockSeconds, allowing for the lock wait's overrun of its
// whole seconds (the lock's clock has whole seconds, and a poll more); each
// exchange with the modem gets a third of what is left; and kCheckExitMs
// stay for giving the port back and exiting. No log line waits past that.
inline constexpr int kCheckSeconds = 30;
inline constexpr int kCheckLockSeconds = 10;
inline constexpr int kCheckLockShare = 2;
inline constexpr long long kLockOverrunMs = 1200;
inline constexpr int kCheckExchangeShare = 3;
inline constexpr long long kCheckExitMs = 100;
inline constexpr long long kCheckMillisPerSecond = 1000;
inline constexpr const char *kMsgModemReady = "Modem ready.";
inline constexpr const char *kMsgModemNotReadyFormat = "Modem not ready: %s.";
inline constexpr const char *kCheckModeRefused = "PDU mode refused";
// <stat> of +CREG and +CEREG (3GPP TS 27.007) that carry an SMS: registered
// home, roaming, home or roaming for SMS only, home or roaming with CSFB
// not preferred.
inline constexpr std::array<int, 6> kRegisteredStats = {1, 5, 6, 7, 9, 10};
inline constexpr int kRssiNone = 0;   // <rssi> of +CSQ: -113 dBm or less
inline constexpr int kRssiWeak = 10;  // below: -95 dBm or less, a warning for --monitor
inline constexpr int kRssiMax = 31;   // -51 dBm or more
inline constexpr int kRssiUnknown = 99;

// --monitor's line, "SMS <status> - <what>[ | <performance data>]", and
// its exit status by the status's place here.
inline constexpr std::array<const char *, 4> kMonitorStatus = {"OK", "WARNING", "CRITICAL",
                                                               "UNKNOWN"};
enum MonitorStatus { kMonitorOk, kMonitorWarning, kMonitorCritical, kMonitorUnknown };
inline constexpr const char *kMonitorLineFormat = "SMS %s - %.*s%s\n";
// A pool's check: its last line, and its log line.
inline constexpr const char *kCheckPoolFormat = "Pool: %d of %d ready\n";
inline constexpr const char *kMsgPoolReadyFormat = "Pool: %d of %d modems ready.";
// --monitor with a pool: how many are ready, and the first one that is not.
inline constexpr const char *kMonitorPoolFormat = "%d of %d modems ready";
inline constexpr const char *kMonitorPoolWorstFormat = "; %s: %s%s%.*s";
inline constexpr const char *kMonitorPoolData = " | ready=%d;%d:;1:;0;%d";
// What one modem's check prints, held until its port is given back: the
// device line and every query's reply.
inline constexpr std::size_t kCheckOutputSize = 6 * 8192 + 2048;
// The signal, with its warning and critical ranges (Nagios range syntax:
// below 10, below 1) and its bounds.
inline constexpr const char *kMonitorSignalFormat = " | signal=%d;10:;1:;0;31";
static_assert(kRssiWeak == 10 && kRssiMax == 31, "the performance data say so");

// A number of seconds an option gave: its value (-1 when not given) and
// its text.
struct GivenSeconds {
    int value = -1;
    std::string_view text{};
};

// What the command line asks for: send (with `numbers` and `text` set),
// print the usage line (a wrong count or an unknown option), the help, or
// the version, or check the modem (no number or text on the line); or it
// gives a value that cannot be (`bad_value`, `problem`), for a device
// (`bad_option` nullptr) or another option.
struct CommandLine {
    enum Action { send, usage, help, version, check, invalid } action = send;
    bool utf8 = false;     // -u: the text is UTF-8
    bool monitor = false;  // --monitor: check, answering as a monitoring plugin
    // The devices named by --device or CELLPOST_DEVICE, in order, and which
    // of the two (nullptr: none, the build's list is in effect).
    std::array<const char *, kMaxGivenDevices> devices{};
    std::size_t device_count = 0;
    const char *devices_from = nullptr;
    bool pool = false;         // --pool, or the devices of CELLPOST_POOL
    std::string_view label{};  // --tag
    GivenSeconds timeout{};    // --timeout
    GivenSeconds retry_for{};  // --retry-for
    const char *bad_option = nullptr;
    std::string_view bad_value{};
    const char *problem = nullptr;
    std::span<char *const> numbers{};
    std::string_view text{};
    GivenSeconds report{};  // --report
};

// `device_variable` is CELLPOST_DEVICE's value, nullptr when unset.
CommandLine parse_command_line(int argc, char **argv, const char *device_variable,
                               const char *pool_variable = nullptr);

// Whether `word`, found where a number should be, looks like an option.
bool looks_like_option(std::string_view word);

// Prints "<device>, <device> (from <where>)": the devices in effect and
// which of --device, CELLPOST_DEVICE or the build named them.
void print_devices(std::span<const char *const> devices, const char *from);

// Catches SIGTERM, SIGINT, SIGHUP, SIGQUIT and SIGALRM (a caller's alarm()
// watchdog) into g_stop_signal, without SA_RESTART, and unblocks them
// whatever mask the caller passed on; one the caller ignores stays ignored.
// Ignores SIGPIPE and SIGXFSZ.
void catch_stop_signals();

// The text to send, from the command line or standard input, checked and
// coded (`buffer` holds a UTF-8 text's codes); false, with the reason
// logged, when there is none to send. `stopped` when a stop signal came
// while standard input was read.
bool prepare_text(const CommandLine &line, std::span<char, kMaxTextBytes> buffer, UserText &text,
                  bool &stopped);

// What a check is asked: where the devices came from, its time in ms (a
// pool's modems share --timeout's seconds), and whether it prints the
// device and the modem's answers (--check) or not (--monitor).
struct CheckRequest {
    const char *devices_from;
    long long milliseconds;
    bool print;
};

// A check's verdict: ready (`cause` nullptr), or the cause it is not;
// `interrupted` when a stop signal ended it.
struct CheckResult {
    const char *cause = nullptr;
    bool interrupted = false;
    bool busy = false;             // another process kept the port: `cause` names it
    bool no_port = false;          // no device could be used: `answer` says why
    bool out_of_time = false;      // a question went unasked: the check's time ran out
    int rssi = -1;                 // <rssi> of +CSQ, when the modem gave one (0 to 31)
    const char *device = nullptr;  // the device taken, as given
    std::string_view answer{};     // the modem's line behind `cause`, escaped
};

// --check: takes `port` as a run would, but waits for it a short while
// (then the verdict names the holder), asks the modem's state without
// sending anything, and prints the device it took (or all it tried) with
// where they came from, then the information lines (if asked to); ends
// within `request.milliseconds`, and no later log line waits past that. The
// caller gives the port back, then prints and logs the verdict.
CheckResult check_modem(ModemPort &port, const ModemPorts &ports, const CheckRequest &request,
                        const DialogueTimeouts &timeouts);

// ---- Between the command line's files: the devices (devices.cpp) ----

// Marks the line invalid: `value` of `option` (nullptr: a device) is wrong;
// false.
bool refuse(CommandLine &line, const char *option, std::string_view value, const char *problem);
// Adds `path` (from `from`) to the devices the run tries; false, with the
// line marked invalid, when it cannot be one.
bool add_device(CommandLine &line, const char *path, const char *from);
// The devices of CELLPOST_POOL, separated by blanks, as a pool.
bool add_pool(CommandLine &line, std::string_view names);

// ---- Between --check's files: the modem asked within its time (asking.cpp) ----

struct Asking {
    int fd;
    long long deadline;  // monotonic ms: every exchange has ended by then
    const DialogueTimeouts &t;
    bool out_of_time = false;  // a question was left unasked
};

// One exchange with a wait for its answer of `seconds` at most; with no
// time left for it, nothing is asked, and the reply has no verdict.
Reply ask(Asking &a, const char *command, int seconds, std::string_view info = {});
// PDU mode as a run sets it (enter_pdu_mode()), within the time.
Reply set_pdu_mode(Asking &a);
// An error final result as a check shows it: the modem's line, escaped,
// and its meaning, as in "+CME ERROR: 10 (SIM not inserted)".
std::string_view explain_error(std::string_view result, std::span<char, kReportSize> out);
// "PDU mode refused: +CME ERROR: 11 (SIM PIN required)": the modem's own
// cause, when its refusal `result` has a code; plain "PDU mode refused" else.
const char *mode_refused(std::string_view result);

// --monitor: prints the plugin's line for a check's verdict (`seconds`: its
// time), or for a run that could not ask (`problem`: what was wrong), and
// returns the plugin's exit status.
int print_monitor_line(const CheckResult &result, int seconds);
int print_monitor_problem(const char *problem);
// A pool's line: OK when every modem is ready, WARNING when some are (the
// first that is not, `worst`, named), CRITICAL when none is.
int print_monitor_pool(int ready, int modems, const CheckResult &worst);

// --check and --monitor as the command line asks, on the devices in
// effect; with a pool, every modem in turn: the exit status.
int run_check(const CommandLine &line, const ModemPorts &ports, const char *devices_from,
              const DialogueTimeouts &timeouts);

// Logs "Interrupted by signal <n>." where a stop signal unwound to, with the
// port given back; 1.
int interrupted();

// The whole run, from the command line to the exit status.
int cellpost_main(int argc, char **argv, const ModemPorts &ports = kDefaultModemPorts,
                  const DialogueTimeouts &timeouts = kDialogueTimeouts);
