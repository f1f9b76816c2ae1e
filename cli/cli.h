// The program's entry: the command line, the stop signals, --check, and
// the exit status.
//
// Contract: cellpost_main() checks the command line, then sends the text to
// every recipient (the delivery) or asks the modem's state (--check), and
// returns the exit status: 0 when the modem confirmed every PDU, or was
// ready; 1 otherwise. A stop signal unwinds to here, which gives the port
// back and logs "Interrupted by signal <n>.". Standard output carries only
// what was asked for: the usage line, the help, the version, or --check's
// answers; failures go to syslog and standard error.
#pragma once

#include "delivery.h"
#include "port.h"

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
// Where, the path (cut to so many bytes, "..." then), what is wrong.
inline constexpr const char *kMsgInvalidDeviceFormat = "Invalid device in %s: \"%.*s%s\" %s.";
inline constexpr int kShownDeviceBytes = 64;
inline constexpr const char *kDeviceNotAbsolute = "is not an absolute path";
inline constexpr const char *kDeviceEmpty = "is empty";
inline constexpr const char *kDeviceTooLong = "is longer than 200 bytes";
inline constexpr const char *kDeviceTooMany = "is a fifth device: 4 at most";
static_assert(kMaxDevicePathBytes == 200 && kMaxGivenDevices == 4, "the messages say so");

// --report SECONDS (or --report=SECONDS): wait that long for the status
// reports. A value that is no number of seconds in range, or none, stops
// the run before the port is touched: the value is shown cut like a path.
inline constexpr const char *kReportOption = "--report";
inline constexpr const char *kMsgBadReportFormat =
    "--report needs a number of seconds from 1 to 3600, not \"%.*s%s\".";
inline constexpr const char *kMsgNoReportSeconds =
    "--report needs a number of seconds from 1 to 3600.";
static_assert(kMinReportSeconds == 1 && kMaxReportSeconds == 3600, "the messages say so");

inline constexpr const char *kProgramName = "cellpost";
inline constexpr const char *kUsageFormat = "Usage: %s <phone number 1> <phone number 2> ... "
                                            "<phone number n> <text sms in quotation marks>\n";
inline constexpr const char *kHelpText =
    "Sends the text as SMS to every number through the GSM modem.\n"
    "  -u, --utf8     the text is UTF-8: sent in the GSM alphabet where it can be,\n"
    "                 else in UCS-2 (70 characters a message instead of 160)\n"
    "  -d, --device PATH\n"
    "                 the modem's device, an absolute path; up to 4, tried in order\n"
    "                 (default: $CELLPOST_DEVICE if set, else the build's devices)\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n"
    "      --check    ask the modem whether a message would go out now: prints its\n"
    "                 state and \"ready\" or \"not ready: <cause>\"; sends nothing\n"
    "      --report SECONDS\n"
    "                 wait up to SECONDS (1 to 3600) for the network's delivery\n"
    "                 reports, holding the modem meanwhile; status 0 only if every\n"
    "                 message was reported delivered\n"
    "Options come before the first number; \"--\" ends them.\n";
// After the help: "Devices: <each, in order> (from <where>)", the devices
// in effect; then the build's own settings: the lock directory, "Retry
// rounds: 5, 15, 30, 60 s after each other, within 120 s of the first
// failure" (or "none") and the longest wait for the port.
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
    " s after each other, within %d s of the first failure\n";
inline constexpr const char *kHelpNoRetries = "none\n";
inline constexpr const char *kHelpLockWaitFormat = "Longest wait for the port: %d s\n";
inline constexpr const char *kVersionFormat = "%s %s\n";  // program, version
inline constexpr const char *kMsgTruncated = "Text truncated to 1530 characters.";
inline constexpr const char *kMsgTruncatedFormat = "Text truncated to %zu characters.";  // -u
inline constexpr const char *kMsgInvalidText = "Invalid text.";
inline constexpr const char *kMsgInterruptedFormat = "Interrupted by signal %d.";
// Before "Invalid phone number.": the argument's place on the command line
// and the argument, quoted.
inline constexpr const char *kMsgBadNumberFormat = "Argument %d is no phone number: \"%s\"";
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
// A check ends within kCheckSeconds whatever the port and the modem do: it
// waits for the port kCheckLockSeconds at most, and keeps a second for its
// verdict's log line; the mode command gets a sixth of what is left.
inline constexpr int kCheckSeconds = 30;
inline constexpr int kCheckLockSeconds = 10;
inline constexpr int kCheckReserveSeconds = 1;
inline constexpr int kCheckModeShare = 6;
inline constexpr long long kCheckMillisPerSecond = 1000;
inline constexpr const char *kMsgModemReady = "Modem ready.";
inline constexpr const char *kMsgModemNotReadyFormat = "Modem not ready: %s.";
inline constexpr const char *kCheckModeRefused = "PDU mode refused";
// <stat> of +CREG and +CEREG (3GPP TS 27.007) that carry an SMS: registered
// home, roaming, home or roaming for SMS only, home or roaming with CSFB
// not preferred.
inline constexpr std::array<int, 6> kRegisteredStats = {1, 5, 6, 7, 9, 10};
inline constexpr int kRssiNone = 0;  // <rssi> of +CSQ: -113 dBm or less
inline constexpr int kRssiUnknown = 99;

// What the command line asks for: send (with `numbers` and `text` set),
// print the usage line (a wrong count or an unknown option), the help, or
// the version, or check the modem (no number or text on the line); or it
// names a device that cannot be one (`bad_device`, `device_problem`), or
// a --report that is no number of seconds in range (`bad_report`).
struct CommandLine {
    enum Action { send, usage, help, version, check, invalid_device, invalid_report } action = send;
    bool utf8 = false;  // -u: the text is UTF-8
    // The devices named by --device or CELLPOST_DEVICE, in order, and which
    // of the two (nullptr: none, the build's list is in effect).
    std::array<const char *, kMaxGivenDevices> devices{};
    std::size_t device_count = 0;
    const char *devices_from = nullptr;
    std::string_view bad_device{};
    const char *device_problem = nullptr;
    std::span<char *const> numbers{};
    std::string_view text{};
    int report_seconds = 0;            // --report; 0 when not given
    const char *bad_report = nullptr;  // a --report value out of range; nullptr: none given
};

// `device_variable` is CELLPOST_DEVICE's value, nullptr when unset.
CommandLine parse_command_line(int argc, char **argv, const char *device_variable);

// Prints "<device>, <device> (from <where>)": the devices in effect and
// which of --device, CELLPOST_DEVICE or the build named them.
void print_devices(std::span<const char *const> devices, const char *from);

// Catches SIGTERM, SIGINT, SIGHUP, SIGQUIT and SIGALRM (a caller's alarm()
// watchdog) into g_stop_signal, without SA_RESTART, and unblocks them
// whatever mask the caller passed on; one the caller ignores stays ignored.
// Ignores SIGPIPE and SIGXFSZ.
void catch_stop_signals();

// --check's verdict: ready (nullptr), or the cause it is not; `stopped`
// when a stop signal ended it.
struct CheckResult {
    const char *cause;
    bool stopped;
};

// --check: takes `port` as a run would, but waits for it at most
// kCheckLockSeconds (then the verdict names the holder), asks the modem's
// state without sending anything, and prints the device it took (or all it
// tried) with where they came from (`devices_from`), then the information
// lines; ends within kCheckSeconds. The caller gives the port back, then
// prints and logs the verdict.
CheckResult check_modem(ModemPort &port, const ModemPorts &ports, const char *devices_from,
                        const DialogueTimeouts &timeouts);

// The whole run, from the command line to the exit status.
int cellpost_main(int argc, char **argv, const ModemPorts &ports = kDefaultModemPorts,
                  const DialogueTimeouts &timeouts = kDialogueTimeouts);
