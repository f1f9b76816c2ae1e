// One round of the send sequence: PDU mode, then every part not yet
// confirmed to every recipient not yet served. Each failure goes to the
// policy, through judge_failure(); this file only follows its decision.
#include "delivery.h"

#include "report.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <syslog.h>

namespace {

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
    return !at_command(fd, kCancelCommand, cancel).stopped;
}

// What a reply that decided nothing, or an error, means.
Cause cause_of(const Reply &reply, std::string_view missing)
{
    if (reply.verdict == Verdict::error)
        return classify_answer(reply.result);
    return {FailureKind::temporary, missing, "", -1};
}

// The <mr> of a submission's own "+CMGS: <mr>" line (TS 27.005 3.5.1),
// -1 when none came: a bare "OK" counts as accepted too.
int message_reference(std::string_view line)
{
    if (!line.starts_with(kSubmitResultPrefix))
        return -1;
    line.remove_prefix(kSubmitResultPrefix.size());
    while (!line.empty() && line.front() == ' ')
        line.remove_prefix(1);
    int reference = -1;
    std::from_chars(line.data(), line.data() + line.size(), reference);
    return reference <= kMaxMessageReference ? reference : -1;
}

// The round after a decision: stop, or go on (the next recipient, or the
// next round when the modem left the exchange unanswered).
RoundEnd after(const Decision &decision, bool unanswered)
{
    if (decision.next == Next::stop)
        return RoundEnd::stop;
    return unanswered ? RoundEnd::retry : RoundEnd::finished;
}

// The mode command, after which the modem takes PDUs and says why not.
RoundEnd set_pdu_mode(int fd, Delivery &d, const DialogueTimeouts &t)
{
    const Reply mode = enter_pdu_mode(fd, t);
    if (mode.stopped)
        return RoundEnd::interrupted;
    if (mode.verdict == Verdict::answer)
        return RoundEnd::finished;
    const Failure failure = {Stage::mode, cause_of(mode, kNoAnswer), mode.verdict == Verdict::none};
    const Decision decision = judge_failure(d, failure);
    return decision.next == Next::retry ? RoundEnd::retry : RoundEnd::stop;
}

// Announces and submits one recipient's parts from the first one not yet
// confirmed. finished: the recipient is served or settled for this round;
// retry: the modem left an exchange unanswered; stop: it cannot send.
RoundEnd submit_parts(int fd, Delivery &d, std::size_t who, const DialogueTimeouts &t)
{
    RecipientState &r = d.recipients[who];
    PduList &pdus = g_pdus;
    const unsigned count = build_pdus(d.numbers[who], d.text, pdus, d.reference);
    if (count == 0) {  // the caller checked the numbers; never send a broken PDU
        report(LOG_ERR, "%s", kMsgInvalidNumber);
        return RoundEnd::stop;
    }
    std::array<char, kCommandBufferSize> command;
    std::array<char, kHexBufferSize> hex;
    for (unsigned k = r.accepted; k < count; ++k) {
        PduRecord &pdu = pdus[k];
        // AT+CMGS counts the TPDU only, not the SMSC-length octet. Both
        // commands fit their buffer (see the static_asserts beside it).
        std::snprintf(command.data(), command.size(), kSubmitFormat, pdu.length - 1);
        const Reply prompt =
            at_command(fd, command.data(), listening_for(Awaited::prompt, t.prompt_seconds));
        if (prompt.stopped)
            return RoundEnd::interrupted;
        if (prompt.verdict != Verdict::answer) {
            // A prompt may still be on its way, or the error was an earlier
            // command's and the modem waits for PDU text: ESC, and its
            // answer, or the next command line would become PDU text.
            const bool unanswered = prompt.verdict == Verdict::none;
            if (!cancel_and_settle(fd, t))
                return RoundEnd::interrupted;
            const Failure failure = {Stage::prompt, cause_of(prompt, kNoPrompt), unanswered};
            return after(judge_failure(d, failure, who, k, count), unanswered);
        }
        if (r.history.resubmit)
            mark_resubmission(pdu);
        hex_encode(std::span(pdu.octets).first(pdu.length), hex);
        std::snprintf(command.data(), command.size(), "%s%c", hex.data(), kCtrlZ);
        // Only the final result counts: "+CMGS: <mr>" and "OK", or an
        // error. Notices, echo and banners in between are not answers.
        const Exchange submit = {Awaited::ok, t.submit_seconds, t.submit_seconds, true, true};
        const Reply result = at_command(fd, command.data(), submit);
        if (result.stopped)
            return RoundEnd::interrupted;
        if (!result.written && !cancel_and_settle(fd, t))  // the modem may hold part of the PDU
            return RoundEnd::interrupted;
        Decision decision = {Next::sent};
        const bool unanswered = result.verdict == Verdict::none;
        if (result.verdict != Verdict::answer) {
            const Failure failure = {Stage::submit, cause_of(result, kNoAnswer), unanswered,
                                     result.written};
            decision = judge_failure(d, failure, who, k, count);
        }
        if (decision.next != Next::sent)  // the other parts would be useless alone
            return after(decision, unanswered);
        // A duplicate's first copy was never answered: its reference is unknown.
        r.references[k] = result.verdict == Verdict::answer ? message_reference(result.info) : -1;
        r.accepted = k + 1;
        r.history.resubmit = r.history.maybe_sent = false;
    }
    r.settled = true;
    log_served(d, who, count);
    return RoundEnd::finished;
}

}  // namespace

Reply enter_pdu_mode(int fd, const DialogueTimeouts &t)
{
    const Exchange mode_exchange = listening_for(Awaited::ok, t.mode_seconds);
    Reply mode = at_command(fd, kModeCommand, mode_exchange);
    if (mode.verdict == Verdict::none && !mode.stopped) {
        // Neither OK nor an error: perhaps a modem left waiting for PDU
        // text by an interrupted run, which swallows commands until ESC.
        if (!cancel_and_settle(fd, t))
            return {mode.text, Verdict::none, false, {}, true};
        mode = at_command(fd, kModeCommand, mode_exchange);
    }
    // Any answer will do: a modem that refuses is used as it is.
    if (mode.verdict == Verdict::answer &&
        at_command(fd, kErrorCodesCommand, mode_exchange).stopped)
        return {mode.text, Verdict::none, false, {}, true};
    return mode;
}

RoundEnd send_round(int fd, Delivery &d, const DialogueTimeouts &timeouts)
{
    d.pause_seconds = -1;
    if (const RoundEnd mode = set_pdu_mode(fd, d, timeouts); mode != RoundEnd::finished)
        return mode;
    bool left = false;  // recipients that a later round must serve
    for (std::size_t who = 0; who < d.numbers.size(); ++who) {
        if (d.recipients[who].settled)
            continue;
        const RoundEnd end = submit_parts(fd, d, who, timeouts);
        if (end != RoundEnd::finished)
            return end;  // unanswered: the rest wait for the next round
        left = left || !d.recipients[who].settled;
    }
    return left ? RoundEnd::retry : RoundEnd::finished;
}

bool log_modem_state(int fd, const DialogueTimeouts &timeouts)
{
    std::array<char, kReportSize> state{};
    std::size_t used = 0;
    for (const StateQuery &query : kStateQueries) {
        Exchange exchange = listening_for(Awaited::ok, timeouts.prompt_seconds);
        exchange.info = query.answer;  // its own line, not a late one of another
        const Reply reply = at_command(fd, query.command, exchange);
        if (reply.stopped)
            return false;
        if (reply.verdict == Verdict::none)
            break;  // not listening: the others would wait in vain too
        if (reply.info.empty())
            continue;
        const int n =
            std::snprintf(state.data() + used, state.size() - used, "%s%.*s", used == 0 ? "" : "; ",
                          static_cast<int>(reply.info.size()), reply.info.data());
        used = std::min(used + static_cast<std::size_t>(std::max(n, 0)), state.size() - 1);
    }
    report(LOG_ERR, kMsgStateFormat, used == 0 ? "no answer" : state.data());
    return true;
}
