// What the run tells of its attempts: each failure judged by the policy,
// recorded and logged as the decision says, each part accepted, and the
// run's last lines.
#include "delivery.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <syslog.h>

namespace {

// The fixed lines a run ends with.
constexpr const char *kMsgModeError = "AT+CMGF=0 error.";
constexpr const char *kMsgPromptError = "AT+CMGS error.";
constexpr const char *kMsgRejected = "SMS rejected by modem.";
constexpr const char *kMsgNotConfirmed = "SMS not confirmed by modem.";
constexpr const char *kMsgSent = "SMS successfully sent.";
// A submission refused for a cause not the message's own, that outlasted
// every round or says that the modem cannot send, or a port that never
// came back: nothing says the message itself is at fault.
constexpr const char *kMsgGaveUp = "SMS not sent: no more tries.";
// --report: a message sent that a status report says was not delivered,
// or that none said was.
constexpr const char *kMsgUndelivered = "SMS not delivered.";
constexpr const char *kMsgUnreported = "SMS delivery not confirmed.";
// By Outcome; no port at the start: its own line said why.
const char *const kFixedLines[] = {
    kMsgSent,   kMsgModeError,     kMsgPromptError, kMsgRejected,   kMsgNotConfirmed,
    kMsgGaveUp, kMsgInvalidNumber, kMsgUndelivered, kMsgUnreported, nullptr};
static_assert(std::size(kFixedLines) == static_cast<std::size_t>(Outcome::no_port) + 1);

// A recipient served: the number and the <mr> of each part's "+CMGS: <mr>".
// In a pool, the device that sent it: "SMS to %s sent via <device>: ...".
constexpr const char *kMsgServedFormat = "SMS to %s sent%s%s: message reference%s %s.";
// A pool moved a copy that may have reached the network.
constexpr const char *kMsgTwiceFormat =
    "SMS to %s may arrive twice: the copy that failed may have reached the network.";
constexpr const char *kMsgUnknownReference = "unknown";  // a bare OK, or a duplicate
// A "+CMGS: <mr>" whose OK never came: the network took the message.
constexpr const char *kMsgWithoutOkFormat = "%s: \"%.*s\" came without its OK; taken as sent.";
// A failed attempt: "<subject> <failed|not sent>: <answer>[ (<meaning>)]<tail>",
// the subject "SMS to <number>[ part <k>/<n>]", "SMS" or "Mode command",
// and in a pool " via <device>".
constexpr const char *kMsgAttemptFormat = "%s %s: %.*s%s%s%s%s";
// The port's own line "No modem port: ...", then the tail.
constexpr const char *kMsgPortThenFormat = "%.*s%s";
// The tails, by Tail.
constexpr const char *kMsgRetryFormat = "; trying again in %d s.";
const char *const kTails[] = {kMsgRetryFormat,
                              "; no more tries.",
                              ".",
                              "; the modem cannot send.",
                              "; trying the next modem now.",
                              ""};
static_assert(std::size(kTails) == static_cast<std::size_t>(Tail::none) + 1);
constexpr const char *kNoRecipientSubject = "Mode command";
constexpr const char *kCannotSendSubject = "SMS";  // it stands for every recipient

using Subject = std::array<char, kCommandBufferSize>;

// The tail of an attempt's line, with the next round's pause.
Subject tail_of(Tail tail, int seconds)
{
    Subject text{};
    if (tail == Tail::retry)
        std::snprintf(text.data(), text.size(), kMsgRetryFormat, seconds);
    else
        std::snprintf(text.data(), text.size(), "%s", kTails[static_cast<int>(tail)]);
    return text;
}

void log_attempt(int priority, const char *subject, const char *verb, std::string_view answer,
                 const char *meaning, const Subject &tail)
{
    const bool explained = meaning[0] != '\0';
    report(priority, kMsgAttemptFormat, subject, verb, static_cast<int>(answer.size()),
           answer.data(), explained ? " (" : "", meaning, explained ? ")" : "", tail.data());
}

// "<what>[ via <device>]"
Subject via(const char *what, const char *device)
{
    Subject subject{};
    std::snprintf(subject.data(), subject.size(), "%s%s%s", what, device != nullptr ? kVia : "",
                  device != nullptr ? device : "");  // cut to fit
    return subject;
}

// "SMS to <number>[ part <k>/<n>][ via <device>]"
Subject name_recipient(const char *number, unsigned part, unsigned count,
                       const char *device = nullptr)
{
    Subject subject{};
    std::size_t used = 0;
    const auto add = [&](int n) {
        used = std::min(used + static_cast<std::size_t>(std::max(n, 0)), subject.size() - 1);
    };
    add(std::snprintf(subject.data(), subject.size(), "SMS to %s", number));
    if (count > 1)
        add(std::snprintf(subject.data() + used, subject.size() - used, " part %u/%u", part + 1,
                          count));
    if (device != nullptr)
        add(std::snprintf(subject.data() + used, subject.size() - used, "%s%s", kVia, device));
    return subject;
}

void log_decision(const Failure &f, const Decision &decision, const Subject &subject)
{
    const Cause &c = f.cause;
    const Subject tail = tail_of(decision.tail, decision.pause_seconds);
    // A run that goes on, here or on another modem, may yet succeed.
    const bool goes_on = decision.next == Next::retry || decision.next == Next::move;
    const int priority = goes_on ? LOG_WARNING : LOG_ERR;
    if (f.stage == Stage::port) {  // the port's own line says what happened
        report(priority, kMsgPortThenFormat, static_cast<int>(c.answer.size()), c.answer.data(),
               tail.data());
        return;
    }
    const bool failed = goes_on || (decision.next == Next::give_up && f.stage == Stage::mode);
    log_attempt(priority, subject.data(), failed ? "failed" : "not sent", c.answer, c.meaning,
                tail);
}

void log_served(const Delivery &d, std::size_t who, unsigned count)
{
    std::array<char, kCommandBufferSize> list{};
    std::size_t used = 0;
    for (unsigned k = 0; k < count && k < kMaxParts; ++k) {
        const int reference = d.recipients[who].references[k];
        const char *separator = k == 0 ? "" : ", ";
        const int n = reference < 0 ? std::snprintf(list.data() + used, list.size() - used, "%s%s",
                                                    separator, kMsgUnknownReference)
                                    : std::snprintf(list.data() + used, list.size() - used, "%s%d",
                                                    separator, reference);
        used = std::min(used + static_cast<std::size_t>(std::max(n, 0)), list.size() - 1);
    }
    const char *device = device_named(d);
    report(LOG_INFO, kMsgServedFormat, d.numbers[who], device != nullptr ? kVia : "",
           device != nullptr ? device : "", count > 1 ? "s" : "", list.data());
}

// What a decision says of the round, the run and the modem in use.
void follow(Delivery &d, const Decision &decision)
{
    if (decision.next == Next::retry)
        d.pause_seconds = decision.pause_seconds;
    d.end_run = d.end_run || decision.round == RoundStep::end_run;
    d.log_state = d.log_state || decision.log_state;
    // Only the latest decision moves: a next modem that could not be had
    // leaves the rounds to go on as that failure's decision says.
    d.move = decision.next == Next::move;
    if (d.move) {
        d.modem_states[d.modem].failed = true;
        d.modem_states[d.modem].out = d.modem_states[d.modem].out || decision.modem_out;
    }
}

// The failure stands for those it reaches, as the latest so far; a copy
// that may be out stands until a later submission of it is answered.
void stand(Delivery &d, const Decision &decision, const Failure &f, std::size_t who)
{
    const unsigned order = ++d.failures;
    const bool answered = f.stage == Stage::submit && !f.unanswered;
    for (std::size_t i = 0; i < d.numbers.size(); ++i) {
        RecipientState &r = d.recipients[i];
        const bool open = r.standing != Outcome::unconfirmed || (answered && i == who);
        const bool concerned =
            decision.reach == Reach::recipient ? i == who && open : !r.settled && open;
        if (concerned) {
            r.standing = decision.outcome;
            r.standing_order = order;
        }
    }
}

// The recipient's answer, for its give-up line; given up, it is settled.
void keep_answer(RecipientState &r, const Cause &cause, const Decision &decision)
{
    r.answer_length = std::min(cause.answer.size(), r.answer.size());
    std::copy_n(cause.answer.begin(), r.answer_length, r.answer.begin());
    r.meaning = cause.meaning;
    r.settled = r.failed = r.failed || decision.next == Next::give_up;
}

}  // namespace

Decision judge_failure(Delivery &d, const Failure &f, std::size_t who, unsigned part,
                       unsigned count)
{
    const bool recipient = who != kNoRecipient;
    const long long now = monotonic_ms();
    const History before = recipient ? d.recipients[who].history : History{};
    const RetryClock clock = {d.round, d.first_failure_ms, now, d.pause_seconds, d.started};
    const Decision decision = decide(f, before, clock, d.plan, pool_view(d));
    if (decision.timed && d.first_failure_ms < 0)
        d.first_failure_ms = now;
    if (decision.next == Next::sent)
        return decision;
    follow(d, decision);
    stand(d, decision, f, who);
    const char *device = device_named(d);
    // A failure that means the modem cannot send stands for every recipient.
    const bool cannot_send = decision.next == Next::cannot_send;
    const Subject subject = cannot_send ? via(kCannotSendSubject, device)
                            : recipient ? name_recipient(d.numbers[who], part, count, device)
                                        : via(kNoRecipientSubject, device);
    if (recipient) {
        RecipientState &r = d.recipients[who];
        r.history = remember(before, f);
        if (decision.reach == Reach::recipient)
            keep_answer(r, f.cause, decision);
    }
    log_decision(f, decision, subject);
    if (recipient && decision.may_arrive_twice)
        report(LOG_WARNING, kMsgTwiceFormat, d.numbers[who]);
    return decision;
}

void record_accepted(Delivery &d, std::size_t who, unsigned part, unsigned count, int reference,
                     std::string_view without_ok)
{
    RecipientState &r = d.recipients[who];
    if (!without_ok.empty())
        report(LOG_WARNING, kMsgWithoutOkFormat, name_recipient(d.numbers[who], part, count).data(),
               static_cast<int>(without_ok.size()), without_ok.data());
    r.references[part] = reference;
    r.accepted = part + 1;
    r.accepted_on = d.modem;
    r.history = remember_accepted(r.history);
    if (r.accepted < count)
        return;
    r.settled = true;
    log_served(d, who, count);
}

const char *device_named(const Delivery &d)
{
    return d.pool && d.modems > 1 && d.device != nullptr ? d.device : nullptr;
}

int finish_delivery(const Delivery &d)
{
    bool failed = false;
    Outcome last = Outcome::gave_up;  // should no failure have been recorded
    unsigned latest = 0;
    for (std::size_t who = 0; who < d.numbers.size(); ++who) {
        const RecipientState &r = d.recipients[who];
        const bool served = r.settled && !r.failed;
        failed = failed || !served;
        // A failure that a later attempt recovered from stands for nobody.
        if (!served && r.standing != Outcome::sent && r.standing_order >= latest) {
            last = r.standing;
            latest = r.standing_order;
        }
        if (r.settled || r.answer_length == 0)
            continue;  // served, or said already; never tried: the mode line says why
        log_attempt(LOG_ERR, name_recipient(d.numbers[who], 0, 1).data(), "not sent",
                    {r.answer.data(), r.answer_length}, r.meaning,
                    tail_of(Tail::no_more_tries, -1));
    }
    if (!failed) {
        report(LOG_NOTICE, "%s", kMsgSent);
        return 0;
    }
    if (const char *line = kFixedLines[static_cast<int>(last)]; line != nullptr)
        report(LOG_ERR, "%s", line);
    return 1;
}
