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
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr DialogueTimeouts kShort = {1, 1, 1};

// One answer of the scripted modem, given once a command line (ended by CR
// or Ctrl-Z) has arrived. An empty reply is silence.
struct Answer {
    std::string reply{};
    std::chrono::milliseconds delay{0};
    std::string more{};  // a second chunk, `more_delay` after the first
    std::chrono::milliseconds more_delay{0};
};

const Answer kOk = {"\r\nOK\r\n"};
const Answer kPrompt = {"\r\n> "};
const Answer kSent = {"\r\n+CMGS: 7\r\n\r\nOK\r\n"};

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
                if (buf[i] != '\r' && buf[i] != kCtrlZ)
                    continue;
                {
                    std::lock_guard lock(mutex_);
                    commands_.push_back(line);
                }
                line.clear();
                if (next < script_.size()) {
                    const Answer &a = script_[next++];
                    std::this_thread::sleep_for(a.delay);
                    send(a.reply);
                    if (!a.more.empty()) {
                        std::this_thread::sleep_for(a.more_delay);
                        send(a.more);
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
    std::vector<std::string> out = {kModeCommand};
    for (const char *number : numbers) {
        PduList list;
        const unsigned count = build_pdus(number, text, list);
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
    return send_sms(modem.fd(), argv, text, kShort);
}

TEST(Dialogue, OneRecipientOnePart)
{
    ScriptedModem modem({kOk, kPrompt, kSent});
    EXPECT_EQ(run(modem, {"+15555550123"}, "hello"), 0);
    const std::vector<std::string> want = {"ATE0+CMGF=0\r", "AT+CMGS=19\r",
                                           "0011000B915155550521F30000AA05E8329BFD06\x1a"};
    EXPECT_EQ(modem.commands(), want);
}

TEST(Dialogue, ModeCommandReplies)
{
    struct Case {
        const char *what;
        Answer answer;
        int status;
    };
    const std::vector<Case> cases = {
        {"OK", {"\r\nOK\r\n"}, 0},
        {"OK in pieces", {"\r\nO"}, 1},  // "O" alone is no OK
        {"ERROR", {"\r\nERROR\r\n"}, 1},
        {"silence", {""}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedModem modem({c.answer, kPrompt, kSent});
        EXPECT_EQ(run(modem, {"123"}, "x"), c.status);
        EXPECT_EQ(modem.commands().size(), c.status == 0 ? 3u : 1u);
    }
}

TEST(Dialogue, PartsInOrderForEveryRecipient)
{
    const std::string text(400, 'p');
    std::vector<Answer> script = {kOk};
    for (int i = 0; i < 2 * 3; ++i) {
        script.push_back(kPrompt);
        script.push_back(kSent);
    }
    ScriptedModem modem(script);
    EXPECT_EQ(run(modem, {"+4911", "0172"}, text), 0);
    EXPECT_EQ(modem.commands(), expected_commands({"+4911", "0172"}, text));
}

TEST(Dialogue, MissingPromptStopsTheRun)
{
    const std::string text(200, 'q');  // two parts
    ScriptedModem modem({kOk, kPrompt, kSent, {"\r\nERROR\r\n"}});
    EXPECT_EQ(run(modem, {"111", "222"}, text), 1);
    auto want = expected_commands({"111"}, text);
    want.pop_back();  // the second PDU is never written
    EXPECT_EQ(modem.commands(), want);
}

TEST(Dialogue, RejectedRecipientIsSkippedAndReported)
{
    const std::string text(200, 'r');
    ScriptedModem modem(
        {kOk, kPrompt, {"\r\n+CMS ERROR: 500\r\n"}, kPrompt, kSent, kPrompt, kSent});
    EXPECT_EQ(run(modem, {"111", "222"}, text), 1);
    auto want = expected_commands({"222"}, text);
    const auto first = expected_commands({"111"}, text);
    want.insert(want.begin() + 1, first.begin() + 1, first.begin() + 3);  // its first part only
    EXPECT_EQ(modem.commands(), want);
}

TEST(Dialogue, UnansweredSubmissionStillSucceeds)
{
    ScriptedModem modem({kOk, kPrompt, {""}});
    EXPECT_EQ(run(modem, {"123"}, "x"), 0);
}

TEST(AtCommand, ShortChunkWaitsTheFullTimeout)
{
    struct Case {
        const char *first;
        const char *gathered;
    };
    // The rest comes 600 ms after the first chunk: within the full 1 s wait
    // that follows 1 or 2 bytes, past the 200 ms quiet time after more.
    const std::vector<Case> cases = {
        {"\r\n", "\r\nOK\r\n"},
        {"\r", "\rOK\r\n"},
        {"\r\n>", "\r\n>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.first);
        ScriptedModem modem({{c.first, 0ms, "OK\r\n", 600ms}});
        EXPECT_STREQ(at_command(modem.fd(), "AT\r", 1), c.gathered);
    }
}

TEST(AtCommand, LongReplyKeepsItsFirst8191Bytes)
{
    std::string flood;
    for (std::size_t i = 0; flood.size() < 10000; ++i)
        flood += std::to_string(i) + ",";
    ScriptedModem modem({{flood}, kOk});
    const std::string reply = at_command(modem.fd(), "AT\r", 1);
    EXPECT_EQ(reply, flood.substr(0, kReplyBufferSize - 1));
    EXPECT_STREQ(at_command(modem.fd(), "AT\r", 1), "\r\nOK\r\n") << "the rest was drained";
}

TEST(AtCommand, FloodIsCutPast65535Bytes)
{
    ScriptedModem modem({{std::string(70000, 'f')}, kPrompt});
    EXPECT_EQ(std::strlen(at_command(modem.fd(), "AT\r", 1)), kReplyBufferSize - 1);
    const std::string next = at_command(modem.fd(), "AT+CMGS=5\r", 1);
    EXPECT_EQ(next.front(), 'f') << "what was left of the flood opens the next reply";
    EXPECT_NE(next.find('>'), std::string::npos);
}

TEST(AtCommand, LateAnswerOpensTheNextReply)
{
    ScriptedModem modem({{"\r\n+CMGS: 1\r\n\r\nOK\r\n", 1300ms}, kPrompt});
    EXPECT_STREQ(at_command(modem.fd(), "0011\x1a", 1), "");
    const std::string next = at_command(modem.fd(), "AT+CMGS=5\r", 1);
    EXPECT_EQ(next.rfind("\r\n+CMGS: 1", 0), 0u) << next;
    EXPECT_NE(next.find('>'), std::string::npos);
}

TEST(AtCommand, WholeCommandGoesOutWhenThePortIsFull)
{
    ScriptedModem modem({kOk}, 500ms);
    // Fill the line's output queue while the modem is not yet reading.
    const std::string junk(1024, 'z');
    while (write(modem.fd(), junk.data(), junk.size()) > 0) {
    }
    const std::string command = "AT+" + std::string(500, 'h') + "\r";
    EXPECT_STREQ(at_command(modem.fd(), command.c_str(), 3), "\r\nOK\r\n");
    const auto commands = modem.commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_TRUE(commands.back().ends_with(command));
}

}  // namespace
