// The AT exchange, the retry policy and the whole delivery, rounds
// included, against a scripted modem on a pseudo-terminal, with short waits.
#include "base.h"
#include "delivery.h"
#include "report.h"
#include "timing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr DialogueTimeouts kShort = {1, 1, 1};
constexpr std::uint8_t kReference = 0xA7;

// One chunk of a scripted answer, `delay` after the previous one.
struct Chunk {
    std::chrono::milliseconds delay;
    std::string bytes;
};

// What the scripted modem says once a command line (ended by CR, Ctrl-Z
// or ESC) has arrived. Empty: silence.
using Answer = std::vector<Chunk>;

const Answer kOk = {{0ms, "\r\nOK\r\n"}};
const Answer kPrompt = {{0ms, "\r\n> "}};
const Answer kSent = {{0ms, "\r\n+CMGS: 7\r\n\r\nOK\r\n"}};
const Answer kSilence = {};

// Written after the last command, it comes back to the modem after every
// byte written before it: a control byte no command holds, and a CR.
const std::string kMarker = "\x01\r";

// Waits until `fd` has at least `bytes` bytes to read, 10 s at most.
void wait_pending(int fd, std::size_t bytes)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (int n = 0; ioctl(fd, FIONREAD, &n) == 0 && static_cast<std::size_t>(n) < bytes &&
                    Clock::now() < deadline;)
        std::this_thread::sleep_for(1ms);
}

// The modem's side of a pseudo-terminal: records every command and plays
// its script, one answer per command; past the script it only listens.
class ScriptedModem {
public:
    explicit ScriptedModem(std::vector<Answer> script, std::chrono::milliseconds deaf = 0ms)
        : script_(std::move(script)), deaf_(deaf)
    {
        char name[64];
        EXPECT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
        cfmakeraw_on(slave_);
        path_ = name;
        fd_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedModem()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
        close(slave_);
        close(master_);
    }
    int fd() const { return fd_; }
    const char *path() const { return path_.c_str(); }
    int slave() const { return slave_; }
    // Every command written so far, once the modem has read them all.
    std::vector<std::string> commands()
    {
        std::unique_lock lock(mutex_);
        const unsigned mark = ++marks_sent_;
        lock.unlock();
        for (std::size_t done = 0; done < kMarker.size();) {
            const ssize_t n = write(fd_, kMarker.data() + done, kMarker.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else
                std::this_thread::sleep_for(1ms);  // the line's queue is full
        }
        lock.lock();
        marked_.wait_for(lock, std::chrono::seconds(10), [&] { return marks_seen_ >= mark; });
        return commands_;
    }
    // How many commands have come so far, while the line is in use.
    std::size_t heard()
    {
        std::lock_guard lock(mutex_);
        return commands_.size();
    }

private:
    static void cfmakeraw_on(int fd)
    {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    void serve()
    {
        std::string line;
        std::size_t next = 0;
        std::this_thread::sleep_for(deaf_);
        while (!stop_) {
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buf[4096];
            const ssize_t got = read(master_, buf, sizeof buf);
            if (got <= 0)
                continue;
            for (ssize_t i = 0; i < got; ++i) {
                line += buf[i];
                if (buf[i] != '\r' && buf[i] != kCtrlZ && buf[i] != kEsc)
                    continue;
                if (line.ends_with(kMarker)) {
                    line.resize(line.size() - kMarker.size());
                    std::lock_guard lock(mutex_);
                    ++marks_seen_;
                    marked_.notify_all();
                    continue;
                }
                {
                    std::lock_guard lock(mutex_);
                    commands_.push_back(line);
                }
                line.clear();
                if (next < script_.size()) {
                    for (const Chunk &c : script_[next++]) {
                        std::this_thread::sleep_for(c.delay);
                        send(c.bytes);
                    }
                }
            }
        }
    }
    void send(const std::string &bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size() && !stop_) {
            const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else
                std::this_thread::sleep_for(1ms);
        }
    }

    std::vector<Answer> script_;
    std::chrono::milliseconds deaf_;  // how long it ignores the line at first
    int master_ = -1, slave_ = -1, fd_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> commands_;
    std::condition_variable marked_;
    unsigned marks_sent_ = 0, marks_seen_ = 0;
};

std::string repeat(const std::string &s, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

TEST(Policy, CodesOfTheStandards)
{
    // Codes as the standards give them: RP causes (3GPP TS 24.011 E-2),
    // TP-FCS (TS 23.040 9.2.3.22) and the ME's own (TS 27.005 3.2.5) for
    // +CMS ERROR; TS 27.007 9.2 for +CME ERROR. Between ranges and past the
    // tables, a code is taken as passing.
    struct Row {
        const char *line;
        FailureKind kind;
        const char *meaning;
    };
    constexpr FailureKind kTemp = FailureKind::temporary, kFatal = FailureKind::fatal,
                          kOwn = FailureKind::recipient;
    // clang-format off
    const Row rows[] = {
        {"+CMS ERROR: 1", kOwn, "unassigned number"},     {"+CMS ERROR: 8", kFatal, "operator determined barring"},
        {"+CMS ERROR: 10", kOwn, "call barred"},          {"+CMS ERROR: 27", kTemp, "destination out of order"},
        {"+CMS ERROR: 38", kTemp, "network out of order"}, {"+CMS ERROR: 42", kTemp, "congestion"},
        {"+CMS ERROR: 50", kFatal, "requested facility not subscribed"},
        {"+CMS ERROR: 130", kOwn, "protocol identifier not supported"},  // 0x80-0x8F
        {"+CMS ERROR: 145", kOwn, "data coding scheme not supported"},   // 0x90-0x9F
        {"+CMS ERROR: 192", kTemp, "SC busy"},            {"+CMS ERROR: 193", kFatal, "no SC subscription"},
        {"+CMS ERROR: 196", kOwn, "destination SME barred"},
        {"+CMS ERROR: 197", kTemp, "duplicate message rejected"},
        {"+CMS ERROR: 310", kFatal, "SIM not inserted"},  {"+CMS ERROR: 311", kFatal, "SIM PIN required"},
        {"+CMS ERROR: 314", kTemp, "SIM busy"},           {"+CMS ERROR: 316", kFatal, "SIM PUK required"},
        {"+CMS ERROR: 330", kFatal, "SMSC address unknown"}, {"+CMS ERROR: 331", kTemp, "no network service"},
        {"+CMS ERROR: 332", kTemp, "network timeout"},    {"+CMS ERROR: 500", kTemp, "unknown error"},
        {"+CMS ERROR: 2", kTemp, ""},                     {"+CMS ERROR: 99999", kTemp, "manufacturer specific"},
        {"+CME ERROR: 10", kFatal, "SIM not inserted"},   {"+CME ERROR: 11", kFatal, "SIM PIN required"},
        {"+CME ERROR: 14", kTemp, "SIM busy"},            {"+CME ERROR: 16", kFatal, "incorrect password"},
        {"+CME ERROR: 30", kTemp, "no network service"},  {"+CME ERROR: 31", kTemp, "network timeout"},
        {"+CME ERROR: 111", kFatal, "PLMN not allowed"},  {"+CME ERROR: 0", kTemp, ""},
        {"+CMS ERROR:  42 \t", kTemp, "congestion"},       {"ERROR", kTemp, ""},
        {"+CMS ERROR: no network service", kTemp, ""},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        const Cause cause = classify_answer(row.line);
        EXPECT_EQ(cause.kind, row.kind);
        EXPECT_STREQ(cause.meaning, row.meaning);
    }
    EXPECT_EQ(classify_answer("+CME ERROR: 11").code, 11);
    EXPECT_FALSE(classify_answer("+CME ERROR: 11").cms);
    EXPECT_EQ(classify_answer("+CMS ERROR: no network service").code, -1);
}

TEST(Policy, Decisions)
{
    const int waits[] = {5, 15};
    const RetryPlan plan = {waits, 30};
    const auto cms = [](int code) {
        return classify_answer("+CMS ERROR: " + std::to_string(code));
    };
    const Cause silence = {FailureKind::temporary, "no answer", "", -1};
    const Cause no_port = {FailureKind::temporary, "No modem port: ...", "", -1};
    struct Row {
        const char *what;
        Failure failure;
        History history;
        RetryClock clock;
        Decision want;
        bool other_modem = false;  // a pool with a modem left to move to
    };
    using enum Next;
    using enum RoundStep;
    using enum Reach;
    using O = Outcome;
    // clang-format off
    const Row rows[] = {
        {"temporary: the plan's next wait", {Stage::submit, cms(42)}, {}, {0, -1, 0},
         {retry, go_on, 5, recipient, O::gave_up, Tail::retry}},
        {"the second round's wait", {Stage::submit, cms(42)}, {}, {1, 0, 1000},
         {retry, go_on, 15, recipient, O::gave_up, Tail::retry}},
        {"past the list: its last wait again", {Stage::submit, cms(42)}, {}, {2, 0, 1000},
         {retry, go_on, 15, recipient, O::gave_up, Tail::retry}},
        {"past the window: the modem's state tells why", {Stage::submit, cms(42)}, {}, {5, 0, 16'000},
         {give_up, go_on, -1, recipient, O::gave_up, Tail::no_more_tries, true}},
        {"past the window", {Stage::submit, cms(42)}, {}, {1, 0, 16'000},
         {give_up, go_on, -1, recipient, O::gave_up, Tail::no_more_tries, true}},
        {"the pause this round promised holds", {Stage::submit, cms(42)}, {}, {1, 0, 16'000, 15},
         {retry, go_on, 15, recipient, O::gave_up, Tail::retry}},
        {"38 once", {Stage::submit, cms(38)}, {}, {0, -1, 0},
         {retry, go_on, 5, recipient, O::gave_up, Tail::retry}},
        {"38 twice", {Stage::submit, cms(38)}, {false, false, true}, {1, 0, 0},
         {give_up, go_on, -1, recipient, O::gave_up, Tail::no_more_tries, true}},
        {"197 after a copy that may have gone", {Stage::submit, cms(197)}, {true, true}, {1, 0, 0},
         {sent}},
        {"197 after a plain refusal", {Stage::submit, cms(197)}, {true}, {1, 0, 0},
         {retry, go_on, 15, recipient, O::gave_up, Tail::retry}},
        {"a recipient's cause at the prompt", {Stage::prompt, cms(1)}, {}, {0, -1, 0},
         {give_up, go_on, -1, recipient, O::prompt, Tail::refused}},
        {"a recipient's cause on submission", {Stage::submit, cms(1), false, true}, {}, {0, -1, 0},
         {give_up, go_on, -1, recipient, O::rejected, Tail::refused}},
        {"a recipient's cause before any recipient", {Stage::mode, cms(304)}, {}, {0, -1, 0},
         {retry, end_round, 5, unsettled, O::mode, Tail::retry}},
        {"fatal on the mode command", {Stage::mode, cms(311)}, {}, {0, -1, 0},
         {cannot_send, end_run, -1, unsettled, O::mode, Tail::cannot_send}},
        {"fatal at a prompt stands for everyone", {Stage::prompt, cms(311)}, {}, {0, -1, 0},
         {cannot_send, end_run, -1, unsettled, O::prompt, Tail::cannot_send}},
        {"an unanswered prompt ends the round", {Stage::prompt, silence, true}, {}, {0, -1, 0},
         {retry, end_round, 5, recipient, O::prompt, Tail::retry}},
        {"an unanswered submission, no rounds left", {Stage::submit, silence, true, true}, {}, {2, 0, 16'000},
         {give_up, end_round, -1, recipient, O::unconfirmed, Tail::no_more_tries, true}},
        {"a PDU not written whole never went out", {Stage::submit, silence, true, false}, {}, {2, 0, 16'000},
         {give_up, end_round, -1, recipient, O::gave_up, Tail::no_more_tries, true}},
        {"a silent mode command has no state to tell", {Stage::mode, silence, true}, {}, {2, 0, 16'000},
         {give_up, end_round, -1, unsettled, O::mode, Tail::no_more_tries, false}},
        {"a refused mode command given up", {Stage::mode, classify_answer("ERROR")}, {}, {2, 0, 16'000},
         {give_up, end_round, -1, unsettled, O::mode, Tail::no_more_tries, true}},
        {"no port at the start: at once", {Stage::port, no_port}, {}, {0, -1, 0, -1, false},
         {give_up, end_run, -1, unsettled, O::no_port, Tail::none}},
        {"a port gone between rounds", {Stage::port, no_port}, {}, {1, 0, 1000},
         {retry, end_round, 15, unsettled, O::gave_up, Tail::retry}},
        {"a number no PDU can carry", {Stage::number, {FailureKind::recipient, "invalid number", "", -1}},
         {}, {0, -1, 0}, {give_up, go_on, -1, recipient, O::invalid_number, Tail::refused}},
        {"pool: a lasting cause moves now, the modem out", {Stage::prompt, cms(311)}, {}, {0, -1, 0},
         {move, end_round, -1, recipient, O::prompt, Tail::move, false, false, true}, true},
        {"pool: the network's cause moves", {Stage::submit, cms(331), false, true}, {}, {0, -1, 0},
         {move, end_round, -1, recipient, O::gave_up, Tail::move}, true},
        {"pool: a silent mode command moves everyone", {Stage::mode, silence, true}, {}, {0, -1, 0},
         {move, end_round, -1, unsettled, O::mode, Tail::move}, true},
        {"pool: a copy that may be out moves, maybe twice", {Stage::submit, silence, true, true}, {},
         {0, -1, 0}, {move, end_round, -1, recipient, O::unconfirmed, Tail::move, false, false, false, true},
         true},
        {"pool: a number's own cause stays", {Stage::submit, cms(1), false, true}, {}, {0, -1, 0},
         {give_up, go_on, -1, recipient, O::rejected, Tail::refused}, true},
        {"pool: the recipient's side stays", {Stage::submit, cms(27), false, true}, {}, {0, -1, 0},
         {retry, go_on, 5, recipient, O::gave_up, Tail::retry}, true},
    };
    // clang-format on
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const Decision got = decide(row.failure, row.history, row.clock, plan, {row.other_modem});
        EXPECT_EQ(got.next, row.want.next);
        if (got.next == sent)
            continue;
        EXPECT_EQ(got.round, row.want.round);
        EXPECT_EQ(got.pause_seconds, row.want.pause_seconds);
        EXPECT_EQ(got.reach, row.want.reach);
        EXPECT_EQ(got.outcome, row.want.outcome);
        EXPECT_EQ(got.tail, row.want.tail);
        EXPECT_EQ(got.log_state, row.want.log_state);
        EXPECT_EQ(got.modem_out, row.want.modem_out);
        EXPECT_EQ(got.may_arrive_twice, row.want.may_arrive_twice);
    }
    // What a submission leaves behind: TP-RD from now on, and whether the
    // first copy may have got there; an accepted part clears both.
    const History unanswered = remember({}, {Stage::submit, {}, true, true});
    const History plain = remember({}, {Stage::submit, cms(42), false, true});
    const History timeout = remember({}, {Stage::submit, cms(332), false, true});
    EXPECT_TRUE(unanswered.resubmit && unanswered.maybe_sent);
    EXPECT_TRUE(plain.resubmit && !plain.maybe_sent);
    EXPECT_TRUE(timeout.maybe_sent);
    EXPECT_FALSE(remember_accepted(unanswered).resubmit ||
                 remember_accepted(unanswered).maybe_sent);
}

// What a status report, or none in time, means for its part.
TEST(Policy, Reports)
{
    using enum Fate;
    struct Row {
        int status;  // -1: none came
        bool told;
        ReportDecision want;
    };
    const Row rows[] = {
        {0x00, false, {delivered, true}},
        {0x02, false, {delivered, true, false, true}},  // replaced: named in the line
        {0x20, false, {still_trying, false, true}},
        {0x3F, true, {still_trying}},  // told once is enough
        {0x46, false, {not_delivered, true, true, false, Outcome::undelivered}},
        {0x63, true, {not_delivered, true, true, false, Outcome::undelivered}},
        {-1, false, {not_confirmed, true, true, false, Outcome::unreported}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.status);
        const ReportDecision got = decide_report(row.status, row.told);
        EXPECT_EQ(got.fate, row.want.fate);
        EXPECT_EQ(got.final, row.want.final);
        EXPECT_EQ(got.tell, row.want.tell);
        EXPECT_EQ(got.noted, row.want.noted);
        EXPECT_EQ(got.outcome, row.want.outcome);
    }
}

// A scratch lock directory and log socket, and the real delivery, rounds
// included, on a scripted modem.
class Deliver : public ::testing::Test {
protected:
    std::filesystem::path dir;
    int log = -1;
    void SetUp() override
    {
        char pattern[] = "/tmp/cellpost-dialogue-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", (dir / "log").c_str());
        log = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        ASSERT_EQ(bind(log, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        open_report(address.sun_path);
    }
    void TearDown() override
    {
        close_report();
        close(log);
        std::filesystem::remove_all(dir);
    }
    // The text of every line logged so far.
    std::vector<std::string> logged()
    {
        std::vector<std::string> lines;
        char datagram[1024];
        for (ssize_t n; (n = recv(log, datagram, sizeof datagram, 0)) > 0;) {
            const std::string line(datagram, static_cast<std::size_t>(n));
            lines.push_back(line.substr(line.find("]: ") + 3));
        }
        return lines;
    }
    // The run's exit status, or -1 when a stop ended it; `device`: the modem by another name.
    int deliver_to(ScriptedModem &modem, const std::vector<const char *> &numbers,
                   const std::string &text, const RetryPlan &plan, const char *device = nullptr,
                   int report = 0)
    {
        return deliver_on({device != nullptr ? device : modem.path()}, numbers, text, plan, false,
                          report);
    }
    int deliver_on(const std::vector<const char *> &devices,
                   const std::vector<const char *> &numbers, const std::string &text,
                   const RetryPlan &plan, bool pool, int report = 0)
    {
        const ModemPorts ports = {devices, dir.c_str(), 1, 3};
        std::vector<char *> argv;
        for (const char *n : numbers)
            argv.push_back(const_cast<char *>(n));
        Delivery d{argv, {Alphabet::raw, text}, kReference, plan};
        d.pool = pool;
        d.report_seconds = report;
        ModemPort port;
        const bool done = deliver(d, port, ports, kShort);
        close_modem(port);
        return done ? finish_delivery(d) : -1;
    }
};

Answer error(const std::string &line)
{
    return {{0ms, "\r\n" + line + "\r\n"}};
}

// A status report as +CDS passes it on, without the centre's address: for
// the part with reference `mr` to 111 or 222, with TP-ST `status`.
std::string cds(int mr, const char *number, int status)
{
    char tpdu[64];  // first octet, TP-MR, TP-RA, TP-SCTS, TP-DT, TP-ST
    const int n = std::snprintf(tpdu, sizeof tpdu, "06%02X0381%s6221012143654062210121537040%02X",
                                mr, number == std::string("111") ? "11F1" : "22F2", status);
    return "\r\n+CDS: " + std::to_string(n / 2) + "\r\n00" + tpdu + "\r\n";
}

TEST_F(Deliver, Transcripts)
{
    const std::string pdu_a = "001100038111F10000AA0178";    // "x" to 111
    const std::string again_a = "001500038111F10000AA0178";  // the same with TP-RD
    const std::vector<std::string> mode = {"ATE0+CMGF=0\r", "AT+CMEE=1\r"};
    const std::vector<std::string> a = {"AT+CMGS=11\r", pdu_a + "\x1a"};
    const std::vector<std::string> a_again = {"AT+CMGS=11\r", again_a + "\x1a"};
    const std::vector<std::string> b = {"AT+CMGS=11\r", "001100038122F20000AA0178\x1a"};
    const std::vector<std::string> state = {"AT+CPIN?\r", "AT+CREG?\r", "AT+CEREG?\r", "AT+CSQ\r"};
    const std::vector<Answer> states = {
        error("+CPIN: READY\r\n\r\nOK"), error("+CREG: 0,1\r\n\r\nOK"),
        error("+CEREG: 0,1\r\n\r\nOK"), error("+CSQ: 20,99\r\n\r\nOK")};
    const std::string state_line =
        "Modem state: +CPIN: READY; +CREG: 0,1; +CEREG: 0,1; +CSQ: 20,99";
    const std::string part1 =
        "005100038111F10000AAA0050003A70201F0" + repeat("783C1E8FC7E3F1", 19) + "\x1a";
    const std::string part2 = "005100038111F10000AA0F050003A70202F0783C1E8FC7E701\x1a";
    const auto join = [](std::initializer_list<std::vector<std::string>> pieces) {
        std::vector<std::string> out;
        for (const auto &p : pieces)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    };
    const auto with = [&](std::vector<Answer> script, const std::vector<Answer> &more) {
        script.insert(script.end(), more.begin(), more.end());
        return script;
    };
    const char *sent = "SMS successfully sent.";
    const char *served = "SMS to 111 sent: message reference 7.";
    const char *gave_up = "SMS not sent: no more tries.";
    struct Row {
        const char *what;
        std::vector<const char *> numbers;
        std::string text;
        std::vector<Answer> script;
        std::vector<std::string> commands;
        std::vector<std::string> log;  // {A}, {B}: the modems' devices
        int status;
        // A pool of two: the second modem's script and what it was sent;
        // `held`: another program holds that modem's flock (0: the first, 1: the second).
        std::vector<Answer> second = {};
        std::vector<std::string> second_commands = {};
        int held = -1;
        int report = 0;  // --report
    };
    // A modem that refuses AT+CMEE=1, and the result of an earlier run's
    // submission that it gives late.
    const Answer late_then_ok = {{0ms, "\r\n+CMGS: 1\r\n\r\nOK\r\n"}, {50ms, "\r\nOK\r\n"}};
    const Answer cmee_refused = {{30ms, "\r\nERROR\r\n"}};
    const Answer split_500 = {{0ms, "\r\n+CMS ERROR: 50"}, {300ms, "0\r\n"}};
    // Status reports: the modem's routing, found, offered, set and given back.
    const Answer routing = error("+CNMI: 0,2,1,0,1\r\n\r\nOK");
    const Answer offered = error("+CNMI: (0-3),(0-3),(0-3),(0-2),(0,1)\r\n\r\nOK");
    const Answer no_ds = error("+CNMI: (0-3),(0-3),(0-3),(0,2),(0,1)\r\n\r\nOK");
    const std::vector<std::string> route = {"AT+CNMI?\r", "AT+CNMI=?\r", "AT+CNMI=2,2,1,1,1\r"};
    const std::string restore = "AT+CNMI=0,2,1,0,1\r";
    // Another number's report for part 1 as the prompt of part 2 comes;
    // 111's before the result of part 2; the centre still trying on part
    // 2, then delivering it while the run waits.
    const Answer foreign_then_prompt = {{0ms, cds(5, "222", 0x46) + "\r\n> "}};
    const Answer reports_around_result = {
        {0ms, cds(5, "111", 0x00)},
        {100ms, "\r\n+CMGS: 6\r\n\r\nOK\r\n" + cds(6, "111", 0x20)},
        {300ms, cds(6, "111", 0x00)}};
    const Answer sent5 = {{0ms, "\r\n+CMGS: 5\r\n\r\nOK\r\n"}};
    // clang-format off
    const std::vector<Row> rows = {
        {"fair weather", {"111"}, "x", {kOk, kOk, kPrompt, kSent}, join({mode, a}), {served, sent}, 0},
        {"congested once", {"111"}, "x",
         {kOk, kOk, kPrompt, error("+CMS ERROR: 42"), kOk, kOk, kPrompt, kSent},
         join({mode, a, mode, a_again}),
         {"SMS to 111 failed: +CMS ERROR: 42 (congestion); trying again in 0 s.", served, sent}, 0},
        {"no answer to a PDU", {"111"}, "x", {kOk, kOk, kPrompt, kSilence, kOk, kOk, kPrompt, kSent},
         join({mode, a, mode, a_again}),
         {"SMS to 111 failed: no answer; trying again in 0 s.", served, sent}, 0},
        {"an unknown number, the next one served", {"111", "222"}, "x",
         {kOk, kOk, kPrompt, error("+CMS ERROR: 1"), kPrompt, kSent}, join({mode, a, b}),
         {"SMS to 111 not sent: +CMS ERROR: 1 (unassigned number).",
          "SMS to 222 sent: message reference 7.", "SMS rejected by modem."}, 1},
        {"SIM PIN: the modem cannot send", {"111", "222"}, "x",
         {kOk, kOk, error("+CMS ERROR: 311\t"), kOk}, join({mode, {"AT+CMGS=11\r", "\x1b"}}),
         {"SMS not sent: +CMS ERROR: 311 (SIM PIN required); the modem cannot send.",
          "AT+CMGS error."}, 1},
        {"SIM PIN at the prompt, its ESC answered ERROR: the cause stays the prompt's", {"111"}, "x",
         {kOk, kOk, error("+CMS ERROR: 311"), error("ERROR")}, join({mode, {"AT+CMGS=11\r", "\x1b"}}),
         {"SMS not sent: +CMS ERROR: 311 (SIM PIN required); the modem cannot send.",
          "AT+CMGS error."}, 1},
        {"+CMGS: 5 and a garbled OK: the network took it, never sent again", {"111"}, "x",
         {kOk, kOk, kPrompt, {{0ms, "\r\n+CMGS: 5\r\n\r\n0K\r\n"}}}, join({mode, a}),
         {"SMS to 111: \"+CMGS: 5\" came without its OK; taken as sent.",
          "SMS to 111 sent: message reference 5.", sent}, 0},
        {"a network timeout, then a duplicate: the first got there", {"111"}, "x",
         {kOk, kOk, kPrompt, error("+CMS ERROR: 332"), kOk, kOk, kPrompt, error("+CMS ERROR: 197")},
         join({mode, a, mode, a_again}),
         {"SMS to 111 failed: +CMS ERROR: 332 (network timeout); trying again in 0 s.",
          "SMS to 111 sent: message reference unknown.", sent}, 0},
        {"a plain refusal, then a duplicate: there is no first", {"111"}, "x",
         with({kOk, kOk, kPrompt, error("ERROR "), kOk, kOk, kPrompt, error("+CMS ERROR: 197"),
               kOk, kOk, kPrompt, error("+CMS ERROR: 197")}, states),
         join({mode, a, mode, a_again, mode, a_again, state}),
         {"SMS to 111 failed: ERROR; trying again in 0 s.",
          "SMS to 111 failed: +CMS ERROR: 197 (duplicate message rejected); trying again in 0 s.",
          "SMS to 111 not sent: +CMS ERROR: 197 (duplicate message rejected); no more tries.",
          state_line, gave_up}, 1},
        {"network out of order: once more only", {"111"}, "x",
         with({kOk, kOk, kPrompt, error("+CMS ERROR: 38"), kOk, kOk, kPrompt,
               error("+CMS ERROR: 38")}, states),
         join({mode, a, mode, a_again, state}),
         {"SMS to 111 failed: +CMS ERROR: 38 (network out of order); trying again in 0 s.",
          "SMS to 111 not sent: +CMS ERROR: 38 (network out of order); no more tries.",
          state_line, gave_up}, 1},
        {"the mode command refused for good", {"111"}, "x",
         with({error("ERROR"), error("ERROR"), error("ERROR")}, states),
         join({{mode[0], mode[0], mode[0]}, state}),
         {"Mode command failed: ERROR; trying again in 0 s.",
          "Mode command failed: ERROR; trying again in 0 s.",
          "Mode command failed: ERROR; no more tries.", state_line, "AT+CMGF=0 error."}, 1},
        {"a second part's prompt refused: the next round goes on there", {"111"},
         std::string(160, 'x') + "y",
         {kOk, kOk, kPrompt, kSent, error("ERROR"), kOk, kOk, kOk, kPrompt, kSent},
         join({mode, {"AT+CMGS=150\r", part1, "AT+CMGS=24\r", "\x1b"}, mode, {"AT+CMGS=24\r", part2}}),
         {"SMS to 111 part 2/2 failed: ERROR; trying again in 0 s.",
          "SMS to 111 sent: message references 7, 7.", sent}, 0},
        {"the mode command recovered: the refusal stands", {"111"}, "x",
         {error("+CME ERROR: 14"), kOk, kOk, kPrompt, error("+CMS ERROR: 1")},
         join({{mode[0]}, mode, a}),
         {"Mode command failed: +CME ERROR: 14 (SIM busy); trying again in 0 s.",
          "SMS to 111 not sent: +CMS ERROR: 1 (unassigned number).", "SMS rejected by modem."}, 1},
        {"a late result before the mode command's answer", {"111", "222"}, "x",
         {late_then_ok, cmee_refused, kPrompt, kSent, kPrompt, kSent}, join({mode, a, b}),
         {served, "SMS to 222 sent: message reference 7.", sent}, 0},
        {"a code cut by a pause", {"111", "222"}, "x",
         {kOk, kOk, kPrompt, split_500, kPrompt, kSent, kOk, kOk, kPrompt, kSent},
         join({mode, a, b, mode, a_again}),
         {"SMS to 111 failed: +CMS ERROR: 500 (unknown error); trying again in 0 s.",
          "SMS to 222 sent: message reference 7.", served, sent}, 0},
        {"pool: SIM PIN on the first modem, every recipient once on the second", {"111", "222"}, "x",
         {kOk, kOk, error("+CMS ERROR: 311"), kOk}, join({mode, {"AT+CMGS=11\r", "\x1b"}}),
         {"SMS to 111 via {A} failed: +CMS ERROR: 311 (SIM PIN required); trying the next modem now.",
          "SMS to 111 sent via {B}: message reference 7.", "SMS to 222 sent via {B}: message reference 7.",
          sent}, 0, {kOk, kOk, kPrompt, kSent, kPrompt, kSent}, join({mode, a, b})},
        {"pool: a number's own refusal stays on its modem", {"111", "222"}, "x",
         {kOk, kOk, kPrompt, error("+CMS ERROR: 1"), kPrompt, kSent}, join({mode, a, b}),
         {"SMS to 111 via {A} not sent: +CMS ERROR: 1 (unassigned number).",
          "SMS to 222 sent via {A}: message reference 7.", "SMS rejected by modem."}, 1, {kOk}, {}},
        {"pool: a modem that gave a lasting cause is not asked again", {"111"}, "x",
         {kOk, kOk, error("+CMS ERROR: 311"), kOk}, join({mode, {"AT+CMGS=11\r", "\x1b"}}),
         {"SMS to 111 via {A} failed: +CMS ERROR: 311 (SIM PIN required); trying the next modem now.",
          "SMS to 111 via {B} failed: +CMS ERROR: 42 (congestion); trying again in 0 s.",
          "SMS to 111 sent via {B}: message reference 7.", sent}, 0,
         {kOk, kOk, kPrompt, error("+CMS ERROR: 42"), kOk, kOk, kPrompt, kSent}, join({mode, a, mode, a_again})},
        {"pool: a message half sent goes whole on the next modem", {"111"}, std::string(160, 'x') + "y",
         {kOk, kOk, kPrompt, kSent, kPrompt, error("+CMS ERROR: 331")},
         join({mode, {"AT+CMGS=150\r", part1, "AT+CMGS=24\r", part2}}),
         {"SMS to 111 part 2/2 via {A} failed: +CMS ERROR: 331 (no network service); trying the next modem now.",
          "SMS to 111: 1 of 2 parts went out via {A}; the whole message goes again via {B}, and those parts "
          "may arrive on their own.", "SMS to 111 sent via {B}: message references 7, 7.", sent}, 0,
         {kOk, kOk, kPrompt, kSent, kPrompt, kSent}, join({mode, {"AT+CMGS=150\r", part1, "AT+CMGS=24\r", part2}})},
        {"pool: parts sent on the second modem go whole again on the first", {"111"}, std::string(160, 'x') + "y",
         {error("+CME ERROR: 14"), kOk, kOk, kPrompt, kSent, kPrompt, kSent}, join({{mode[0]}, mode, {"AT+CMGS=150\r", part1, "AT+CMGS=24\r", part2}}),
         {"Mode command via {A} failed: +CME ERROR: 14 (SIM busy); trying the next modem now.",
          "SMS to 111 part 2/2 via {B} failed: +CMS ERROR: 331 (no network service); trying again in 0 s.",
          "SMS to 111: 1 of 2 parts went out via {B}; the whole message goes again via {A}, and those parts may arrive on their own.",
          "SMS to 111 sent via {A}: message references 7, 7.", sent}, 0,
         {kOk, kOk, kPrompt, kSent, kPrompt, error("+CMS ERROR: 331")}, join({mode, {"AT+CMGS=150\r", part1, "AT+CMGS=24\r", part2}})},
        {"pool: a busy first modem is passed over", {"111"}, "x", {}, {},
         {"SMS to 111 sent via {B}: message reference 7.", sent}, 0, {kOk, kOk, kPrompt, kSent},
         join({mode, a}), 0},
        {"reports: between a later part's commands, one in a result, another number's ignored", {"111"},
         std::string(160, 'x') + "y",
         {kOk, kOk, routing, offered, kOk, kPrompt, sent5, foreign_then_prompt, reports_around_result, kOk},
         join({mode, route, {"AT+CMGS=150\r", part1.substr(0, 2) + "7" + part1.substr(3), "AT+CMGS=24\r",
                             part2.substr(0, 2) + "7" + part2.substr(3), restore}}),
         {"SMS to 111 sent: message references 5, 6.",
          "SMS to 111 not delivered yet: congestion; the service centre keeps trying.",
          "SMS to 111 delivered at 2026-12-10 12:35:07 +01:00.", sent}, 0, {}, {}, -1, 5},
        {"reports: one due holds the port through the pause, routed once", {"111", "222"}, "x",
         {kOk, kOk, routing, offered, kOk, kPrompt, sent5, kPrompt, error("+CMS ERROR: 42"), kOk, kOk,
          kPrompt, {{0ms, "\r\n+CMGS: 6\r\n\r\nOK\r\n" + cds(5, "111", 0) + cds(6, "222", 0)}}, kOk},
         join({mode, route, {"AT+CMGS=11\r", "003100038111F10000AA0178\x1a", "AT+CMGS=11\r",
                             "003100038122F20000AA0178\x1a"}, mode,
               {"AT+CMGS=11\r", "003500038122F20000AA0178\x1a", restore}}),
         {"SMS to 111 sent: message reference 5.",
          "SMS to 222 failed: +CMS ERROR: 42 (congestion); trying again in 0 s.",
          "SMS to 222 sent: message reference 6.", "SMS to 111 delivered at 2026-12-10 12:35:07 +01:00.",
          "SMS to 222 delivered at 2026-12-10 12:35:07 +01:00.", sent}, 0, {}, {}, -1, 5},
        {"reports, pool: the modem left for another is given its setting back, its reports lost",
         {"111", "222"}, "x",
         {kOk, kOk, routing, offered, kOk, kPrompt, sent5, error("+CMS ERROR: 311"), kOk, kOk},
         join({mode, route, {"AT+CMGS=11\r", "003100038111F10000AA0178\x1a", "AT+CMGS=11\r", "\x1b",
                             restore}}),
         {"SMS to 111 sent via {A}: message reference 5.",
          "SMS to 222 via {A} failed: +CMS ERROR: 311 (SIM PIN required); trying the next modem now.",
          "SMS to 222 sent via {B}: message reference 6.", "SMS to 222 delivered at 2026-12-10 12:35:07 +01:00.",
          "SMS to 111 not confirmed: the port was given back before a delivery report came.",
          "SMS delivery not confirmed."}, 1,
         {kOk, kOk, routing, offered, kOk, kPrompt, {{0ms, "\r\n+CMGS: 6\r\n\r\nOK\r\n" + cds(6, "222", 0)}}, kOk},
         join({mode, route, {"AT+CMGS=11\r", "003100038122F20000AA0178\x1a", restore}}), -1, 5},
        {"reports: a modem that offers no ds=1 sends once, waits for none and says so", {"111"}, "x",
         {kOk, kOk, routing, no_ds, kPrompt, kSent}, join({mode, {"AT+CNMI?\r", "AT+CNMI=?\r"},
         {"AT+CMGS=11\r", "003100038111F10000AA0178\x1a"}}),
         {"The modem cannot pass delivery reports on: AT+CNMI=? answered \"+CNMI: "
          "(0-3),(0-3),(0-3),(0,2),(0,1)\".", served,
          "SMS to 111 not confirmed: the modem cannot pass delivery reports on.",
          "SMS delivery not confirmed."}, 1, {}, {}, -1, 5},
        {"no answer, then no prompt: the copy that may be out stands", {"111"}, "x",
         {kOk, kOk, kPrompt, kSilence, kOk, kOk, kSilence, kSilence, kOk, kOk, kSilence, kSilence},
         join({mode, a, mode, {"AT+CMGS=11\r", "\x1b"}, mode, {"AT+CMGS=11\r", "\x1b", state[0]}}),
         {"SMS to 111 failed: no answer; trying again in 0 s.", "SMS to 111 failed: no prompt; trying again in 0 s.",
          "SMS to 111 not sent: no prompt; no more tries.", "Modem state: no answer", "SMS not confirmed by modem."}, 1},
        {"pool: the next modem cannot be had: the rounds go on, and end", {"111"}, "x",
         {kOk, kOk, kPrompt, error("+CMS ERROR: 331"), kOk, kOk, kPrompt, error("+CMS ERROR: 331"), kOk, kOk, kPrompt, error("+CMS ERROR: 331")},
         join({mode, a, mode, a_again, mode, a_again}),
         {"SMS to 111 via {A} failed: +CMS ERROR: 331 (no network service); trying the next modem now.",
          "No modem port: {B} in use by another program; trying again in 0 s.",
          "SMS to 111 via {A} failed: +CMS ERROR: 331 (no network service); trying the next modem now.",
          "No modem port: {B} in use by another program; trying again in 0 s.",
          "SMS to 111 via {A} failed: +CMS ERROR: 331 (no network service); trying the next modem now.",
          "No modem port: {B} in use by another program; no more tries.",
          "SMS to 111 not sent: +CMS ERROR: 331 (no network service); no more tries.", gave_up}, 1, {kOk}, {}, 1},
    };
    // clang-format on
    const int waits[] = {0, 0, 60};  // two rounds of retries: a third would start too late
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ScriptedModem modem(row.script);
        std::optional<ScriptedModem> second;
        if (row.second.empty()) {
            EXPECT_EQ(deliver_to(modem, row.numbers, row.text, {waits, 5}, nullptr, row.report),
                      row.status);
        } else {
            second.emplace(row.second);
            const char *held = row.held == 0 ? modem.path() : row.held == 1 ? second->path() : "";
            const int holder = row.held >= 0 ? open(held, O_RDWR | O_NOCTTY) : -1;
            EXPECT_TRUE(row.held < 0 || flock(holder, LOCK_EX | LOCK_NB) == 0);
            EXPECT_EQ(deliver_on({modem.path(), second->path()}, row.numbers, row.text, {waits, 5},
                                 true, row.report),
                      row.status);
            close(holder);
            EXPECT_EQ(second->commands(), row.second_commands);
        }
        EXPECT_EQ(modem.commands(), row.commands);
        std::vector<std::string> want = row.log;
        for (std::string &line : want) {
            for (const auto &[mark, device] :
                 {std::pair{"{A}", modem.path()}, {"{B}", second ? second->path() : ""}})
                if (const auto at = line.find(mark); at != std::string::npos)
                    line.replace(at, 3, device);
        }
        EXPECT_EQ(logged(), want);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "a lock left";
    }
}

TEST_F(Deliver, StopDuringAPauseUnwinds)
{
    ScriptedModem modem({kOk, kOk, kPrompt, error("+CMS ERROR: 42")});
    const int waits[] = {5};
    std::thread stopper([] {
        std::this_thread::sleep_for(500ms);
        g_stop_signal = SIGTERM;
    });
    const auto start = Clock::now();
    EXPECT_EQ(deliver_to(modem, {"111"}, "x", {waits, 10}), -1);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 0.5 + kLoad)
        << "the 5 s pause is cut short";
    stopper.join();
    g_stop_signal = 0;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1)
        << "only the log socket: no lock";
}

// A stop while the run waits for reports: the modem's own setting goes
// back all the same, at once.
TEST_F(Deliver, StopWhileWaitingForReportsGivesTheSettingBack)
{
    ScriptedModem modem({kOk, kOk, error("+CNMI: 1,0,0,0,0\r\n\r\nOK"),
                         error("+CNMI: (1,2),(0-3),(0-3),(0,1),(0,1)\r\n\r\nOK"), kOk, kPrompt,
                         kSent, kOk});
    std::thread stopper([&] {
        while (modem.commands().size() < 7)  // the PDU is in
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(300ms);
        g_stop_signal = SIGTERM;
    });
    const auto start = Clock::now();
    const int waits[] = {0};
    EXPECT_EQ(deliver_to(modem, {"111"}, "x", {waits, 5}, nullptr, 60), -1);
    EXPECT_LT(Clock::now() - start, 3s) << "the wait for reports is cut short";
    stopper.join();
    g_stop_signal = 0;
    EXPECT_EQ(modem.commands().back(), "AT+CNMI=1,0,0,0,0\r");
}

// A modem that re-plugs between rounds: the round that finds no port is a
// warning with its retry, and the run that then sends everything succeeds.
TEST_F(Deliver, PortGoneBetweenRoundsIsAWarning)
{
    ScriptedModem modem({kOk, kOk, kPrompt, error("+CMS ERROR: 42"), kOk, kOk, kPrompt, kSent});
    const std::filesystem::path link = dir / "modem";
    std::filesystem::create_symlink(modem.path(), link);
    std::thread replug([&] {
        while (modem.heard() < 4)  // the refused PDU is in
            std::this_thread::sleep_for(10ms);
        std::filesystem::remove(link);
        std::this_thread::sleep_for(1500ms);  // across the second round
        std::filesystem::create_symlink(modem.path(), link);
    });
    const int waits[] = {1, 1};
    EXPECT_EQ(deliver_to(modem, {"111"}, "x", {waits, 5}, link.c_str()), 0);
    replug.join();
    EXPECT_EQ(logged(), (std::vector<std::string>{
                            "SMS to 111 failed: +CMS ERROR: 42 (congestion); trying again in 1 s.",
                            "No modem port: cannot open " + link.string() +
                                ": No such file or directory; trying again in 1 s.",
                            "SMS to 111 sent: message reference 7.", "SMS successfully sent."}));
}

TEST(AtCommand, WaitingRules)
{
    struct Case {
        const char *what;
        Awaited awaited;
        Answer answer;
        const char *gathered;  // nullptr: not compared
        Verdict verdict;
        double seconds;              // what the exchange is designed to take
        const char *info = nullptr;  // a query's own line, as it came; nullptr: no query
    };
    // T is 2 s, longer than the load margin, so that an answer taken at
    // once is told apart from one waited for until T. The second chunk
    // comes 600 ms after the first: within the wait of an undecided reply.
    // A decided one ends on its answer, at once.
    constexpr int kT = 2;
    Answer noise;  // a byte every 150 ms, for half a second past 2 T
    for (int i = 0; i < (2 * kT * 1000 + 500) / 150; ++i)
        noise.push_back({150ms, "x"});
    const std::string blanks(70, ' ');  // more than a line keeps
    // clang-format off
    const std::vector<Case> cases = {
        {"CR LF, then OK", Awaited::ok, {{0ms, "\r\n"}, {600ms, "OK\r\n"}}, "\r\nOK\r\n", Verdict::answer, 0.6},
        {"a notice, then OK", Awaited::ok, {{0ms, "\r\n+CREG: 1\r\n"}, {600ms, "\r\nOK\r\n"}},
         "\r\n+CREG: 1\r\n\r\nOK\r\n", Verdict::answer, 0.6},
        {"late LF after OK", Awaited::ok, {{0ms, "\r\nOK\r"}, {600ms, "\n"}}, "\r\nOK\r", Verdict::answer, 0},
        {"OK without its CR LF: judged after the quiet", Awaited::ok, {{0ms, "\r\nOK"}, {600ms, "\r\n"}},
         "\r\nOK", Verdict::answer, 0.2},
        {"OK, then AY: judged at its line end", Awaited::ok, {{0ms, "\r\nOK"}, {100ms, "AY\r\n"}},
         "\r\nOKAY\r\n", Verdict::none, kT},
        {"an error, then a stale OK", Awaited::ok, {{0ms, "\r\nERROR\r\n"}, {300ms, "\r\nOK\r\n"}},
         "\r\nERROR\r\n", Verdict::error, 0},
        {"prompt, then more", Awaited::prompt, {{0ms, "\r\n>"}, {600ms, " "}}, "\r\n>", Verdict::answer, 0},
        {"a trickle of noise ends at 2 T", Awaited::ok, noise, nullptr, Verdict::none, 2 * kT},
        {"OK after more blanks than a line keeps", Awaited::ok, {{0ms, "\r\n" + blanks + "OK\r\n"}}, nullptr,
         Verdict::answer, 0},
        {"a query: another's late answer, then its own", Awaited::ok,
         {{0ms, "\r\n+CREG: 0,1\r\n\r\nOK\r\n"}, {100ms, "\r\n+CSQ: 20,99\r\n\r\nOK\r\n"}}, nullptr,
         Verdict::answer, 0.1, "+CSQ: 20,99"},
        {"a query's bare OK: its answer once nothing else came", Awaited::ok, {{0ms, "\r\nOK\r\n"}},
         "\r\nOK\r\n", Verdict::answer, kT, ""},
    };
    // clang-format on
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedModem modem({c.answer});
        const auto start = Clock::now();
        Exchange exchange = {c.awaited, kT, 2 * kT};
        exchange.info = c.info != nullptr ? "+CSQ:" : "";
        const Reply reply = at_command(modem.fd(), "AT\r", exchange);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(took, c.seconds - kGrain);
        EXPECT_LT(took, c.seconds + kLoad);
        EXPECT_TRUE(reply.written);
        EXPECT_EQ(reply.verdict, c.verdict);
        if (c.gathered != nullptr) {
            EXPECT_STREQ(reply.text, c.gathered);
        }
        EXPECT_EQ(reply.info.view(), c.info != nullptr ? c.info : "");
    }
}

TEST(AtCommand, FloodsAreSearchedButKeepTheirFirst8191Bytes)
{
    std::string flood;
    for (std::size_t i = 0; flood.size() < 100000; ++i)
        flood += std::to_string(i) + ",";
    ScriptedModem modem({{{0ms, flood + "\r\n+CMGS: 5\r\n\r\nOK\r\n"}}, kOk});
    const Reply reply = at_command(modem.fd(), "00\x1a", {Awaited::ok, 1, 2, true, true});
    EXPECT_EQ(reply.verdict, Verdict::answer) << "the answer after 100 KB is found";
    EXPECT_EQ(reply.info.view(), "+CMGS: 5") << "and its message reference";
    EXPECT_EQ(std::string(reply.text), flood.substr(0, kReplyBufferSize - 1));
    EXPECT_STREQ(at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2}).text, "\r\nOK\r\n")
        << "the rest was drained";
}

TEST(AtCommand, FloodAfterTheAnswerIsNotTheNextAnswer)
{
    ScriptedModem modem({{{0ms, "\r\nOK\r\n" + std::string(70000, 'f')}}, kPrompt});
    EXPECT_EQ(at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2}).verdict, Verdict::answer);
    EXPECT_EQ(at_command(modem.fd(), "AT+CMGS=5\r", {Awaited::prompt, 1, 2}).verdict,
              Verdict::answer);
}

TEST(AtCommand, WhatWasOnTheLineBeforeIsNotTheAnswer)
{
    ScriptedModem modem({{{0ms, "\r\nOK\r\n"}, {50ms, "\r\nOK\r\n"}}, error("ERROR")});
    EXPECT_EQ(at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2}).verdict, Verdict::answer);
    wait_pending(modem.fd(), 6);  // the second OK
    EXPECT_EQ(at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2}).verdict, Verdict::error);
    // A late result whose line ends only after the next command went out.
    const std::string result = "\r\n+CMGS: 7\r\n\r\nOK";
    ScriptedModem late({{{300ms, result}}, {{0ms, "\r\n\r\nOK\r\n"}}});
    static_cast<void>(at_command(late.fd(), "00\x1a", {Awaited::ok, 0, 0}));
    wait_pending(late.fd(), result.size());
    const auto start = Clock::now();
    // T longer than the load margin: waiting for it would show.
    EXPECT_EQ(at_command(late.fd(), "AT\r", {Awaited::ok, 3, 6}).verdict, Verdict::answer);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), kLoad)
        << "its own OK, not the late one's";
}

TEST(AtCommand, AnotherPortStartsClean)
{
    // The last modem was given back in the middle of a report's PDU, one
    // longer than a report keeps: on the next modem, its error is no part of it.
    const std::string cut_off = "\r\n+CDS: 22\r\n" + std::string(400, 'a');
    ScriptedModem first({{{300ms, cut_off}}});
    static_cast<void>(at_command(first.fd(), "AT\r", {Awaited::ok, 0, 0}));
    wait_pending(first.fd(), cut_off.size());
    static_cast<void>(at_command(first.fd(), "AT\r", {Awaited::ok, 0, 0}));
    start_line();
    ScriptedModem next({{{0ms, "+CMS ERROR: 500\r\n"}}});
    EXPECT_EQ(at_command(next.fd(), "AT\r", {Awaited::ok, 1, 2}).verdict, Verdict::error);
    // A report whose lines end only after an exchange gave up is a report all the same.
    for (const auto &[before, after, length] :
         {std::tuple{"\r\n+CDS: 3\r\n000", "601\r\n", 3}, {"\r\n+CDS: 1", "3\r\n000601\r\n", 13}}) {
        ScriptedModem cut({{{0ms, before}, {1500ms, after}}});
        static_cast<void>(at_command(cut.fd(), "AT\r", {Awaited::ok, 1, 1}));
        ASSERT_EQ(listen_unsolicited(cut.fd(), monotonic_ms() + 3000), Heard::report);
        StatusLine line;
        ASSERT_TRUE(take_status_line(line));
        EXPECT_EQ(line.announced, std::size_t(length));
        EXPECT_EQ(line.view(), "000601");
    }
}

TEST(AtCommand, LateAnswerOpensTheNextReply)
{
    ScriptedModem modem({{{1300ms, "\r\n+CMGS: 1\r\n\r\nOK\r\n"}}, kPrompt});
    const Reply late = at_command(modem.fd(), "0011\x1a", {Awaited::ok, 1, 1});
    EXPECT_EQ(late.verdict, Verdict::none);
    const Reply next = at_command(modem.fd(), "AT+CMGS=5\r", {Awaited::prompt, 1, 2});
    EXPECT_EQ(std::string(next.text).rfind("\r\n+CMGS: 1", 0), 0u) << next.text;
    EXPECT_EQ(next.verdict, Verdict::answer);
}

TEST(AtCommand, AnyDescriptorNumber)
{
    // A parent that leaks descriptors can hand us a modem past select()'s 1024.
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, std::min<rlim_t>(limit.rlim_max, 2048));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    ScriptedModem modem({kOk});
    const int high = fcntl(modem.fd(), F_DUPFD, 1500);
    ASSERT_GE(high, 1500);
    EXPECT_EQ(at_command(high, "AT\r", {Awaited::ok, 1, 2}).verdict, Verdict::answer);
    close(high);
}

TEST(AtCommand, WholeCommandGoesOutWhenThePortIsFull)
{
    ScriptedModem modem({kOk}, 500ms);
    // Fill the line's output queue while the modem is not yet reading.
    const std::string junk(1024, 'z');
    while (write(modem.fd(), junk.data(), junk.size()) > 0) {
    }
    const std::string command = "AT+" + std::string(500, 'h') + "\r";
    EXPECT_STREQ(at_command(modem.fd(), command.c_str(), {Awaited::ok, 3, 6}).text, "\r\nOK\r\n");
    const auto commands = modem.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(commands.back().ends_with(command));
}

}  // namespace
