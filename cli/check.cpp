// --check and --monitor: would an alarm get out right now? Asks the modem
// what a run needs (SIM ready, registered, a signal, a service centre)
// without sending anything, for a monitoring system to run every few
// minutes, within a time it is given.
#include "cli.h"

#include "report.h"

#include "base.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <syslog.h>

namespace {

// A state query, what its information line must show for a send to work,
// and the verdict when it does not.
struct Probe {
    const StateQuery &query;
    bool (*good)(std::string_view fields);  // what follows the prefix
    const char *cause;
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
bool has_signal(std::string_view fields)
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

// What follows the prefix of a query's own line, blanks aside.
std::string_view fields_of(const Probe &probe, std::string_view line)
{
    line.remove_prefix(std::min(probe.query.answer.size(), line.size()));
    return trim_blanks(line);
}

}  // namespace

// In the order of their causes: the first that fails is the verdict.
// Neighbours with one cause are one question: registered in the circuit
// or in the packet domain, either will carry an SMS.
static const Probe kProbes[] = {
    {kModemQueries[0], sim_ready, "SIM not ready"},
    {kModemQueries[1], registered, "not registered"},
    {kModemQueries[2], registered, "not registered"},
    {kModemQueries[3], has_signal, "no signal"},
    {kModemQueries[4], smsc_set, "no SMSC address"},
};
static_assert(std::size(kProbes) == kModemQueries.size());

namespace {

// Why the port could not be had, and the modem's line behind the verdict:
// the verdict points into them.
PortNote g_note;
std::array<char, kReportSize> g_answer;

// A probe's own line, `info`: printed if asked, escaped into `line` (it is
// the modem's, and may hold bytes that would rewrite a terminal's line);
// the signal noted from the signal's question. Whether it shows what a
// send needs.
bool judge(const Probe &probe, std::string_view info, bool print,
           std::span<char, kReportSize> shown, std::string_view &line, CheckResult &result)
{
    line = escape_line(info, shown);
    if (print && !line.empty())
        std::printf("%.*s\n", static_cast<int>(line.size()), line.data());
    const std::string_view fields = fields_of(probe, info);
    if (const int rssi = leading_number(fields); probe.good == has_signal && rssi <= kRssiMax)
        result.rssi = rssi;  // 0 to 31, or none (-1)
    return !info.empty() && probe.good(fields);
}

// Asks the modem, ending by the deadline whatever it does; a cause already
// found stands when the time runs out after it.
CheckResult ask_modem(Asking &a, bool print, CheckResult result)
{
    const Reply mode = set_pdu_mode(a);
    result.interrupted = mode.interrupted;
    result.out_of_time = a.out_of_time;
    if (mode.interrupted || mode.verdict == Verdict::none) {
        result.cause = kCheckNoAnswer;
        return result;
    }
    if (mode.verdict == Verdict::error) {  // a run would end "AT+CMGF=0 error."
        result.cause = mode_refused(mode.result.view());
        return result;
    }
    bool answered = false;                  // well, by one of the probes of this cause
    std::array<char, kReportSize> first{};  // the first answer to this cause's probes
    std::string_view first_line;
    for (std::size_t i = 0; i < std::size(kProbes); ++i) {
        const Probe &probe = kProbes[i];
        const Reply reply = ask(a, probe.query.command, a.t.prompt_seconds, probe.query.answer);
        result.interrupted = reply.interrupted;
        result.out_of_time = a.out_of_time;
        if (reply.interrupted || reply.verdict == Verdict::none) {
            if (result.cause == nullptr)
                result.cause = kCheckNoAnswer;
            return result;
        }
        std::array<char, kReportSize> shown{};
        std::string_view line;
        answered = judge(probe, reply.info.view(), print, shown, line, result) || answered;
        if (line.empty() && reply.verdict == Verdict::error)  // "+CME ERROR: 10", say
            line = explain_error(reply.result.view(), shown);
        if (first_line.empty() && !line.empty())
            first_line = {first.data(), line.copy(first.data(), first.size())};
        if (i + 1 < std::size(kProbes) && kProbes[i + 1].cause == probe.cause)
            continue;
        if (!answered && result.cause == nullptr) {
            result.cause = probe.cause;
            result.answer = {g_answer.data(), first_line.copy(g_answer.data(), g_answer.size())};
        }
        answered = false;
        first_line = {};
    }
    return result;
}

// Why no port: what follows "No modem port: " in the port's note.
std::string_view port_reason(const PortNote &note)
{
    std::string_view why = note.data();
    why.remove_prefix(std::min(why.find(": ") + 2, why.size()));
    return why;
}

// "port busy: <device> locked by PID <n>", from the port's note "No modem
// port: <device> locked by PID <n>": held by a run at work, most likely.
const char *busy_cause(const PortNote &note)
{
    static std::array<char, sizeof note + sizeof "port busy: "> busy;
    const std::string_view why = port_reason(note);
    std::snprintf(busy.data(), busy.size(), "%s%.*s", kCheckBusy, static_cast<int>(why.size()),
                  why.data());
    return busy.data();
}

// Whole seconds to wait for the port in a check of `time` ms: a share of
// it, less the wait's overrun, and kCheckLockSeconds at most; -1, a single
// look, when not even a wait of none fits.
int lock_seconds(long long time)
{
    const long long share = time / kCheckLockShare - kLockOverrunMs;
    return share < 0 ? -1
                     : static_cast<int>(
                           std::min<long long>(share / kCheckMillisPerSecond, kCheckLockSeconds));
}

}  // namespace

static_assert(kCheckOutputSize >= kDeviceLineSize + std::size(kProbes) * kReplyBufferSize,
              "a check's output waits whole for its port to be given back");

// The check ends within request.milliseconds: the port is waited for at most
// half of it, allowing for the lock wait's overrun; every exchange with
// the modem, ESC included, has ended by the deadline, its write time
// included (see ask()); after that the port is only given back, the
// verdict printed and logged (no log line waits past the deadline), and
// the process ends, in the kCheckExitMs kept for it.
CheckResult check_modem(ModemPort &port, const ModemPorts &ports, const CheckRequest &request,
                        const DialogueTimeouts &timeouts)
{
    const long long start = monotonic_ms();
    const long long deadline = start + request.milliseconds - kCheckExitMs;
    set_report_deadline(deadline);
    ModemPorts bounded = ports;
    const int lock = lock_seconds(deadline - start);
    bounded.lock_timeout_seconds = std::min(ports.lock_timeout_seconds, lock);
    bounded.lock_wait_max_seconds = std::min(ports.lock_wait_max_seconds, lock);
    PortNote &note = g_note;
    const Taken taken = open_modem(bounded, port, note);
    // A busy port's holder is named by the verdict.
    if (note[0] != '\0' && taken != Taken::busy)
        report(taken == Taken::open ? LOG_WARNING : LOG_ERR, "%s", note.data());
    if (request.print) {
        std::printf("%s", kCheckDevice);
        if (taken == Taken::open) {
            print_devices({&port.device, 1}, request.devices_from);
        } else {
            std::printf("%s", kCheckNoDevice);
            print_devices(ports.devices, request.devices_from);
        }
        std::printf("\n");
    }
    CheckResult result;
    result.interrupted = taken == Taken::interrupted;
    if (taken != Taken::open) {
        result.busy = taken == Taken::busy;
        result.no_port = taken == Taken::failed;
        result.cause = result.busy ? busy_cause(note) : kCheckNoPort;
        result.answer = port_reason(note);
        return result;
    }
    result.device = port.device;
    start_line();
    Asking asking = {port.fd, deadline, timeouts};
    return ask_modem(asking, request.print, result);
}
