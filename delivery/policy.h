// The retry policy: what a modem's error says, and the one decision on
// every failure of a run.
//
// Contract: classify_answer() tells what an error final result line says: a
// code of +CMS ERROR (3GPP TS 27.005 3.2.5) or +CME ERROR (TS 27.007 9.2),
// its meaning and its kind. decide() takes a failure, what the recipient has
// been through and where the run stands in time, and returns the whole
// consequence: what becomes of the recipient (or of every one not yet
// served), what the round does next, the pause before the next round, the
// line the run ends with should this failure stand, how the attempt's log
// line ends, and whether the modem's state is worth asking. Nothing here
// does I/O; the delivery records and logs what the decision says.
#pragma once

#include <span>
#include <string_view>

// How a failure bears on the run: try again later; this recipient's
// message will not go; or the modem cannot send at all now.
enum class FailureKind { temporary, recipient, fatal };

// A modem's error answer (or what stands for a missing one) and what it means.
struct Cause {
    FailureKind kind;
    std::string_view answer;
    const char *meaning;  // from the table of codes; "" when it has none
    int code;             // -1 when the answer holds no number
    bool cms = false;     // a +CMS ERROR code, not a +CME one
    // A passing cause on the recipient's side (its phone is off, a copy
    // already there): another modem would meet it too.
    bool theirs = false;
};

// Classifies an error final result line: "+CMS ERROR: <n>", "+CME ERROR:
// <n>", a verbose "+CMS ERROR: <text>" or a bare "ERROR".
Cause classify_answer(std::string_view line);

// Where a failure happened: the mode command, a prompt, a submission, the
// port that could not be taken (the answer is then the port's own "No
// modem port: ..." line), or a recipient whose PDUs cannot be built.
enum class Stage { mode, prompt, submit, port, number };

struct Failure {
    Stage stage;
    Cause cause;
    bool unanswered = false;  // no final result came at all
    bool written = false;     // a submission's PDU went out whole
};

// What one recipient has been through, as far as the policy cares.
struct History {
    bool resubmit = false;      // a part was submitted before: its copy carries TP-RD
    bool maybe_sent = false;    // ... and may have reached the network
    bool network_down = false;  // +CMS ERROR: 38 once: likely to last
};

// The history after a failure, whatever was decided.
History remember(History history, const Failure &failure);
// The history once a part was accepted: the next part is a new message.
History remember_accepted(History history);

// When rounds of retries start: the pause before each, and how long after
// the run's first failure a round may still start.
struct RetryPlan {
    std::span<const int> waits;
    int window_seconds;
};

// Where the delivery stands in time.
struct RetryClock {
    unsigned round;              // rounds started before the current one
    long long first_failure_ms;  // monotonic; -1 before any
    long long now_ms;
    int promised_pause = -1;  // the next round's pause, if this round promised one
    bool started = true;      // a round began on some modem: the run is past its start
};

// The modems of a pool, as far as the policy cares: whether one that has
// not failed in this round, and may still be asked, is left to move to.
struct PoolView {
    bool other_modem = false;
};

// What follows for the recipient, or for every one not yet served: the
// part went after all (a duplicate of a copy that got there), try again in
// the next round, this recipient is done, the modem cannot send at all, or
// the recipients not yet served move to another modem of the pool now.
enum class Next { sent, retry, give_up, cannot_send, move };

// What the round does next: the next part or recipient; nothing more (the
// modem left an exchange unanswered, or is not in PDU mode, or there is no
// port): the rest wait for the next round; or no round follows.
enum class RoundStep { go_on, end_round, end_run };

// Whom a failure stands for: the recipient it happened to; or, before any
// is named or when the modem cannot send, every one not yet served but one
// whose submission went unanswered (that message may be out, unconfirmed).
enum class Reach { recipient, unsettled };

// The fixed line a failed run ends with, by the failure that stands last:
// the mode command, a prompt, a message refused for good, a submission
// never answered, anything else that outlasted the rounds, a number that
// cannot be sent to, a message sent but reported not delivered, or sent
// and never reported delivered; or no port at the start (its own line said
// why).
enum class Outcome {
    sent,
    mode,
    prompt,
    rejected,
    unconfirmed,
    gave_up,
    invalid_number,
    undelivered,
    unreported,
    no_port
};

// How the attempt's log line ends: "; trying again in <n> s.", "; no more
// tries.", "." (refused for a cause of its own), "; the modem cannot send.",
// "; trying the next modem now.", or the port's own line alone.
enum class Tail { retry, no_more_tries, refused, cannot_send, move, none };

struct Decision {
    Next next;
    RoundStep round = RoundStep::go_on;
    int pause_seconds = -1;  // before the next round, for a retry
    Reach reach = Reach::recipient;
    Outcome outcome = Outcome::sent;
    Tail tail = Tail::none;
    bool log_state = false;  // given up on a passing cause: the modem's state tells why
    bool timed = false;      // the retry plan decided: the run's first failure counts from here
    bool modem_out = false;  // moved for a cause that lasts: not asked again in this run
    bool may_arrive_twice = false;  // moved after a copy that may have reached the network
};

Decision decide(const Failure &failure, const History &history, const RetryClock &clock,
                const RetryPlan &plan, const PoolView &pool = {});

// What a status report says of the part it answers (3GPP TS 23.040
// 9.2.3.15), or, at the wait's end, that none came: delivered; the
// service centre still trying (wait on); not delivered (the recipient
// fails, and nothing is sent again: the centre itself gave up); or not
// confirmed.
enum class Fate { delivered, still_trying, not_delivered, not_confirmed };

struct ReportDecision {
    Fate fate;
    bool final = false;  // no later report changes the part's fate
    bool tell = false;   // a line now: not delivered, or the first "still trying"
    bool noted = false;  // delivered, with a status other than "received" that the line names
    Outcome outcome = Outcome::sent;  // the run's last line, should this stand
};

// `status`: the report's TP-ST, or -1 when the wait ended without one.
// `told`: the recipient's "still trying" was logged already.
ReportDecision decide_report(int status, bool told);
