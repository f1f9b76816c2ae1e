// The retry policy: what a modem's error says about trying again, and the
// one decision on every failure. The codes are those of
// +CMS ERROR (3GPP TS 27.005 3.2.5: RP causes of TS 24.011 annex E-2 below
// 128, TP-FCS of TS 23.040 9.2.3.22 from 128, the ME's own from 300) and
// +CME ERROR (TS 27.007 9.2). Whatever is not listed as fatal or as the
// recipient's is taken as temporary: a duplicate alarm is better than a
// lost one.
#include "policy.h"

#include "at.h"
#include "base.h"
#include "pdu.h"

#include <charconv>

namespace {

enum class Family { cms, cme };

// Codes with a rule of their own.
constexpr int kCmsNetworkOutOfOrder = 38;  // likely to last: tried again once only
constexpr int kCmsDuplicate = 197;         // what TP-RD asks for: the first copy arrived
constexpr int kCmsNetworkTimeout = 332;    // no answer in time: it may have gone
constexpr int kCmeNetworkTimeout = 31;
constexpr long long kMillisPerSecond = 1000;
constexpr int kStatusReceived = 0x00;  // TP-ST: short message received by the SME

struct FailureRule {
    Family family;
    int first;
    int last;
    FailureKind kind;
    const char *meaning;
    bool theirs = false;  // a passing cause on the recipient's side
};

constexpr FailureKind kTemporary = FailureKind::temporary;
constexpr FailureKind kRecipient = FailureKind::recipient;
constexpr FailureKind kFatal = FailureKind::fatal;

}  // namespace

// Code (or range) -> kind -> meaning, in the order of the standards.
static const FailureRule kFailureRules[] = {
    {Family::cms, 1, 1, kRecipient, "unassigned number"},
    {Family::cms, 8, 8, kFatal, "operator determined barring"},
    {Family::cms, 10, 10, kRecipient, "call barred"},
    {Family::cms, 21, 21, kRecipient, "short message transfer rejected"},
    {Family::cms, 27, 27, kTemporary, "destination out of order", true},
    {Family::cms, 28, 28, kFatal, "unidentified subscriber"},
    {Family::cms, 29, 29, kRecipient, "facility rejected"},
    {Family::cms, 30, 30, kRecipient, "unknown subscriber"},
    {Family::cms, 38, 38, kTemporary, "network out of order"},
    {Family::cms, 41, 41, kTemporary, "temporary failure"},
    {Family::cms, 42, 42, kTemporary, "congestion"},
    {Family::cms, 47, 47, kTemporary, "resources unavailable"},
    {Family::cms, 50, 50, kFatal, "requested facility not subscribed"},
    {Family::cms, 96, 96, kRecipient, "invalid mandatory information"},
    {Family::cms, 128, 143, kRecipient, "protocol identifier not supported"},
    {Family::cms, 144, 159, kRecipient, "data coding scheme not supported"},
    {Family::cms, 160, 175, kRecipient, "command not supported"},
    {Family::cms, 176, 176, kRecipient, "TPDU not supported"},
    {Family::cms, 177, 191, kRecipient, "reserved"},
    {Family::cms, 192, 192, kTemporary, "SC busy"},
    {Family::cms, 193, 193, kFatal, "no SC subscription"},
    {Family::cms, 194, 194, kTemporary, "SC system failure"},
    {Family::cms, 195, 195, kRecipient, "invalid SME address"},
    {Family::cms, 196, 196, kRecipient, "destination SME barred"},
    {Family::cms, 197, 197, kTemporary, "duplicate message rejected", true},
    {Family::cms, 198, 199, kRecipient, "validity period not supported"},
    {Family::cms, 300, 300, kTemporary, "ME failure"},
    {Family::cms, 302, 302, kFatal, "operation not allowed"},
    {Family::cms, 303, 303, kFatal, "operation not supported"},
    {Family::cms, 304, 304, kRecipient, "invalid PDU mode parameter"},
    {Family::cms, 305, 305, kFatal, "invalid text mode parameter"},
    {Family::cms, 310, 310, kFatal, "SIM not inserted"},
    {Family::cms, 311, 311, kFatal, "SIM PIN required"},
    {Family::cms, 312, 312, kFatal, "PH-SIM PIN required"},
    {Family::cms, 313, 313, kFatal, "SIM failure"},
    {Family::cms, 314, 314, kTemporary, "SIM busy"},
    {Family::cms, 315, 315, kFatal, "SIM wrong"},
    {Family::cms, 316, 316, kFatal, "SIM PUK required"},
    {Family::cms, 317, 317, kFatal, "SIM PIN2 required"},
    {Family::cms, 318, 318, kFatal, "SIM PUK2 required"},
    {Family::cms, 330, 330, kFatal, "SMSC address unknown"},
    {Family::cms, 331, 331, kTemporary, "no network service"},
    {Family::cms, 332, 332, kTemporary, "network timeout"},
    {Family::cms, 500, 500, kTemporary, "unknown error"},
    {Family::cms, 512, 0x7fffffff, kTemporary, "manufacturer specific"},
    {Family::cme, 3, 3, kFatal, "operation not allowed"},
    {Family::cme, 4, 4, kFatal, "operation not supported"},
    {Family::cme, 5, 5, kFatal, "PH-SIM PIN required"},
    {Family::cme, 6, 6, kFatal, "PH-FSIM PIN required"},
    {Family::cme, 7, 7, kFatal, "PH-FSIM PUK required"},
    {Family::cme, 10, 10, kFatal, "SIM not inserted"},
    {Family::cme, 11, 11, kFatal, "SIM PIN required"},
    {Family::cme, 12, 12, kFatal, "SIM PUK required"},
    {Family::cme, 13, 13, kFatal, "SIM failure"},
    {Family::cme, 14, 14, kTemporary, "SIM busy"},
    {Family::cme, 15, 15, kFatal, "SIM wrong"},
    {Family::cme, 16, 16, kFatal, "incorrect password"},
    {Family::cme, 17, 17, kFatal, "SIM PIN2 required"},
    {Family::cme, 18, 18, kFatal, "SIM PUK2 required"},
    {Family::cme, 24, 24, kRecipient, "text string too long"},
    {Family::cme, 25, 25, kRecipient, "invalid characters in text string"},
    {Family::cme, 26, 26, kRecipient, "dial string too long"},
    {Family::cme, 27, 27, kRecipient, "invalid characters in dial string"},
    {Family::cme, 30, 30, kTemporary, "no network service"},
    {Family::cme, 31, 31, kTemporary, "network timeout"},
    {Family::cme, 40, 47, kFatal, "personalisation PIN or PUK required"},
    {Family::cme, 56, 56, kRecipient, "not a fixed dialling number"},
    {Family::cme, 62, 62, kRecipient, "call barred"},
    {Family::cme, 100, 100, kTemporary, "unknown error"},
    {Family::cme, 103, 103, kFatal, "illegal MS"},
    {Family::cme, 106, 106, kFatal, "illegal ME"},
    {Family::cme, 111, 111, kFatal, "PLMN not allowed"},
    {Family::cme, 112, 112, kFatal, "location area not allowed"},
    {Family::cme, 113, 113, kFatal, "roaming not allowed in this location area"},
    {Family::cme, 512, 0x7fffffff, kTemporary, "manufacturer specific"},
};

Cause classify_answer(std::string_view line)
{
    Cause cause = {FailureKind::temporary, line, "", -1};
    Family family = Family::cms;
    std::string_view rest = line;
    if (line.starts_with(kCmsErrorPrefix)) {
        rest.remove_prefix(kCmsErrorPrefix.size());
    } else if (line.starts_with(kCmeErrorPrefix)) {
        family = Family::cme;
        rest.remove_prefix(kCmeErrorPrefix.size());
    } else {
        return cause;  // a bare ERROR says nothing more
    }
    rest = trim_blanks(rest);
    int code = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), code);
    if (error != std::errc{} || end != rest.data() + rest.size())
        return cause;  // a verbose text (AT+CMEE=2) says it in words
    cause.code = code;
    cause.cms = family == Family::cms;
    for (const FailureRule &rule : kFailureRules) {
        if (rule.family == family && code >= rule.first && code <= rule.last) {
            cause.kind = rule.kind;
            cause.meaning = rule.meaning;
            cause.theirs = rule.theirs;
            break;
        }
    }
    return cause;
}

namespace {

bool cms(const Cause &cause, int code)
{
    return cause.cms && cause.code == code;
}

// A network that did not answer in time may have taken the message.
bool network_timeout(const Cause &cause)
{
    return cause.code == (cause.cms ? kCmsNetworkTimeout : kCmeNetworkTimeout);
}

// The next round's pause, if one may still start: the one this round
// promised already, or the plan's next wait (its last once all are used),
// within the window after the run's first failure (this one, if none came
// before).
Decision next_round(const RetryClock &clock, const RetryPlan &plan)
{
    if (clock.promised_pause >= 0)
        return {Next::retry, RoundStep::go_on, clock.promised_pause};
    if (plan.waits.empty())
        return {Next::give_up};
    const int wait = clock.round < plan.waits.size() ? plan.waits[clock.round] : plan.waits.back();
    const long long first = clock.first_failure_ms < 0 ? clock.now_ms : clock.first_failure_ms;
    if (clock.now_ms + kMillisPerSecond * wait > first + kMillisPerSecond * plan.window_seconds)
        return {Next::give_up};
    return {Next::retry, RoundStep::go_on, wait};
}

// The line a run that failed ends with, should this failure stand. A
// message is refused for good only by a cause of its own.
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
    case Stage::number:
        return Outcome::invalid_number;
    case Stage::port:
        break;
    }
    return Outcome::gave_up;
}

}  // namespace

Decision decide(const Failure &failure, const History &history, const RetryClock &clock,
                const RetryPlan &plan, const PoolView &pool)
{
    const Cause &cause = failure.cause;
    const Outcome outcome = outcome_of(failure);
    // A copy of a part whose answer went missing, that the service centre
    // turned away as a duplicate: the first one got there. After a plain
    // refusal there is no first one.
    if (failure.stage == Stage::submit && history.maybe_sent && cms(cause, kCmsDuplicate))
        return {Next::sent};
    // No port at the run's start: nothing was tried, and the port's own
    // line says why; waiting longer is the port's business, not a round's.
    if (failure.stage == Stage::port && !clock.started)
        return {Next::give_up, RoundStep::end_run, -1, Reach::unsettled, Outcome::no_port};
    // A number the caller let through but no PDU can carry: never send a
    // broken PDU, and the others still go.
    if (failure.stage == Stage::number)
        return {Next::give_up, RoundStep::go_on, -1, Reach::recipient, outcome, Tail::refused};
    // Before a recipient is named (the mode command, the port) a failure
    // stands for all of them, and nothing more goes out this round.
    const bool named = failure.stage == Stage::prompt || failure.stage == Stage::submit;
    const Reach reach = named ? Reach::recipient : Reach::unsettled;
    // The modem's or its network's failure, not the recipient's: another
    // modem of the pool may send now. A copy that may have reached the
    // network moves too: the modem that left it unanswered, or a network
    // that timed out, is the likeliest to fail again, and an alarm late is
    // worse than an alarm twice (TP-RD would only help before the same
    // service centre).
    const bool modems =
        cause.kind == FailureKind::fatal || (cause.kind == FailureKind::temporary && !cause.theirs);
    if (pool.other_modem && modems) {
        Decision move = {Next::move, RoundStep::end_round, -1, reach, outcome, Tail::move};
        move.modem_out = cause.kind == FailureKind::fatal;
        move.may_arrive_twice = remember(history, failure).maybe_sent;
        return move;
    }
    if (cause.kind == FailureKind::fatal)
        return {Next::cannot_send, RoundStep::end_run, -1, Reach::unsettled,
                outcome,           Tail::cannot_send};
    const RoundStep step = !named || failure.unanswered ? RoundStep::end_round : RoundStep::go_on;
    // A recipient's cause says nothing about a recipient before one is named.
    if (cause.kind == FailureKind::recipient && named)
        return {Next::give_up, step, -1, reach, outcome, Tail::refused};
    // A silent modem has no state to tell; a passing cause that outlasted
    // the rounds may show in the SIM, the registration or the signal.
    const bool log_state =
        failure.stage == Stage::mode ? !failure.unanswered : cause.kind == FailureKind::temporary;
    const Decision given_up = {Next::give_up,       step,     -1, reach, outcome,
                               Tail::no_more_tries, log_state};
    // The network says it will be out for a while: one more try at most.
    if (cms(cause, kCmsNetworkOutOfOrder) && history.network_down)
        return given_up;
    const Decision round = next_round(clock, plan);
    if (round.next != Next::retry) {
        Decision d = given_up;
        d.timed = true;
        return d;
    }
    return {Next::retry, step, round.pause_seconds, reach, outcome, Tail::retry, false, true};
}

History remember(History history, const Failure &failure)
{
    history.network_down = history.network_down || cms(failure.cause, kCmsNetworkOutOfOrder);
    if (failure.stage == Stage::submit && failure.written) {
        history.resubmit = true;
        history.maybe_sent =
            history.maybe_sent || failure.unanswered || network_timeout(failure.cause);
    }
    return history;
}

History remember_accepted(History history)
{
    history.resubmit = history.maybe_sent = false;
    return history;
}

ReportDecision decide_report(int status, bool told)
{
    if (status < 0)
        return {Fate::not_confirmed, true, true, false, Outcome::unreported};
    switch (status_class(static_cast<std::uint8_t>(status))) {
    case StatusClass::delivered:
        return {Fate::delivered, true, false, status != kStatusReceived};
    case StatusClass::still_trying:
        return {Fate::still_trying, false, !told};
    case StatusClass::not_delivered:
        break;
    }
    return {Fate::not_delivered, true, true, false, Outcome::undelivered};
}
