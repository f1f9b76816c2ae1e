// What the run tells of its failures: each one judged by the policy,
// recorded and logged with what follows, and the run's last lines.
#include "delivery.h"

#include "base.h"
#include "report.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <syslog.h>

namespace {

using Subject = std::array<char, kCommandBufferSize>;

// One line for one failed attempt, as kMsgAttemptFormat says. `next` is
// what follows; with `seconds`, the pause before the next round.
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

// "SMS to <number>[ part <k>/<n>]"
void name_recipient(Subject &subject, const char *number, unsigned part, unsigned count)
{
    const int n = std::snprintf(subject.data(), subject.size(), "SMS to %s", number);
    if (count > 1 && n > 0)
        std::snprintf(subject.data() + n, subject.size() - static_cast<std::size_t>(n),
                      " part %u/%u", part + 1, count);
}

// The fixed line that this failure would end the run with, if it stands.
// A message is refused for good only by a cause of its own.
Outcome outcome_of(const Failure &f)
{
    switch (f.stage) {
    case Stage::mode:
        return Outcome::mode;
    case Stage::prompt:
        return Outcome::prompt;
    case Stage::submit:
        if (f.unanswered)
            return Outcome::unconfirmed;
        return f.cause.kind == FailureKind::recipient ? Outcome::rejected : Outcome::gave_up;
    case Stage::port:
        break;
    }
    return Outcome::gave_up;
}

// The port could not be taken again: its own line, and what follows.
void log_port(const Failure &f, const Decision &decision)
{
    std::array<char, kCommandBufferSize> what_next{};
    std::snprintf(what_next.data(), what_next.size(), kMsgRetryFormat, decision.seconds);
    const bool retry = decision.next == Next::retry;
    report(retry ? LOG_WARNING : LOG_ERR, kMsgPortFormat, static_cast<int>(f.cause.answer.size()),
           f.cause.answer.data(), retry ? what_next.data() : kMsgNoMoreTries);
}

void log_decision(const Failure &f, const Decision &decision, const char *subject)
{
    const Cause &c = f.cause;
    const bool mode = f.stage == Stage::mode;
    switch (decision.next) {
    case Next::sent:
        return;
    case Next::stop:
        log_attempt(LOG_ERR, "SMS", "not sent", c.answer, c.meaning, kMsgCannotSend);
        return;
    case Next::retry:
        log_attempt(LOG_WARNING, subject, "failed", c.answer, c.meaning, "", decision.seconds);
        return;
    case Next::give_up:
        log_attempt(LOG_ERR, subject, mode ? "failed" : "not sent", c.answer, c.meaning,
                    c.kind == FailureKind::recipient && !mode ? "." : kMsgNoMoreTries);
        return;
    }
}

}  // namespace

Decision judge_failure(Delivery &d, const Failure &f, std::size_t who, unsigned part,
                       unsigned count)
{
    const bool recipient = who != kNoRecipient;
    const long long now = monotonic_ms();
    const History before = recipient ? d.recipients[who].history : History{};
    const Decision decision = decide(f, before, {d.round, d.first_failure_ms, now}, d.plan);
    if (decision.timed && d.first_failure_ms < 0)
        d.first_failure_ms = now;
    if (decision.next == Next::retry && d.pause_seconds < 0)
        d.pause_seconds = decision.seconds;  // the pause that this round's first retry promised
    if (decision.next == Next::sent)
        return decision;
    // It stands for the recipient, or, before any is named or when the
    // modem cannot send, for every one not yet settled, but one whose
    // submission went unanswered: that message may be out, unconfirmed.
    const unsigned order = ++d.failures;
    for (std::size_t i = 0; i < d.numbers.size(); ++i) {
        RecipientState &r = d.recipients[i];
        const bool concerned = recipient && decision.next != Next::stop
                                   ? i == who
                                   : !r.settled && r.standing != Outcome::unconfirmed;
        if (concerned) {
            r.standing = outcome_of(f);
            r.standing_order = order;
        }
    }
    Subject subject = {"Mode command"};
    if (recipient) {
        RecipientState &r = d.recipients[who];
        r.history = remember(before, f);
        name_recipient(subject, d.numbers[who], part, count);
    }
    // The run stops on a fatal cause, and the stop's own line says why.
    if (recipient && decision.next != Next::stop) {
        RecipientState &r = d.recipients[who];
        r.answer_length = std::min(f.cause.answer.size(), r.answer.size());
        std::copy_n(f.cause.answer.begin(), r.answer_length, r.answer.begin());
        r.meaning = f.cause.meaning;
        r.settled = r.failed = r.failed || decision.next == Next::give_up;
    }
    if (decision.next == Next::give_up && f.stage == Stage::mode)
        d.gave_up = !f.unanswered;  // a silent modem has no state to tell
    else if (decision.next == Next::give_up)
        d.gave_up = d.gave_up || f.cause.kind == FailureKind::temporary;
    if (f.stage == Stage::port)
        log_port(f, decision);
    else
        log_decision(f, decision, subject.data());
    return decision;
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
    report(LOG_INFO, kMsgServedFormat, d.numbers[who], count > 1 ? "s" : "", list.data());
}

int finish_delivery(const Delivery &d)
{
    if (d.no_port)
        return 1;
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
        Subject subject{};
        name_recipient(subject, d.numbers[who], 0, 1);
        log_attempt(LOG_ERR, subject.data(), "not sent", {r.answer.data(), r.answer_length},
                    r.meaning, kMsgNoMoreTries);
    }
    if (!failed) {
        report(LOG_NOTICE, "%s", kMsgSent);
        return 0;
    }
    static const char *const kFixedLines[] = {kMsgSent,     kMsgModeError,    kMsgPromptError,
                                              kMsgRejected, kMsgNotConfirmed, kMsgGaveUp};
    report(LOG_ERR, "%s", kFixedLines[static_cast<int>(last)]);
    return 1;
}
