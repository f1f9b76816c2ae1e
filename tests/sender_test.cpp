// The AT dialogue against a scripted modem on a pseudo-terminal, with short
// waits.
#include "sender.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
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
    int slave() const { return slave_; }
    std::vector<std::string> commands()
    {
        std::this_thread::sleep_for(50ms);  // for the last bytes written to arrive
        std::lock_guard lock(mutex_);
        return commands_;
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
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> commands_;
};

// What a correct run writes: the mode command, then announcement and PDU
// for every part of every recipient.
std::vector<std::string> expected_commands(const std::vector<const char *> &numbers,
                                           const std::string &text)
{
    std::vector<std::string> out = {kModeCommand, kErrorCodesCommand};
    for (const char *number : numbers) {
        PduList list;
        const unsigned count = build_pdus(number, text, list, kReference);
        for (unsigned k = 0; k < count; ++k) {
            out.push_back("AT+CMGS=" + std::to_string(list[k].length - 1) + "\r");
            std::array<char, kHexBufferSize> hex{};
            hex_encode(std::span(list[k].octets).first(list[k].length), hex);
            out.push_back(std::string(hex.data()) + kCtrlZ);
        }
    }
    return out;
}

int run(ScriptedModem &modem, std::vector<const char *> numbers, const std::string &text)
{
    std::vector<char *> argv;
    for (const char *n : numbers)
        argv.push_back(const_cast<char *>(n));
    return send_sms(modem.fd(), argv, {Alphabet::raw, text}, kReference, kShort);
}

TEST(Dialogue, OneRecipientOnePart)
{
    ScriptedModem modem({kOk, kOk, kPrompt, kSent});
    EXPECT_EQ(run(modem, {"+15555550123"}, "hello"), 0);
    const std::vector<std::string> want = {"ATE0+CMGF=0\r", "AT+CMEE=1\r", "AT+CMGS=19\r",
                                           "0011000B915155550521F30000AA05E8329BFD06\x1a"};
    EXPECT_EQ(modem.commands(), want);
}

// A run against a script: `before`, the case's answers, then `after`;
// checks the status and how many commands were written.
struct DialogueCase {
    const char *what;
    std::vector<Answer> answers;
    int status;
    std::size_t commands;
};

void run_cases(const std::vector<DialogueCase> &cases, const std::vector<const char *> &numbers,
               const std::vector<Answer> &before, const std::vector<Answer> &after)
{
    for (const DialogueCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Answer> script = before;
        script.insert(script.end(), c.answers.begin(), c.answers.end());
        script.insert(script.end(), after.begin(), after.end());
        ScriptedModem modem(script);
        EXPECT_EQ(run(modem, numbers, "x"), c.status);
        EXPECT_EQ(modem.commands().size(), c.commands);
    }
}

TEST(Dialogue, ModeCommandReplies)
{
    // Commands: mode, AT+CMEE=1 (answered by the row), then AT+CMGS and
    // PDU; a mode command left without answer is followed by ESC and a
    // second mode command.
    run_cases(
        {
            {"OK", {kOk, kOk}, 0, 4},
            {"ERROR ends it at once", {{{0ms, "\r\nERROR\r\n"}}}, 1, 1},
            {"+CME ERROR", {{{0ms, "\r\n+CME ERROR: 10\r\n"}}}, 1, 1},
            {"OK 300 ms after the echo",
             {{{0ms, "ATE0+CMGF=0\r"}, {300ms, "\r\nOK\r\n"}}, kOk},
             0,
             4},
            {"OK past a NUL, in pieces",
             {{{0ms, std::string("\r\n\0O", 4)}, {300ms, "K\r\n"}}, kOk},
             0,
             4},
            {"AT+CMEE=1 refused", {kOk, {{0ms, "\r\nERROR\r\n"}}}, 0, 4},
            {"left in PDU entry: ESC, then OK", {kSilence, kSilence, kOk, kOk}, 0, 6},
            {"silence after ESC too", {kSilence, kSilence, kSilence}, 1, 3},
            {"a notice holding OK is no OK",
             {{{0ms, "\r\n+CMTI: \"SM\",3 OK\r\n"}}, kSilence},
             1,
             3},
        },
        {"123"}, {}, {kPrompt, kSent});
}

TEST(Dialogue, PromptReplies)
{
    run_cases(
        {
            {"prompt", {kPrompt}, 0, 4},
            {"notice first", {{{0ms, "\r\n+CREG: 1\r\n"}, {300ms, "\r\n> "}}}, 0, 4},
            // A prompt that does not come is followed by ESC, in case it is
            // late: mode, AT+CMEE=1, AT+CMGS, ESC. An error needs none.
            {"ERROR", {{{0ms, "\r\nERROR\r\n"}}}, 1, 3},
            {"silence", {kSilence}, 1, 4},
        },
        {"123"}, {kOk, kOk}, {kSent});
}

TEST(Dialogue, SubmissionResults)
{
    // Two recipients of one part each. Commands: mode, AT+CMEE=1, then
    // AT+CMGS and PDU per recipient; an error skips to the next recipient,
    // one that says the modem cannot send, or a result that never comes,
    // ends the round.
    const std::string echo = "0011000381110000AA0178\x1a";
    run_cases(
        {
            {"confirmed", {kSent}, 0, 6},
            {"ERROR", {{{0ms, "\r\nERROR\r\n"}}}, 1, 6},
            {"+CME ERROR: the modem cannot send", {{{0ms, "\r\n+CME ERROR: 3\r\n"}}}, 1, 4},
            {"notice, then +CMS ERROR",
             {{{0ms, "\r\n^RSSI:14\r\n"}, {300ms, "\r\n+CMS ERROR: 500\r\n"}}},
             1,
             6},
            {"NUL before the error", {{{0ms, std::string("\0\r\n+CMS ERROR: 500\r\n", 20)}}}, 1, 6},
            {"error split by a pause", {{{0ms, "\r\n+CMS ER"}, {250ms, "ROR: 500\r\n"}}}, 1, 6},
            {"echoed PDU, then the result", {{{0ms, echo}, {400ms, kSent[0].bytes}}}, 0, 6},
            {"notices while the network works",
             {{{0ms, "\r\n+CREG: 1\r\n"}, {300ms, "\r\n^RSSI:14\r\n"}, {300ms, kSent[0].bytes}}},
             0,
             6},
            {"start-up banner only", {{{0ms, "\r\nRDY\r\n"}}}, 1, 4},
            {"a notice holding OK", {{{0ms, "\r\n+CMTI: \"SM\",3 OK\r\n"}}}, 1, 4},
            {"silence", {kSilence}, 1, 4},
            {"result after the wait", {{{1300ms, kSent[0].bytes}}}, 1, 4},
        },
        {"111", "222"}, {kOk, kOk, kPrompt}, {kPrompt, kSent});
}

TEST(Dialogue, PartsInOrderForEveryRecipient)
{
    const std::string text(400, 'p');
    std::vector<Answer> script = {kOk, kOk};
    for (int i = 0; i < 2 * 3; ++i) {
        script.push_back(kPrompt);
        script.push_back(kSent);
    }
    ScriptedModem modem(script);
    EXPECT_EQ(run(modem, {"+4911", "0172"}, text), 0);
    EXPECT_EQ(modem.commands(), expected_commands({"+4911", "0172"}, text));
}

TEST(Dialogue, PromptErrorSkipsToTheNextRecipient)
{
    const std::string text(200, 'q');  // two parts
    ScriptedModem modem(
        {kOk, kOk, kPrompt, kSent, {{0ms, "\r\nERROR\r\n"}}, kPrompt, kSent, kPrompt, kSent});
    EXPECT_EQ(run(modem, {"111", "222"}, text), 1);
    auto want = expected_commands({"111", "222"}, text);
    want.erase(want.begin() + 5);  // 111's second PDU is never written
    EXPECT_EQ(modem.commands(), want);
}

TEST(Dialogue, RejectedRecipientIsSkippedAndReported)
{
    const std::string text(200, 'r');
    ScriptedModem modem(
        {kOk, kOk, kPrompt, {{0ms, "\r\n+CMS ERROR: 500\r\n"}}, kPrompt, kSent, kPrompt, kSent});
    EXPECT_EQ(run(modem, {"111", "222"}, text), 1);
    auto want = expected_commands({"222"}, text);
    const auto first = expected_commands({"111"}, text);
    want.insert(want.begin() + 2, first.begin() + 2, first.begin() + 4);  // its first part only
    EXPECT_EQ(modem.commands(), want);
}

TEST(AtCommand, WaitingRules)
{
    struct Case {
        const char *what;
        Awaited awaited;
        Answer answer;
        const char *gathered;  // nullptr: not compared
        Verdict verdict;
        double earliest, latest;  // seconds the exchange takes
    };
    // T is 1 s; the second chunk comes 600 ms after the first: within the
    // wait of an undecided reply. A decided one ends on its answer, at once.
    Answer noise;  // a byte every 150 ms, for 3 s
    for (int i = 0; i < 20; ++i)
        noise.push_back({150ms, "x"});
    const std::vector<Case> cases = {
        {"CR LF, then OK",
         Awaited::ok,
         {{0ms, "\r\n"}, {600ms, "OK\r\n"}},
         "\r\nOK\r\n",
         Verdict::answer,
         0.55,
         0.8},
        {"a notice, then OK",
         Awaited::ok,
         {{0ms, "\r\n+CREG: 1\r\n"}, {600ms, "\r\nOK\r\n"}},
         "\r\n+CREG: 1\r\n\r\nOK\r\n",
         Verdict::answer,
         0.55,
         0.8},
        {"late LF after OK",
         Awaited::ok,
         {{0ms, "\r\nOK\r"}, {600ms, "\n"}},
         "\r\nOK\r",
         Verdict::answer,
         0,
         0.2},
        {"OK without its CR LF: judged after the quiet",
         Awaited::ok,
         {{0ms, "\r\nOK"}, {600ms, "\r\n"}},
         "\r\nOK",
         Verdict::answer,
         0.18,
         0.45},
        {"OK, then AY: judged at its line end",
         Awaited::ok,
         {{0ms, "\r\nOK"}, {100ms, "AY\r\n"}},
         "\r\nOKAY\r\n",
         Verdict::none,
         1.0,
         1.4},
        {"an error, then a stale OK",
         Awaited::ok,
         {{0ms, "\r\nERROR\r\n"}, {300ms, "\r\nOK\r\n"}},
         "\r\nERROR\r\n",
         Verdict::error,
         0,
         0.2},
        {"prompt, then more",
         Awaited::prompt,
         {{0ms, "\r\n>"}, {600ms, " "}},
         "\r\n>",
         Verdict::answer,
         0,
         0.2},
        {"a trickle of noise ends at 2 T", Awaited::ok, noise, nullptr, Verdict::none, 1.9, 2.4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedModem modem({c.answer});
        const auto start = Clock::now();
        const Reply reply = at_command(modem.fd(), "AT\r", {c.awaited, 1, 2});
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_GE(took, c.earliest);
        EXPECT_LT(took, c.latest);
        EXPECT_TRUE(reply.written);
        EXPECT_EQ(reply.verdict, c.verdict);
        if (c.gathered != nullptr) {
            EXPECT_STREQ(reply.text, c.gathered);
        }
    }
}

TEST(AtCommand, FloodsAreSearchedButKeepTheirFirst8191Bytes)
{
    std::string flood;
    for (std::size_t i = 0; flood.size() < 100000; ++i)
        flood += std::to_string(i) + ",";
    ScriptedModem modem({{{0ms, flood + "\r\nOK\r\n"}}, kOk});
    const Reply reply = at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2});
    EXPECT_EQ(reply.verdict, Verdict::answer) << "the answer after 100 KB is found";
    EXPECT_EQ(std::string(reply.text), flood.substr(0, kReplyBufferSize - 1));
    EXPECT_STREQ(at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2}).text, "\r\nOK\r\n")
        << "the rest was drained";
}

TEST(AtCommand, FloodAfterTheAnswerGoesToTheNextReply)
{
    ScriptedModem modem({{{0ms, "\r\nOK\r\n" + std::string(70000, 'f')}}, kPrompt});
    EXPECT_EQ(at_command(modem.fd(), "AT\r", {Awaited::ok, 1, 2}).verdict, Verdict::answer);
    const std::string next = at_command(modem.fd(), "AT+CMGS=5\r", {Awaited::prompt, 1, 2}).text;
    EXPECT_EQ(next.front(), 'f') << "what was left of the flood opens the next reply";
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
