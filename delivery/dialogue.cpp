// One round of the send sequence: PDU mode, then every part not yet
// confirmed to every recipient not yet served. Each failure goes to the
// policy, through judge_failure(); this file only follows its decision.
#include "delivery.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <syslog.h>

namespace {

constexpr const char *kMsgStateFormat = "Modem state: %s";
// What stands for the answer of a failure that had none.
constexpr std::string_view kNoPrompt = "no prompt";
constexpr std::string_view kNoAnswer = "no answer";
constexpr std::string_view kNoValidNumber = "invalid number";
constexpr int kMaxMessageReference = 255;

// One recipient's PDUs at a time, 2.6 KB: not on the stack of a small system.
PduList g_pdus;

// The mode command and the prompt: give up after `seconds` of silence,
// and at twice that whatever trickles in.
Exchange listening_for(Awaited awaited, int seconds)
{
    return {awaited, seconds, 2 * seconds, awaited == Awaited::prompt};
}

// Writes ESC where the modem may wait for PDU text, and takes its answer
// to it, so that a late "OK" is not taken for the next command's. False
// when a stop signal ended it.
bool cancel_and_settle(int fd, const DialogueTimeouts &t)
{
    const Exchange cancel = listening_for(Awaited::ok, std::min(t.prompt_seconds, 1));
    return !at_command(fd, kCancelCommand, cancel).interrupted;
}

// What a reply that decided nothing, or an error, means.
Cause cause_of(const Reply &reply, std::string_view missing)
{
    if (reply.verdict == Verdict::error)
        return classify_answer(reply.result.view());
    return {FailureKind::temporary, missing, "", -1};
}

// The <mr> of a submission's own "+CMGS: <mr>" line (TS 27.005 3.5.1),
// -1 when none came: a bare "OK" counts as accepted too.
int message_reference(std::string_view line)
{
    if (!line.starts_with(kSubmitResultPrefix))
        return -1;
    line.remove_prefix(kSubmitResultPrefix.size());
    line = trim_blanks(line);
    int reference = -1;
    std::from_chars(line.data(), line.data() + line.size(), reference);
    return reference <= kMaxMessageReference ? reference : -1;
}

// What the round does after the mode command or a recipient: go on, end
// as the decision says (whether the run ends too, the delivery keeps), or
// unwind.
enum class Step { go_on, ended, interrupted };

Step step_of(const Decision &decision)
{
    return decision.round == RoundStep::go_on ? Step::go_on : Step::ended;
}

// The mode command, after which the modem takes PDUs and says why not.
Step set_pdu_mode(int fd, Delivery &d, const DialogueTimeouts &t)
{
    const Reply mode = enter_pdu_mode(fd, t);
    if (mode.interrupted)
        return Step::interrupted;
    if (mode.verdict == Verdict::answer)
        return Step::go_on;
    const bool unanswered = mode.verdict == Verdict::none;
    return step_of(judge_failure(d, {Stage::mode, cause_of(mode, kNoAnswer), unanswered}));
}

// Announces and submits one recipient's parts from the first one not yet
// confirmed, until one fails: the other parts would be useless alone.
Step submit_parts(int fd, Delivery &d, std::size_t who, const DialogueTimeouts &t)
{
    RecipientState &r = d.recipients[who];
    PduList &pdus = g_pdus;
    const unsigned count =
        build_pdus(d.numbers[who], d.text, pdus, d.reference, d.report_seconds > 0);
    if (count == 0) {  // the caller checked the numbers; never send a broken PDU
        const Cause invalid = {FailureKind::recipient, kNoValidNumber, "", -1};
        return step_of(judge_failure(d, {Stage::number, invalid}, who));
    }
    begin_recipient(d, who, count);
    std::array<char, kCommandBufferSize> command;
    std::array<char, kHexBufferSize> hex;
    for (unsigned k = r.accepted; k < count; ++k) {
        PduRecord &pdu = pdus[k];
        // AT+CMGS counts the TPDU only, not the SMSC-length octet. Both
        // commands fit their buffer (see the static_asserts beside it).
        std::snprintf(command.data(), command.size(), kSubmitFormat, pdu.length - 1);
        const Reply prompt =
            at_command(fd, command.data(), listening_for(Awaited::prompt, t.prompt_seconds));
        if (prompt.interrupted)
            return Step::interrupted;
        if (prompt.verdict != Verdict::answer) {
            // A prompt may still be on its way, or the error was an earlier
            // command's and the modem waits for PDU text: ESC, and its
            // answer, or the next command line would become PDU text.
            if (!cancel_and_settle(fd, t))
                return Step::interrupted;
            const Failure failure = {Stage::prompt, cause_of(prompt, kNoPrompt),
                                     prompt.verdict == Verdict::none};
            return step_of(judge_failure(d, failure, who, k, count));
        }
        if (r.history.resubmit)
            mark_resubmission(pdu);
        hex_encode(std::span(pdu.octets).first(pdu.length), hex);
        std::snprintf(command.data(), command.size(), "%s%c", hex.data(), kCtrlZ);
        // Only the final result counts: "+CMGS: <mr>" and "OK", or an
        // error. Notices, echo and banners in between are not answers.
        const Exchange submit = {Awaited::ok, t.submit_seconds, t.submit_seconds, true, true};
        const Reply result = at_command(fd, command.data(), submit);
        if (result.interrupted)
            return Step::interrupted;
        if (!result.written && !cancel_and_settle(fd, t))  // the modem may hold part of the PDU
            return Step::interrupted;
        const int reference = message_reference(result.info.view());
        if (result.verdict == Verdict::answer) {
            record_accepted(d, who, k, count, reference);
            continue;
        }
        // The modem says "+CMGS: <mr>" only for a message the network took:
        // its OK was lost on the line, and a copy would arrive twice.
        if (result.verdict == Verdict::none && result.written && !result.info.view().empty()) {
            record_accepted(d, who, k, count, reference, result.info.view());
            continue;
        }
        const Failure failure = {Stage::submit, cause_of(result, kNoAnswer),
                                 result.verdict == Verdict::none, result.written};
        const Decision decision = judge_failure(d, failure, who, k, count);
        if (decision.next != Next::sent)
            return step_of(decision);
        record_accepted(d, who, k, count, -1);  // the first copy's answer was never seen
    }
    return Step::go_on;
}

}  // namespace

Reply enter_pdu_mode(int fd, const DialogueTimeouts &t)
{
    const Exchange mode_exchange = listening_for(Awaited::ok, t.mode_seconds);
    Reply mode = at_command(fd, kModeCommand, mode_exchange);
    if (mode.verdict == Verdict::none && !mode.interrupted) {
        // Neither OK nor an error: perhaps a modem left waiting for PDU
        // text by an interrupted run, which swallows commands until ESC.
        if (!cancel_and_settle(fd, t))
            mode.interrupted = true;
        else
            mode = at_command(fd, kModeCommand, mode_exchange);
    }
    // Any answer will do: a modem that refuses is used as it is.
    if (mode.verdict == Verdict::answer &&
        at_command(fd, kErrorCodesCommand, mode_exchange).interrupted)
        mode.interrupted = true;
    return mode;
}

RoundEnd send_round(int fd, Delivery &d, const DialogueTimeouts &timeouts)
{
    Step step = set_pdu_mode(fd, d, timeouts);
    // Before the first submission: a report can come only once routed.
    const bool routing = d.report_seconds > 0 && !d.routing.asked;
    if (step == Step::go_on && routing && !d.modem_states[d.modem].no_reports &&
        !route_reports(fd, d, timeouts))
        step = Step::interrupted;
    for (std::size_t who = 0; who < d.numbers.size() && step == Step::go_on; ++who) {
        if (!d.recipients[who].settled)
            step = submit_parts(fd, d, who, timeouts);
        collect_reports(d);  // those that came meanwhile, each part's reference known
    }
    return step == Step::interrupted ? RoundEnd::interrupted : RoundEnd::ran;
}

bool log_modem_state(int fd, const DialogueTimeouts &timeouts)
{
    std::array<char, kReportSize> state{};
    std::size_t used = 0;
    for (const StateQuery &query : kStateQueries) {
        Exchange exchange = listening_for(Awaited::ok, timeouts.prompt_seconds);
        exchange.info = query.answer;  // its own line, not a late one of another
        const Reply reply = at_command(fd, query.command, exchange);
        if (reply.interrupted)
            return false;
        if (reply.verdict == Verdict::none)
            break;  // not listening: the others would wait in vain too
        if (reply.info.length == 0)
            continue;
        const int n =
            std::snprintf(state.data() + used, state.size() - used, "%s%.*s", used == 0 ? "" : "; ",
                          static_cast<int>(reply.info.length), reply.info.bytes.data());
        used = std::min(used + static_cast<std::size_t>(std::max(n, 0)), state.size() - 1);
    }
    report(LOG_ERR, kMsgStateFormat, used == 0 ? kNoAnswer.data() : state.data());
    return true;
}
