// The modem asked within a check's time: every exchange has ended by the
// check's deadline, whatever the modem does, or is not begun.
#include "cli.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <cstdio>

namespace {

// Whole seconds left before `deadline`, none once it has passed.
int seconds_left(long long deadline)
{
    return static_cast<int>(std::max(deadline - monotonic_ms(), 0LL) / kCheckMillisPerSecond);
}

}  // namespace

// One exchange that has ended by the deadline whatever the modem does.
// at_command() may spend up to the silence it waits for on writing the
// command (to a line that takes no byte), then up to its limit on the
// reply: the silence is a third of the whole seconds left (`seconds` at
// most), the limit what remains, twice the silence at most; and the
// deadline cuts whatever the whole seconds would let run past it. Once it
// has passed, nothing is asked; an exchange it cut has no verdict for want
// of time.
Reply ask(Asking &a, const char *command, int seconds, std::string_view info)
{
    const int left = seconds_left(a.deadline);
    const int idle = std::min(seconds, std::max(left / kCheckExchangeShare, 1));
    Exchange exchange = {Awaited::ok, idle, std::max(std::min(2 * idle, left - idle), 1)};
    exchange.info = info;  // a query's own answer, not a late one of another command
    exchange.deadline = a.deadline;
    if (monotonic_ms() >= a.deadline) {
        a.out_of_time = true;
        return Reply{};  // no verdict, as from a silent modem
    }
    const Reply reply = at_command(a.fd, command, exchange);
    a.out_of_time =
        a.out_of_time || (reply.verdict == Verdict::none && monotonic_ms() >= a.deadline);
    return reply;
}

// PDU mode as a run sets it (enter_pdu_mode()), each exchange held to the
// check's time: the mode command; ESC and the command again when it is
// left unanswered (a modem left in PDU entry swallows commands until ESC);
// then AT+CMEE=1. An earlier command's late answer (its line, then its OK)
// may have come where the mode command's should: it is asked again until an
// answer comes alone, for the verdict to be this modem's answer to it.
Reply set_pdu_mode(Asking &a)
{
    Reply mode = ask(a, kModeCommand, a.t.mode_seconds);
    if (mode.verdict == Verdict::none && !mode.interrupted && !a.out_of_time) {
        const Reply cancel = ask(a, kCancelCommand, std::min(a.t.prompt_seconds, 1));
        if (cancel.interrupted)
            return cancel;
        mode = ask(a, kModeCommand, a.t.mode_seconds);
    }
    for (int tries = 0; tries < kCheckModeTries && mode.verdict == Verdict::answer &&
                        !mode.interrupted && mode.others > 0;
         ++tries)
        mode = ask(a, kModeCommand, a.t.mode_seconds);
    if (mode.verdict == Verdict::answer && !mode.interrupted) {
        const Reply codes = ask(a, kErrorCodesCommand, a.t.mode_seconds);
        if (codes.interrupted)
            return codes;
    }
    return mode;
}

std::string_view explain_error(std::string_view result, std::span<char, kReportSize> out)
{
    const Cause cause = classify_answer(result);
    std::array<char, kReportSize> shown{};
    const std::string_view line = escape_line(result, shown);  // the modem's bytes
    const bool meaning = *cause.meaning != '\0';
    const int n =
        std::snprintf(out.data(), out.size(), "%.*s%s%s%s", static_cast<int>(line.size()),
                      line.data(), meaning ? " (" : "", cause.meaning, meaning ? ")" : "");
    return {out.data(), std::min(static_cast<std::size_t>(std::max(n, 0)), out.size() - 1)};
}

const char *mode_refused(std::string_view result)
{
    static std::array<char, kReportSize> refused;
    if (classify_answer(result).code < 0)
        return kCheckModeRefused;
    std::array<char, kReportSize> explained{};
    const std::string_view why = explain_error(result, explained);
    std::snprintf(refused.data(), refused.size(), "%s: %.*s", kCheckModeRefused,
                  static_cast<int>(why.size()), why.data());
    return refused.data();
}
