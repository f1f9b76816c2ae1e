// cellpost-modem-sim: a GSM modem on a pseudo-terminal, for tests and demos.
//
// It serves the master side of a new pty and answers what cellpost says in
// PDU mode (3GPP TS 27.005) the way a real modem does: echo until ATE0, a
// prompt after AT+CMGS=<n>, hex text up to Ctrl-Z checked against <n>, then
// +CMGS: <mr> or +CMS ERROR. Options add the faults real modems show. It
// prints "pty <slave path>" on standard output once ready, and keeps serving
// across client opens and closes until SIGTERM or SIGINT.
//
// Transcript (--transcript FILE), one line per chunk:
//   <seconds since start, 3 decimals> <'<' received | '>' sent> <bytes>
// with bytes escaped as \r \n \\ and \xHH for anything unprintable.
// PDU list (--pdus FILE), one line per PDU received:
//   <hex as received> <accepted | rejected | invalid>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kCtrlZ = '\x1a';
constexpr char kEsc = '\x1b';
constexpr const char *kOk = "\r\nOK\r\n";
constexpr const char *kError = "\r\nERROR\r\n";
constexpr const char *kBadLength = "\r\n+CMS ERROR: 304\r\n";  // invalid PDU mode parameter
constexpr const char *kRejected = "\r\n+CMS ERROR: 500\r\n";   // unknown error

struct Options {
    std::string link, transcript, pdus;
    long latency_ms = 0;              // before every answer
    long delay_ms = 0;                // before a submission's result, on top of that
    bool silent = false;              // answer nothing at all
    bool mode_error = false;          // ERROR to AT+CMGF
    long prompt_error_from = 0;       // ERROR instead of the k-th and later prompts
    bool short_prompt = false;        // "> " without the leading CR LF
    std::vector<std::string> reject;  // destinations answered +CMS ERROR: 500
    long flood = 0;                   // filler bytes after the OK to AT+CMGF
};

struct Pending {
    Clock::time_point due;
    std::string bytes;
};

volatile std::sig_atomic_t g_stop = 0;

void on_signal(int /*signal*/)
{
    g_stop = 1;
}

class Modem {
public:
    Modem(const Options &options, int master) : opt_(options), master_(master), start_(Clock::now())
    {
        if (!opt_.transcript.empty())
            transcript_ = std::fopen(opt_.transcript.c_str(), "w");
        if (!opt_.pdus.empty())
            pdus_ = std::fopen(opt_.pdus.c_str(), "w");
    }
    ~Modem()
    {
        if (transcript_)
            std::fclose(transcript_);
        if (pdus_)
            std::fclose(pdus_);
    }

    void run()
    {
        while (!g_stop) {
            pollfd p = {master_, POLLIN, 0};
            if (!sending_.empty() || (!out_.empty() && out_.front().due <= Clock::now()))
                p.events |= POLLOUT;
            int wait = 100;
            if (!out_.empty()) {
                const auto until =
                    std::chrono::duration_cast<milliseconds>(out_.front().due - Clock::now());
                wait = static_cast<int>(std::clamp<long>(until.count(), 0, 100));
            }
            if (poll(&p, 1, wait) < 0 && errno != EINTR)
                return;
            if (p.revents & POLLIN)
                receive();
            flush_due();
        }
    }

private:
    void receive()
    {
        char buf[4096];
        const ssize_t got = read(master_, buf, sizeof buf);
        if (got <= 0)
            return;
        log('<', std::string(buf, static_cast<std::size_t>(got)));
        for (ssize_t i = 0; i < got; ++i)
            take(buf[i]);
    }

    void take(char c)
    {
        if (opt_.silent)
            return;
        if (collecting_pdu_) {
            if (c == kCtrlZ) {
                collecting_pdu_ = false;
                submit();
            } else if (c == kEsc) {
                collecting_pdu_ = false;
                pdu_.clear();
                reply(kOk);
            } else {
                pdu_ += c;
                if (echo_)
                    reply(std::string(1, c));
            }
            return;
        }
        if (echo_)
            reply(std::string(1, c));
        if (c == '\r') {
            command(line_);
            line_.clear();
        } else if (c != '\n') {
            line_ += c;
        }
    }

    void command(std::string line)
    {
        std::transform(line.begin(), line.end(), line.begin(), [](char c) {
            return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        });
        if (line.empty())
            return;
        if (line.rfind("AT", 0) != 0) {
            reply(kError);
            return;
        }
        if (const auto at = line.find("+CMGS="); at != std::string::npos) {
            ++prompts_;
            if (opt_.prompt_error_from > 0 && prompts_ >= opt_.prompt_error_from) {
                reply(kError);
                return;
            }
            announced_ = std::strtol(line.c_str() + at + 6, nullptr, 10);
            collecting_pdu_ = true;
            pdu_.clear();
            reply(opt_.short_prompt ? "> " : "\r\n> ");
            return;
        }
        if (line.find("E0") != std::string::npos)
            echo_ = false;
        if (line.find("E1") != std::string::npos)
            echo_ = true;
        if (line.find("+CMGF") != std::string::npos && opt_.mode_error) {
            reply(kError);
            return;
        }
        std::string answer = kOk;
        if (line.find("+CMGF") != std::string::npos && opt_.flood > 0)
            answer += std::string(static_cast<std::size_t>(opt_.flood), 'x');
        reply(answer);
    }

    // Checks the hex and its length against the announcement, then
    // answers as the network would.
    void submit()
    {
        std::vector<unsigned> octets;
        bool hex_ok = pdu_.size() % 2 == 0 && !pdu_.empty();
        for (std::size_t i = 0; hex_ok && i < pdu_.size(); i += 2) {
            const std::string pair = pdu_.substr(i, 2);
            hex_ok = std::isxdigit(static_cast<unsigned char>(pair[0])) &&
                     std::isxdigit(static_cast<unsigned char>(pair[1]));
            if (hex_ok)
                octets.push_back(static_cast<unsigned>(std::strtoul(pair.c_str(), nullptr, 16)));
        }
        const long tpdu = hex_ok ? static_cast<long>(octets.size()) - 1 - octets[0] : -1;
        const char *verdict = "accepted";
        if (!hex_ok || tpdu != announced_) {
            verdict = "invalid";
            reply(kBadLength);
        } else if (rejected(destination(octets))) {
            verdict = "rejected";
            reply(kRejected);
        } else {
            reply("\r\n+CMGS: " + std::to_string(++reference_ % 256) + "\r\n\r\nOK\r\n",
                  milliseconds(opt_.delay_ms));
        }
        if (pdus_) {
            std::fprintf(pdus_, "%s %s\n", pdu_.c_str(), verdict);
            std::fflush(pdus_);
        }
    }

    // TP-DA of an SMS-SUBMIT: after the SMSC, the first octet and TP-MR.
    static std::string destination(const std::vector<unsigned> &o)
    {
        const std::size_t at = 1 + o[0] + 2;
        if (at + 2 > o.size())
            return {};
        const unsigned digits = o[at];
        std::string number = o[at + 1] == 0x91 ? "+" : "";
        for (unsigned k = 0; k < digits && at + 2 + k / 2 < o.size(); ++k) {
            const unsigned octet = o[at + 2 + k / 2];
            number += static_cast<char>('0' + ((k % 2) ? octet >> 4 : octet & 0x0F));
        }
        return number;
    }

    bool rejected(const std::string &number) const
    {
        return std::find(opt_.reject.begin(), opt_.reject.end(), number) != opt_.reject.end();
    }

    void reply(const std::string &bytes, milliseconds delay = milliseconds(0))
    {
        const Pending p = {Clock::now() + milliseconds(opt_.latency_ms) + delay, bytes};
        // Keep the queue in time order; equal times keep their order.
        const auto at =
            std::upper_bound(out_.begin(), out_.end(), p.due,
                             [](Clock::time_point t, const Pending &q) { return t < q.due; });
        out_.insert(at, p);
    }

    // Everything due goes out in one write, as a modem's UART would send it.
    void flush_due()
    {
        while (!out_.empty() && out_.front().due <= Clock::now()) {
            sending_ += out_.front().bytes;
            out_.pop_front();
        }
        if (sending_.empty())
            return;
        const ssize_t n = write(master_, sending_.data(), sending_.size());
        if (n <= 0)
            return;  // the line is full: poll for room
        log('>', sending_.substr(0, static_cast<std::size_t>(n)));
        sending_.erase(0, static_cast<std::size_t>(n));
    }

    void log(char direction, const std::string &bytes)
    {
        if (!transcript_)
            return;
        const double t = std::chrono::duration<double>(Clock::now() - start_).count();
        std::fprintf(transcript_, "%.3f %c ", t, direction);
        for (const char c : bytes) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '\r')
                std::fputs("\\r", transcript_);
            else if (c == '\n')
                std::fputs("\\n", transcript_);
            else if (c == '\\')
                std::fputs("\\\\", transcript_);
            else if (u < 0x20 || u >= 0x7F)
                std::fprintf(transcript_, "\\x%02x", u);
            else
                std::fputc(c, transcript_);
        }
        std::fputc('\n', transcript_);
        std::fflush(transcript_);
    }

    const Options &opt_;
    int master_;
    Clock::time_point start_;
    std::FILE *transcript_ = nullptr;
    std::FILE *pdus_ = nullptr;
    std::deque<Pending> out_;
    std::string sending_;  // due, not yet taken by the line
    std::string line_, pdu_;
    bool echo_ = true;
    bool collecting_pdu_ = false;
    long announced_ = 0;
    long prompts_ = 0;
    unsigned reference_ = 0;
};

int usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s [--link PATH] [--transcript FILE] [--pdus FILE] [--latency-ms N] "
                 "[--delay-ms N]\n"
                 "       [--silent] [--mode-error] [--prompt-error K] [--short-prompt]\n"
                 "       [--reject NUMBER]... [--flood BYTES]\n",
                 program);
    return 2;
}

// A count or a time in milliseconds: digits only.
bool parse_number(const char *text, long &out)
{
    char *end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && out >= 0;
}

bool parse_options(int argc, char **argv, Options &opt)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--silent") {
            opt.silent = true;
            continue;
        }
        if (a == "--mode-error") {
            opt.mode_error = true;
            continue;
        }
        if (a == "--short-prompt") {
            opt.short_prompt = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const char *value = argv[++i];
        bool ok = true;
        if (a == "--link")
            opt.link = value;
        else if (a == "--transcript")
            opt.transcript = value;
        else if (a == "--pdus")
            opt.pdus = value;
        else if (a == "--reject")
            opt.reject.emplace_back(value);
        else if (a == "--latency-ms")
            ok = parse_number(value, opt.latency_ms);
        else if (a == "--delay-ms")
            ok = parse_number(value, opt.delay_ms);
        else if (a == "--prompt-error")
            ok = parse_number(value, opt.prompt_error_from);
        else if (a == "--flood")
            ok = parse_number(value, opt.flood);
        else
            ok = false;
        if (!ok)
            return false;
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!parse_options(argc, argv, opt))
        return usage(argv[0]);

    int master = -1;
    int slave = -1;
    char name[128];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    // Raw on both sides: the simulated modem does its own echo. The slave
    // stays open here so that a client closing it does not hang up the line.
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!opt.link.empty()) {
        unlink(opt.link.c_str());
        if (symlink(name, opt.link.c_str()) != 0) {
            std::perror("symlink");
            return 1;
        }
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("pty %s\n", name);
    std::fflush(stdout);
    Modem(opt, master).run();
    if (!opt.link.empty())
        unlink(opt.link.c_str());
    return 0;
}
