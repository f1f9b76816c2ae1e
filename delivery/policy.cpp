// The retry policy: the one decision on every failure, and on every
// delivery report. What an error's code means is the table's (causes.cpp).
#include "policy.h"

#include "pdu.h"

namespace {

// Codes with a rule of their own.
constexpr int kCmsNetworkOutOfOrder = 38;  // likely to last: tried again once only
constexpr int kCmsDuplicate = 197;         // what TP-RD asks for: the first copy arrived
constexpr int kCmsNetworkTimeout = 332;    // no answer in time: it may have gone
constexpr int kCmeNetworkTimeout = 31;
constexpr long long kMillisPerSecond = 1000;
constexpr int kStatusReceived = 0x00;  // TP-ST: short message received by the SME

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
        if (f.unanswered)  // a PDU not written whole never went out
            return f.written ? Outcome::unconfirmed : Outcome::gave_up;
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
