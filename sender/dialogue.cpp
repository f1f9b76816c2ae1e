// One round of the send sequence: PDU mode, then every part not yet
// confirmed to every recipient not yet served, and what each failure means.
#include "sender.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace {

// One recipient's PDUs at a time, 2.6 KB: not on the stack of a small system.
PduList g_pdus;
// send_sms()'s one round, at namespace scope: a function's static would
// need a guard from the C++ runtime, which the program does without.
Delivery g_round;

// The mode command and the prompt: give up after `seconds` of silence,
// and at twice that whatever trickles in.
Exchange listening_for(Awaited awaited, int seconds)
{
    return {awaited, seconds, 2 * seconds, awaited == Awaited::prompt};
}

// Writes ESC where the modem may wait for PDU text, and takes its answer
// to it, so that a late "OK" is not taken for the next command's.
void cancel_and_settle(int fd, const DialogueTimeouts &t)
{
    cancel_pdu_entry(fd);
    static_cast<void>(
        at_command(fd, "", listening_for(Awaited::ok, std::min(t.prompt_seconds, 1))));
}

// A network that did not answer in time may have taken the message.
bool network_timeout(const Cause &cause)
{
    return cause.code == (cause.cms ? kCmsNetworkTimeout : kCmeNetworkTimeout);
}

// What a reply that decided nothing, or an error, means.
Cause cause_of(const Reply &reply, std::string_view missing)
{
    if (reply.verdict == Verdict::error)
        return classify_answer(reply.result);
    return {FailureKind::temporary, missing, "", -1};
}

void keep_answer(const Cause &cause, std::array<char, kLineKeep> &into, std::size_t &length)
{
    length = std::min(cause.answer.size(), into.size());
    std::copy_n(cause.answer.begin(), length, into.begin());
}

// One line for one failed attempt, as kMsgAttemptFormat says.
// `next` is what follows; with `seconds`, the pause before the next round.
void log_attempt(int priority, const char *subject, const char *verb, std::string_view answer,
                 const char *meaning, const char *next, int seconds = -1)
{
    std::array<char, kCommandBufferSize> what_next{};
    if (seconds >= 0)
        std::snprintf(what_next.data(), what_next.size(), kMsgRetryFormat, seconds);
    else
        std::snprintf(what_next.data(), what_next.size(), "%s", next);
    const bool explained = meaning[0] != '\0';
    report(priority, kMsgAttemptFormat, subject, verb, static_cast<int>(answer.size()),
           answer.data(), explained ? " (" : "", meaning, explained ? ")" : "", what_next.data());
}

// Notes a failure and says what follows: false when the round must stop.
bool fail_attempt(Delivery &d, std::size_t who, unsigned part, unsigned count, const Cause &cause,
                  Outcome outcome)
{
    RecipientState &r = d.recipients[who];
    d.outcome = outcome;
    if (cause.kind == FailureKind::fatal) {
        log_attempt(LOG_ERR, "SMS", "not sent", cause.answer, cause.meaning, kMsgCannotSend);
        return false;
    }
    std::array<char, kCommandBufferSize> subject{};
    const int n = std::snprintf(subject.data(), subject.size(), "SMS to %s", d.numbers[who]);
    if (count > 1 && n > 0)
        std::snprintf(subject.data() + n, subject.size() - static_cast<std::size_t>(n),
                      " part %u/%u", part + 1, count);
    keep_answer(cause, r.answer, r.answer_length);
    r.meaning = cause.meaning;
    // The network says it will be out for a while: one more try at most.
    const bool once_more = cause.cms && cause.code == kCmsNetworkOutOfOrder;
    const int seconds = cause.kind == FailureKind::temporary && !(once_more && r.network_down)
                            ? next_round_in(d)
                            : -1;
    r.network_down = r.network_down || once_more;
    if (seconds >= 0) {
        log_attempt(LOG_WARNING, subject.data(), "failed", cause.answer, cause.meaning, "",
                    seconds);
        return true;
    }
    r.settled = r.failed = true;
    d.gave_up = d.gave_up || cause.kind == FailureKind::temporary;
    log_attempt(LOG_ERR, subject.data(), "not sent", cause.answer, cause.meaning,
                cause.kind == FailureKind::temporary ? kMsgNoMoreTries : ".");
    return true;
}

// The mode command, after which the modem takes PDUs and says why not.
RoundEnd set_pdu_mode(int fd, Delivery &d, const DialogueTimeouts &t)
{
    const Reply mode = enter_pdu_mode(fd, t);
    if (mode.verdict == Verdict::answer)
        return RoundEnd::finished;
    const Cause cause = cause_of(mode, kNoAnswer);
    d.outcome = Outcome::mode;
    if (cause.kind == FailureKind::fatal) {
        log_attempt(LOG_ERR, "SMS", "not sent", cause.answer, cause.meaning, kMsgCannotSend);
        return RoundEnd::stop;
    }
    const int seconds = next_round_in(d);
    if (seconds < 0) {
        log_attempt(LOG_ERR, "Mode command", "failed", cause.answer, cause.meaning,
                    kMsgNoMoreTries);
        d.gave_up = mode.verdict == Verdict::error;  // a silent modem has no state to tell
        return RoundEnd::stop;
    }
    log_attempt(LOG_WARNING, "Mode command", "failed", cause.answer, cause.meaning, "", seconds);
    return RoundEnd::retry;
}

// The modem gave no prompt for part `k`: an error, or nothing.
RoundEnd no_prompt(int fd, Delivery &d, std::size_t who, unsigned k, unsigned count,
                   const Reply &prompt, const DialogueTimeouts &t)
{
    // A prompt may still be on its way: ESC, and its answer. After an
    // error the modem takes commands, and ESC would only garble the next.
    if (prompt.verdict == Verdict::none)
        cancel_and_settle(fd, t);
    if (!fail_attempt(d, who, k, count, cause_of(prompt, kNoPrompt), Outcome::prompt))
        return RoundEnd::stop;
    return prompt.verdict == Verdict::none ? RoundEnd::retry : RoundEnd::finished;
}

// Announces and submits one recipient's parts from the first one not yet
// confirmed. finished: the recipient is served or settled; retry: the modem
// left an exchange unanswered; stop: it cannot send.
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
        if (prompt.verdict != Verdict::answer)
            return no_prompt(fd, d, who, k, count, prompt, t);
        if (r.resubmit)
            mark_resubmission(pdu);
        hex_encode(std::span(pdu.octets).first(pdu.length), hex);
        std::snprintf(command.data(), command.size(), "%s%c", hex.data(), kCtrlZ);
        // Only the final result counts: "+CMGS: <mr>" and "OK", or an
        // error. Notices, echo and banners in between are not answers.
        const Exchange submit = {Awaited::ok, t.submit_seconds, t.submit_seconds, true};
        const Reply result = at_command(fd, command.data(), submit);
        if (!result.written)
            cancel_and_settle(fd, t);  // the modem may hold part of the PDU
        const Cause cause = cause_of(result, kNoAnswer);
        // A copy of a part whose answer went missing, that the service
        // centre turned away as a duplicate: the first one got there. After
        // a plain refusal there is no first one.
        const bool duplicate = r.maybe_sent && cause.cms && cause.code == kCmsDuplicate;
        if (result.verdict == Verdict::answer || duplicate) {
            r.accepted = k + 1;
            r.resubmit = r.maybe_sent = false;
            continue;
        }
        r.resubmit = r.resubmit || result.written;
        r.maybe_sent =
            r.maybe_sent ||
            (result.written && (result.verdict == Verdict::none || network_timeout(cause)));
        const Outcome outcome =
            result.verdict == Verdict::none ? Outcome::unconfirmed : Outcome::rejected;
        if (!fail_attempt(d, who, k, count, cause, outcome))
            return RoundEnd::stop;
        // The other parts of a message that failed would be useless alone.
        return result.verdict == Verdict::none ? RoundEnd::retry : RoundEnd::finished;
    }
    r.settled = true;
    return RoundEnd::finished;
}

}  // namespace

Reply enter_pdu_mode(int fd, const DialogueTimeouts &t)
{
    const Exchange mode_exchange = listening_for(Awaited::ok, t.mode_seconds);
    Reply mode = at_command(fd, kModeCommand, mode_exchange);
    if (mode.verdict == Verdict::none) {
        // Neither OK nor an error: perhaps a modem left waiting for PDU
        // text by an interrupted run, which swallows commands until ESC.
        cancel_and_settle(fd, t);
        mode = at_command(fd, kModeCommand, mode_exchange);
    }
    // Any answer will do: a modem that refuses is used as it is.
    if (mode.verdict == Verdict::answer)
        static_cast<void>(at_command(fd, kErrorCodesCommand, mode_exchange));
    return mode;
}

RoundEnd send_round(int fd, Delivery &d, const DialogueTimeouts &timeouts)
{
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

void log_modem_state(int fd, const DialogueTimeouts &timeouts)
{
    std::array<char, kReportSize> state{};
    std::size_t used = 0;
    for (const char *command : kStateCommands) {
        const Reply reply =
            at_command(fd, command, listening_for(Awaited::ok, timeouts.prompt_seconds));
        if (reply.verdict == Verdict::none)
            break;  // not listening: the others would wait in vain too
        for (std::string_view rest = reply.text, line; !(line = next_info_line(rest)).empty();) {
            const int n =
                std::snprintf(state.data() + used, state.size() - used, "%s%.*s",
                              used == 0 ? "" : "; ", static_cast<int>(line.size()), line.data());
            used = std::min(used + static_cast<std::size_t>(std::max(n, 0)), state.size() - 1);
        }
    }
    report(LOG_ERR, kMsgStateFormat, used == 0 ? "no answer" : state.data());
}

int finish_delivery(const Delivery &d)
{
    bool failed = false;
    for (std::size_t who = 0; who < d.numbers.size(); ++who) {
        const RecipientState &r = d.recipients[who];
        failed = failed || !r.settled || r.failed;
        if (r.settled || r.answer_length == 0)
            continue;  // served, or said already; never tried: the mode line says why
        std::array<char, kCommandBufferSize> subject{};
        std::snprintf(subject.data(), subject.size(), "SMS to %s", d.numbers[who]);
        log_attempt(LOG_ERR, subject.data(), "not sent", {r.answer.data(), r.answer_length},
                    r.meaning, kMsgNoMoreTries);
    }
    if (!failed) {
        report(LOG_NOTICE, "%s", kMsgSent);
        return 0;
    }
    static const char *const kFixedLines[] = {kMsgSent, kMsgModeError, kMsgPromptError,
                                              kMsgRejected, kMsgNotConfirmed};
    report(LOG_ERR, "%s", kFixedLines[static_cast<int>(d.outcome)]);
    return 1;
}

int send_sms(int fd, std::span<char *const> numbers, const UserText &text, std::uint8_t reference,
             const DialogueTimeouts &timeouts)
{
    g_round = Delivery{numbers, text, reference};
    static_cast<void>(send_round(fd, g_round, timeouts));
    return finish_delivery(g_round);
}
