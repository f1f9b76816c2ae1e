// Delivering one text to every recipient: the AT dialogue of PDU mode (3GPP
// TS 27.005) and rounds of retries with the port given back in between.
//
// Contract: deliver() takes the port, sends every part to every recipient
// in order, and between rounds gives the port back and pauses; every
// failure is judged by decide() (policy.h), the one place that says what
// comes next, and recorded and logged as it says: the dialogue and the
// rounds follow the decision and never judge for themselves. A stop signal
// seen in any wait unwinds to the caller, which gives the port back.
// finish_delivery() logs what became of the recipients and the run's last
// line, and gives the exit status.
//
// With status reports asked for (`report_seconds`), every PDU asks the
// service centre for one; each port taken is set to pass them on (only
// <ds> of AT+CNMI and, if need be, its <mode>), and the setting found is
// given back before the port is, however the run ends. After the last
// round the run holds the port until every part sent has its final
// report, or the time is up; it holds it through a pause between rounds
// too while a report is due on it. A recipient counts as served only once
// every part is reported delivered.
#pragma once

#include "at.h"
#include "pdu.h"
#include "policy.h"
#include "port.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t kMaxRecipients = 19;
inline constexpr std::size_t kMaxModems = 8;  // devices a run may try, in a pool or not
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

// A number that no PDU can carry: the entry's line, and the delivery's.
inline constexpr const char *kMsgInvalidNumber = "Invalid phone number.";

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

inline constexpr RetryPlan kRetryPlan = {kRetryWaitSeconds, kRetryWindowSeconds};

// --report: how long a run may wait for the status reports.
inline constexpr int kMinReportSeconds = 1;
inline constexpr int kMaxReportSeconds = 3600;
static_assert(kStatusLineStore >= kMaxRecipients * kMaxParts, "a report for every part");

// How the port in use routes status reports (AT+CNMI, 3GPP TS 27.005
// 3.4.1): asked; passing them on as +CDS; changed by the run, `found`
// (its <mode>,<mt>,<bm>,<ds>[,<bfr>]) to be given back.
inline constexpr std::size_t kRoutingFields = 5;
struct Routing {
    bool asked = false;
    bool routed = false;
    bool changed = false;
    std::array<int, kRoutingFields> found{};
    std::size_t fields = 0;
};

// What status reports said of one recipient's parts.
struct ReportState {
    std::array<bool, kMaxParts> delivered{};
    bool told = false;   // "still trying" logged
    bool final = false;  // every part delivered, or one not: no later report counts
    bool left = false;   // its modem was given back before that: none can come now
    int noted = -1;      // a delivered part's status that the line names
};

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
    std::size_t accepted_on = 0;              // the modem that accepted those parts
    ReportState report{};
};

// A modem of a pool, in this run: failed in this round (the next round
// asks it again), or out for the run (it gave a cause that lasts).
struct ModemState {
    bool failed = false;
    bool out = false;
    bool no_reports = false;  // cannot pass status reports on: said once
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
    // What this round's decisions said of the next round: its pause (-1:
    // none follows); and of the run: it ends, and the modem's state is
    // worth a line at its end.
    int pause_seconds = -1;
    bool end_run = false;
    bool log_state = false;
    // A pool: the devices are separate modems, and a failure that is the
    // modem's moves the recipients not yet served to another one. `modem`
    // is the one in use, `device` its name; `move`: a decision asked to
    // go on at once on another modem.
    bool pool = false;
    std::size_t modems = 1;
    std::span<const char *const> device_names{};
    std::array<ModemState, kMaxModems> modem_states{};
    std::size_t modem = 0;
    const char *device = nullptr;
    bool move = false;
    bool started = false;  // a round began on some modem
    // --report: the longest wait for the status reports (0: none asked
    // for), and how the port in use routes them.
    int report_seconds = 0;
    Routing routing{};
};

// The policy's decision on a failure, recorded in the delivery and logged.
// `who` is the recipient, or none (kNoRecipient) for the mode command and
// the port; `part` and `count` name the part.
inline constexpr std::size_t kNoRecipient = kMaxRecipients;
Decision judge_failure(Delivery &d, const Failure &failure, std::size_t who = kNoRecipient,
                       unsigned part = 0, unsigned count = 1);

// Part `part` of `count` accepted, with its message reference (-1: none
// known); the last one serves the recipient, which is logged. `without_ok`:
// the "+CMGS: <mr>" line that came alone, its OK lost: a warning says so.
void record_accepted(Delivery &d, std::size_t who, unsigned part, unsigned count, int reference,
                     std::string_view without_ok = {});

// Starts the next round: its decisions are yet to come, and every modem
// not out for the run may be asked again.
void begin_round(Delivery &d);

// The modem `device`, number `modem` of the devices, is in use from now on.
void use_modem(Delivery &d, std::size_t modem, const char *device);

// What the policy sees of the pool: whether a modem is left to move to.
PoolView pool_view(const Delivery &d);

// The modems a pool's next take passes over: failed in this round, or out.
std::array<bool, kMaxModems> passed_modems(const Delivery &d);

// A recipient about to be sent to: in a pool, a message whose first parts
// went out on another modem goes whole on this one, as a phone joins
// parts only from the same sender; the log says so.
void begin_recipient(Delivery &d, std::size_t who, unsigned count);

// The device in use, for the lines that name it: only a pool of several
// modems has more than one to tell apart; nullptr otherwise.
const char *device_named(const Delivery &d);
inline constexpr const char *kVia = " via ";  // "... sent via <device>"

// Whether any recipient is left for another round.
bool unsettled_left(const Delivery &d);

// How a round ended: as its decisions said, or cut short by a stop signal.
enum class RoundEnd { ran, interrupted };

// The mode command, with ESC and a second try if it is left unanswered (a
// modem left in PDU entry), then AT+CMEE=1 if the modem took it. Returns
// the mode command's reply.
Reply enter_pdu_mode(int fd, const DialogueTimeouts &timeouts);

// One round on an open port: the mode command and AT+CMEE=1, then every
// part not yet confirmed of every recipient not yet settled, in order,
// until a decision ends the round.
RoundEnd send_round(int fd, Delivery &delivery, const DialogueTimeouts &timeouts);

// Asks the modem for its state and logs the answers in one line; false
// when a stop signal ended it.
bool log_modem_state(int fd, const DialogueTimeouts &timeouts);

// Every round of a run, on `port` (closed on entry): takes it, sends, and
// between rounds gives it back and pauses. False when a stop signal ended
// it; `port` may then still be open, for the caller to give back.
bool deliver(Delivery &delivery, ModemPort &port, const ModemPorts &ports,
             const DialogueTimeouts &timeouts);

// Logs the give-up line of every recipient left unsettled, and the run's
// last line, from the failure that stands last for a recipient not served;
// returns the exit status.
int finish_delivery(const Delivery &delivery);

// Status reports (routing.cpp, reports.cpp). route_reports() asks the
// modem in use how it routes them (AT+CNMI? and AT+CNMI=?) and sets <ds>
// to 1, and <mode> to one that passes unsolicited lines on if the found
// one does not (2, else 1, else 3), every other field as found; a modem
// that cannot is named in an error line, once, and what it sends cannot
// be confirmed. False when a stop signal ended it.
bool route_reports(int fd, Delivery &d, const DialogueTimeouts &timeouts);
// Gives the found setting back, after a stop too (briefly), takes the
// reports that came, and counts every part still waiting for one on this
// modem as lost: its report cannot reach a port given back.
void restore_routing(int fd, Delivery &d, const DialogueTimeouts &timeouts);
// Takes every status report that came and, as the policy decides, records
// it for the part sent through the modem in use whose "+CMGS: <mr>" is its
// TP-MR, to the recipient's number that is its TP-RA; others are ignored.
void collect_reports(Delivery &d);
// Whether a part sent through the modem in use waits for a report that can
// still come.
bool reports_due(const Delivery &d);
// Listens for the reports due until `until` (monotonic ms) or until none
// is; false when a stop signal ended it.
bool await_reports(int fd, Delivery &d, long long until);
// At the wait's end: every recipient sent whose delivery no report
// confirmed fails, each with its line.
void settle_reports(Delivery &d);
