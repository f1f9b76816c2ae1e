// --check: would an alarm get out right now? Asks the modem what a run
// needs (SIM ready, registered, a signal, a service centre) without sending
// anything, for a monitoring system to run every few minutes.
#include "cli.h"

#include "report.h"

#include "base.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <syslog.h>

namespace {

// A query, and what its information line must show for a send to work.
struct Probe {
    const char *command;
    std::string_view prefix;                // of the line that answers it
    bool (*good)(std::string_view fields);  // what follows the prefix
    const char *cause;                      // the verdict when it is not good
};

// The number at the front of `fields`, -1 if there is none.
int leading_number(std::string_view fields)
{
    int n = -1;
    std::from_chars(fields.data(), fields.data() + fields.size(), n);
    return n;
}

// "<n>,<stat>[,...]" of AT+CREG? and AT+CEREG?: registered, home or
// roaming, for SMS only or with CSFB not preferred, all carry an SMS.
bool registered(std::string_view fields)
{
    const std::size_t comma = fields.find(',');
    if (comma != std::string_view::npos)
        fields.remove_prefix(comma + 1);
    return std::ranges::find(kRegisteredStats, leading_number(fields)) != kRegisteredStats.end();
}

// "<rssi>,<ber>" of AT+CSQ: 99 not known, 0 as good as none.
bool signal(std::string_view fields)
{
    const int rssi = leading_number(fields);
    return rssi > kRssiNone && rssi != kRssiUnknown;
}

// "<sca>,<tosca>": a quoted, non-empty number.
bool smsc_set(std::string_view fields)
{
    return fields.size() > 2 && fields.front() == '"' && fields[1] != '"';
}

bool sim_ready(std::string_view fields)
{
    return fields == "READY";
}

// In the order of their causes: the first that fails is the verdict.
// Neighbours with one cause are one question: registered in the circuit
// or in the packet domain, either will carry an SMS.
}  // namespace

static const Probe kProbes[] = {
    {"AT+CPIN?\r", "+CPIN:", sim_ready, "SIM not ready"},
    {"AT+CREG?\r", "+CREG:", registered, "not registered"},
    {"AT+CEREG?\r", "+CEREG:", registered, "not registered"},
    {"AT+CSQ\r", "+CSQ:", signal, "no signal"},
    {"AT+CSCA?\r", "+CSCA:", smsc_set, "no SMSC address"},
};

namespace {

// Whether the probe's own answer line is good; prints it, escaped: it is
// the modem's, and may hold bytes that would rewrite a terminal's line.
bool probe_reply(const Probe &probe, std::string_view line)
{
    if (line.empty())
        return false;
    std::array<char, kReportSize> shown{};
    const std::string_view text = escape_line(line, shown);
    std::printf("%.*s\n", static_cast<int>(text.size()), text.data());
    line.remove_prefix(probe.prefix.size());
    while (!line.empty() && line.front() == ' ')
        line.remove_prefix(1);
    return probe.good(line);
}

// Whole seconds left before `deadline`, none once it has passed.
int seconds_left(long long deadline)
{
    return static_cast<int>(std::max(deadline - monotonic_ms(), 0LL) / kCheckMillisPerSecond);
}

// Asks the modem, ending by `deadline` whatever it does: the mode command
// may take six times its wait (twice, the second after ESC, and
// AT+CMEE=1, each up to twice its silence), and each probe what is left.
CheckResult ask_modem(int fd, const DialogueTimeouts &t, long long deadline)
{
    DialogueTimeouts bounded = t;
    bounded.mode_seconds =
        std::clamp((seconds_left(deadline) - 1) / kCheckModeShare, 1, std::max(t.mode_seconds, 1));
    Reply mode = enter_pdu_mode(fd, bounded);
    // An earlier command's late answer (its line, then its OK) may have
    // come where the mode command's should: ask again until an answer
    // comes alone, for the verdict to be this modem's answer to it.
    for (int tries = 0; tries < kCheckModeTries && mode.verdict == Verdict::answer &&
                        !mode.stopped && mode.others > 0 && seconds_left(deadline) > 0;
         ++tries) {
        const int left = seconds_left(deadline);
        mode = at_command(fd, kModeCommand,
                          {Awaited::ok, std::min(bounded.mode_seconds, left),
                           std::min(2 * bounded.mode_seconds, left)});
    }
    if (mode.stopped || mode.verdict == Verdict::none)
        return {kCheckNoAnswer, mode.stopped};
    if (mode.verdict == Verdict::error)  // a run would end "AT+CMGF=0 error."
        return {kCheckModeRefused, false};
    const char *cause = nullptr;
    bool answered = false;  // well, by one of the probes of this cause
    for (std::size_t i = 0; i < std::size(kProbes); ++i) {
        const Probe &probe = kProbes[i];
        const int left = seconds_left(deadline);
        if (left == 0)
            return {kCheckNoAnswer, false};
        Exchange exchange = {Awaited::ok, std::min(t.prompt_seconds, left),
                             std::min(2 * t.prompt_seconds, left)};
        exchange.info = probe.prefix;  // its own answer, not a late one of another command
        const Reply reply = at_command(fd, probe.command, exchange);
        if (reply.stopped || reply.verdict == Verdict::none)
            return {kCheckNoAnswer, reply.stopped};
        answered = probe_reply(probe, reply.info) || answered;
        if (i + 1 < std::size(kProbes) && kProbes[i + 1].cause == probe.cause)
            continue;
        if (!answered && cause == nullptr)
            cause = probe.cause;
        answered = false;
    }
    return {cause, false};
}

// "port busy: <device> locked by PID <n>", from the port's note "No modem
// port: <device> locked by PID <n>": held by a run at work, most likely.
const char *busy_cause(const PortNote &note)
{
    static std::array<char, sizeof note + sizeof "port busy: "> busy;
    std::string_view why = note.data();
    why.remove_prefix(std::min(why.find(": ") + 2, why.size()));  // past "No modem port: "
    std::snprintf(busy.data(), busy.size(), "%s%.*s", kCheckBusy, static_cast<int>(why.size()),
                  why.data());
    return busy.data();
}

}  // namespace

CheckResult check_modem(ModemPort &port, const ModemPorts &ports, const char *devices_from,
                        const DialogueTimeouts &timeouts)
{
    // Printed only once the port is given back: a paused terminal or a
    // slow reader must not hold the modem. Every line printed is part of a
    // reply, so they all fit.
    static std::array<char, kDeviceLineSize + std::size(kProbes) * kReplyBufferSize> output;
    static_cast<void>(std::setvbuf(stdout, output.data(), _IOFBF, output.size()));  // cannot fail
    // A monitor's check must come back in its time: the port is waited for
    // a short while, and the modem asked within what is left.
    const long long deadline =
        monotonic_ms() + (kCheckSeconds - kCheckReserveSeconds) * kCheckMillisPerSecond;
    ModemPorts bounded = ports;
    bounded.lock_timeout_seconds = std::min(ports.lock_timeout_seconds, kCheckLockSeconds);
    bounded.lock_wait_max_seconds = std::min(ports.lock_wait_max_seconds, kCheckLockSeconds);
    PortNote note{};
    const Taken taken = open_modem(bounded, port, note);
    // A busy port's holder is named by the verdict.
    if (note[0] != '\0' && taken != Taken::busy)
        report(taken == Taken::open ? LOG_WARNING : LOG_ERR, "%s", note.data());
    std::printf("%s", kCheckDevice);
    if (taken == Taken::open) {
        print_devices({&port.device, 1}, devices_from);
    } else {
        std::printf("%s", kCheckNoDevice);
        print_devices(ports.devices, devices_from);
    }
    std::printf("\n");
    if (taken == Taken::busy)
        return {busy_cause(note), false};
    if (taken != Taken::open)
        return {kCheckNoPort, taken == Taken::interrupted};
    return ask_modem(port.fd, timeouts, deadline);
}
