// Delivering one text to every recipient: the AT dialogue of PDU mode (3GPP
// TS 27.005), rounds of retries with the port given back in between, and
// the retry policy that decides what each failure means.
//
// Contract: deliver() takes the port, sends every part to every recipient
// in order, and between rounds gives the port back and pauses; every
// failure is judged by decide(), the one place that says what comes next,
// and logged with that decision. A stop signal seen in any wait unwinds to
// the caller, which gives the port back. finish_delivery() logs what became
// of the recipients and the run's last line, and gives the exit status.
#pragma once

#include "at.h"
#include "pdu.h"
#include "port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t kMaxRecipients = 19;
inline constexpr std::size_t kCommandBufferSize = 512;
inline constexpr std::size_t kHexBufferSize = 400;
static_assert(2 * kMaxPduOctets + 1 <= kHexBufferSize, "a PDU's hex must fit its buffer");
static_assert(2 * kMaxPduOctets + 2 <= kCommandBufferSize, "hex and Ctrl-Z must fit a command");

inline constexpr const char *kModeCommand = "ATE0+CMGF=0\r";  // echo off, PDU mode
inline constexpr const char *kSubmitFormat = "AT+CMGS=%u\r";
// Numeric +CMS/+CME ERROR codes: many modems say a bare ERROR until asked.
inline constexpr const char *kErrorCodesCommand = "AT+CMEE=1\r";
// Questions about the modem's state: the SIM, the registration (circuit
// and packet domain), the signal, and the service centre's address.
struct StateQuery {
    const char *command;
    std::string_view answer;  // the prefix of its own information line
};
inline constexpr std::array<StateQuery, 5> kModemQueries = {{{"AT+CPIN?\r", "+CPIN:"},
                                                             {"AT+CREG?\r", "+CREG:"},
                                                             {"AT+CEREG?\r", "+CEREG:"},
                                                             {"AT+CSQ\r", "+CSQ:"},
                                                             {"AT+CSCA?\r", "+CSCA:"}}};
// What a run that gives up asks the modem, so that the log tells whether
// the SIM, the registration or the antenna is at fault.
inline constexpr auto kStateQueries = std::span(kModemQueries).first<4>();

inline constexpr const char *kMsgInvalidNumber = "Invalid phone number.";
inline constexpr const char *kMsgModeError = "AT+CMGF=0 error.";
inline constexpr const char *kMsgPromptError = "AT+CMGS error.";
inline constexpr const char *kMsgRejected = "SMS rejected by modem.";
inline constexpr const char *kMsgNotConfirmed = "SMS not confirmed by modem.";
inline constexpr const char *kMsgSent = "SMS successfully sent.";
// A submission refused for a cause not the message's own, that outlasted
// every round or says that the modem cannot send, or a port that never
// came back: nothing says the message itself is at fault.
inline constexpr const char *kMsgGaveUp = "SMS not sent: no more tries.";
// A recipient served: the number and the <mr> of each part's "+CMGS: <mr>".
inline constexpr const char *kMsgServedFormat = "SMS to %s sent: message reference%s %s.";
inline constexpr const char *kMsgUnknownReference = "unknown";  // a bare OK, or a duplicate
inline constexpr int kMaxMessageReference = 255;
// A port that could not be taken again between rounds: its own line, and
// what follows.
inline constexpr const char *kMsgPortFormat = "%.*s%s";
// A failed attempt: "<subject> <failed|not sent>: <answer>[ (<meaning>)]<what next>",
// the subject "SMS to <number>[ part <k>/<n>]", "SMS" or "Mode command".
inline constexpr const char *kMsgAttemptFormat = "%s %s: %.*s%s%s%s%s";
inline constexpr const char *kMsgRetryFormat = "; trying again in %d s.";
inline constexpr const char *kMsgNoMoreTries = "; no more tries.";
inline constexpr const char *kMsgCannotSend = "; the modem cannot send.";
inline constexpr const char *kMsgStateFormat = "Modem state: %s";
inline constexpr std::string_view kNoPrompt = "no prompt";  // what a failure's answer was
inline constexpr std::string_view kNoAnswer = "no answer";

// How long each exchange waits for the modem's answer. The mode command and
// the prompt give up after this much silence, and at twice this after the
// write whatever arrives; a submission waits this long for its final
// result, which the network may take minutes to give.
struct DialogueTimeouts {
    int mode_seconds;    // the PDU-mode command
    int prompt_seconds;  // the "> " after AT+CMGS
    int submit_seconds;  // the final result of a submitted PDU
};

inline constexpr DialogueTimeouts kDialogueTimeouts = {10, 5, 180};

// ---- The retry policy ----

// How a failure bears on the run: try again later; this recipient's
// message will not go; or the modem cannot send at all now.
enum class FailureKind { temporary, recipient, fatal };

// A modem's error answer (or kNoPrompt, kNoAnswer) and what it means.
struct Cause {
    FailureKind kind;
    std::string_view answer;
    const char *meaning;  // from the table of codes; "" when it has none
    int code;             // -1 when the answer holds no number
    bool cms = false;     // a +CMS ERROR code, not a +CME one
};

// Classifies an error final result line: "+CMS ERROR: <n>", "+CME ERROR:
// <n>", a verbose "+CMS ERROR: <text>" or a bare "ERROR".
Cause classify_answer(std::string_view line);

// Where a failure happened: the mode command, a prompt, a submission, or
// the port that could not be taken again between rounds (the answer is
// then the port's own "No modem port: ..." line).
enum class Stage { mode, prompt, submit, port };

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

// When rounds of retries start: the pause before each (the last one again
// once all are used), and how long after the run's first failure a round
// may still start.
struct RetryPlan {
    std::span<const int> waits;
    int window_seconds;
};

inline constexpr RetryPlan kRetryPlan = {kRetryWaitSeconds, kRetryWindowSeconds};

// Where the delivery stands in time.
struct RetryClock {
    unsigned round;              // rounds started before the current one
    long long first_failure_ms;  // monotonic; -1 before any
    long long now_ms;
};

// What follows a failure: the part went after all (a duplicate of a copy
// that got there), try again in `seconds`, this recipient is done, or the
// run must stop.
enum class Next { sent, retry, give_up, stop };

struct Decision {
    Next next;
    int seconds = -1;    // for retry
    bool timed = false;  // the retry plan decided: the run's first failure counts from here
};

Decision decide(const Failure &failure, const History &history, const RetryClock &clock,
                const RetryPlan &plan);

// The history after a failure, whatever was decided.
History remember(History history, const Failure &failure);

// ---- The delivery ----

// The fixed line that ends a run that failed, by the failure that stands
// last for a recipient not served: the mode command, a prompt, a message
// refused for good, a submission never answered, or anything else that
// outlasted the rounds (kMsgGaveUp).
enum class Outcome { sent, mode, prompt, rejected, unconfirmed, gave_up };

// What becomes of the run's recipients across rounds.
struct RecipientState {
    unsigned accepted = 0;  // parts the modem confirmed, in order: a retry goes on here
    bool settled = false;   // every part confirmed, or given up
    bool failed = false;    // given up
    History history{};
    std::array<char, kLineKeep> answer{};  // the last failure, for the give-up line
    std::size_t answer_length = 0;
    const char *meaning = "";
    Outcome standing = Outcome::sent;         // what the latest failure that concerns it says
    unsigned standing_order = 0;              // ... and when, counted over the run
    std::array<int, kMaxParts> references{};  // each accepted part's <mr>, -1 when none came
};

// One run's messages and how far they got.
struct Delivery {
    std::span<char *const> numbers;
    UserText text;
    std::uint8_t reference;
    RetryPlan plan{};
    std::array<RecipientState, kMaxRecipients> recipients{};
    unsigned failures = 0;            // judged so far: orders the standing ones
    unsigned round = 0;               // rounds started before the current one
    long long first_failure_ms = -1;  // monotonic; -1 before any
    int pause_seconds = -1;           // before the next round, as this round's decisions said
    bool gave_up = false;             // on a temporary cause: the modem's state is worth a line
    bool no_port = false;             // none at the start: its own line said why
};

// How a round ended: every recipient settled; some wait for the next round;
// the modem cannot send; or a stop signal.
enum class RoundEnd { finished, retry, stop, interrupted };

// The policy's decision on a failure, recorded in the delivery and logged.
// `who` is the recipient, or none (kNoRecipient) for the mode command and
// the port; `part` and `count` name the part.
inline constexpr std::size_t kNoRecipient = kMaxRecipients;
Decision judge_failure(Delivery &d, const Failure &failure, std::size_t who = kNoRecipient,
                       unsigned part = 0, unsigned count = 1);

// The mode command, with ESC and a second try if it is left unanswered (a
// modem left in PDU entry), then AT+CMEE=1 if the modem took it. Returns
// the mode command's reply.
Reply enter_pdu_mode(int fd, const DialogueTimeouts &timeouts);

// One round on an open port: the mode command and AT+CMEE=1, then every
// part not yet confirmed of every recipient not yet settled, in order. A
// round ends early at an exchange the modem leaves unanswered, and the run
// at a failure that says the modem cannot send.
RoundEnd send_round(int fd, Delivery &delivery, const DialogueTimeouts &timeouts);

// Asks the modem for its state and logs the answers in one line; false
// when a stop signal ended it.
bool log_modem_state(int fd, const DialogueTimeouts &timeouts);

// Every round of a run, on `port` (closed on entry): takes it, sends, and
// between rounds gives it back and pauses. False when a stop signal ended
// it; `port` may then still be open, for the caller to give back.
bool deliver(Delivery &delivery, ModemPort &port, const ModemPorts &ports,
             const DialogueTimeouts &timeouts);

// Logs that recipient `who` is served, with the message references of its
// `count` parts.
void log_served(const Delivery &delivery, std::size_t who, unsigned count);

// Logs the give-up line of every recipient left unsettled, and the run's
// last line, from the failure that stands last for a recipient not served;
// returns the exit status.
int finish_delivery(const Delivery &delivery);
