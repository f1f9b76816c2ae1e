// cellpost-modem-sim: a GSM modem on a pseudo-terminal, for tests and demos.
//
// It serves the master side of a new pty and answers what cellpost says in
// PDU mode (3GPP TS 27.005) the way a real modem does: echo until ATE0, a
// prompt after AT+CMGS=<n>, hex text up to Ctrl-Z checked against <n>, then
// +CMGS: <mr> or +CMS ERROR: 304. Options make the line as untidy as real
// modems make it. It prints "pty <slave path>" on standard output once
// ready, and keeps serving across client opens and closes until SIGTERM or
// SIGINT.
//
// State queries get the answers of a registered modem with a SIM: AT+CPIN?,
// AT+CREG?, AT+CEREG?, AT+CSQ and AT+CSCA? (also joined by ';').
//
// Scripted answers (--script ROW, repeatable), for the modem behaviours that
// are only bytes and timing: ROW is EXCHANGE|ATTEMPTS|ANSWER|DELAY_MS.
//   EXCHANGE  a command the received line holds (case-insensitive, AT aside:
//             ATE0+CMGF=0 holds AT+CMGF); PDU for a submitted PDU (hex up to
//             Ctrl-Z); PDU:<number> for one whose destination (TP-DA) is
//             that number, e.g. PDU:+15555550123; * for every command line
//             and PDU.
//   ATTEMPTS  which occurrences of that EXCHANGE, counted from 1 over the
//             simulator's life: N, N-M, N- (N and later) or * (all).
//   ANSWER    sent instead of the modem's own answer (an AT+CMGS prompt and
//             PDU entry included); empty for no answer at all. Lines split
//             by \n, each framed as CR LF <line> CR LF; or '=' and bytes
//             sent as they are, unframed, with \r \n \t \e (ESC) \xHH and
//             \\ decoded, as the transcript writes them (so \n is a line
//             break in both forms). Echo and E0/E1 still work as usual, and
//             the options that shape the line (--nul, --split-ms, ...) apply.
//   DELAY_MS  added to --latency-ms; for a PDU it replaces --delay-ms.
// The first row given that matches decides; ANSWER may hold '|'. Examples:
//   'AT+CMGF|1|+CME ERROR: 14|0'  the first mode command fails
//   'PDU|2-|+CMS ERROR: 42|300'   every submission but the first is refused
//   'PDU:+15555550123|*|+CMS ERROR: 21|0'  one recipient refused for good
//   'AT+CMGS|3-|ERROR|0'          no prompt from the third announcement on
//   'PDU|*|=\r\nOK|0'             an OK whose line never ends
//   '*|1-3||0'                    nothing heard for the first 3 exchanges
//   '*|*||0'                      a modem that says nothing but its echo
//
// Transcript (--transcript FILE), one line per chunk:
//   <seconds since start, 3 decimals> <'<' received | '>' sent> <bytes>
// with bytes escaped as \r \n \\ and \xHH for anything unprintable.
// PDU list (--pdus FILE), one line per PDU received:
//   <hex as received> <accepted | invalid | answered | unanswered>
// answered: a scripted answer went out; unanswered: a scripted empty one did.
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
#include <limits>
#include <map>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kCtrlZ = '\x1a';
constexpr char kEsc = '\x1b';
constexpr const char *kOk = "\r\nOK\r\n";
constexpr const char *kError = "\r\nERROR\r\n";
constexpr const char *kBadLength = "\r\n+CMS ERROR: 304\r\n";  // invalid PDU mode parameter

// What a registered modem with a SIM says to the state queries.
constexpr std::pair<const char *, const char *> kInfo[] = {
    {"+CPIN?", "+CPIN: READY"},
    {"+CREG?", "+CREG: 0,1"},
    {"+CEREG?", "+CEREG: 0,1"},
    {"+CSQ", "+CSQ: 20,99"},
    {"+CSCA?", "+CSCA: \"+491710760000\",145"},
};

// One --script row: the answer to some occurrences of an exchange.
struct Row {
    std::string exchange;  // upper case; "PDU", "PDU:<number>" and "*" as described above
    long first = 1, last = std::numeric_limits<long>::max();
    std::string answer;  // as it goes on the line; empty for none
    long delay_ms = 0;
};

std::string upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    return text;
}

struct Options {
    std::string link, transcript, pdus;
    std::vector<Row> script;           // scripted answers, first match decides
    std::string notice;                // an unsolicited line...
    std::string before_prompt;         // an unsolicited line just before each prompt
    long notice_ms = 0;                // ...sent this often
    long latency_ms = 0;               // before every answer
    long delay_ms = 0;                 // before a submission's result, on top of that
    long flood = 0;                    // filler bytes after the OK to AT+CMGF
    long ok_delay_ms = 0;              // OK to plain commands this long after the echo
    long split_ms = 0;                 // answers in two halves, this far apart
    long late_crlf_ms = 0;             // an answer's last CR LF this much later
    bool short_prompt = false;         // "> " without the leading CR LF
    bool sticky_echo = false;          // echo (of PDUs too) survives ATE0
    bool nul = false;                  // a NUL byte before every answer
    bool pdu_entry = false;            // starts waiting for PDU text
    bool hangup_after_prompt = false;  // hangs up the line after the first prompt
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
        collecting_pdu_ = opt_.pdu_entry;
        announced_ = -1;  // PDU text without an announcement never fits
        next_notice_ = start_ + milliseconds(opt_.notice_ms);
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
            if (hangup_at_ && Clock::now() >= *hangup_at_) {
                close(master_);  // the far side now gets EIO, as after a USB unplug
                return;
            }
            if (opt_.notice_ms > 0 && Clock::now() >= next_notice_) {
                reply("\r\n" + opt_.notice + "\r\n");
                next_notice_ += milliseconds(opt_.notice_ms);
            }
            pollfd p = {master_, POLLIN, 0};
            if (!sending_.empty() || (!out_.empty() && out_.front().due <= Clock::now()))
                p.events |= POLLOUT;
            int wait = opt_.notice_ms > 0 ? 10 : 100;
            if (!out_.empty()) {
                const auto until =
                    std::chrono::duration_cast<milliseconds>(out_.front().due - Clock::now());
                wait = static_cast<int>(std::clamp<long long>(until.count(), 0, 100));
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
        if (collecting_pdu_) {
            if (opt_.hangup_after_prompt) {  // the prompt went out; the PDU goes nowhere
                hangup_at_ = Clock::now();
                return;
            }
            if (c == kCtrlZ) {
                collecting_pdu_ = false;
                submit();
            } else if (c == kEsc) {
                collecting_pdu_ = false;
                pdu_.clear();
                answer(kOk);
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

    void command(const std::string &received)
    {
        // Whatever precedes "AT" on a line (an ESC that cancelled nothing)
        // is no part of the command, as on a real modem.
        std::string line = upper(received);
        if (const std::size_t at = line.find("AT"); at != std::string::npos)
            line.erase(0, at);
        if (line.empty())
            return;
        const bool at_command = line.rfind("AT", 0) == 0;
        if (const Row *row = scripted(line, std::nullopt)) {
            if (at_command)
                switch_echo(line);
            say(*row);
            return;
        }
        if (!at_command) {
            answer(kError);
            return;
        }
        if (const auto at = line.find("+CMGS="); at != std::string::npos) {
            announced_ = std::strtol(line.c_str() + at + 6, nullptr, 10);
            collecting_pdu_ = true;
            pdu_.clear();
            if (!opt_.before_prompt.empty())
                reply("\r\n" + opt_.before_prompt + "\r\n");
            reply(opt_.short_prompt ? "> " : "\r\n> ");
            return;
        }
        switch_echo(line);
        answer(info(line) + kOk, milliseconds(opt_.ok_delay_ms));
        if (line.find("+CMGF") != std::string::npos && opt_.flood > 0)
            reply(std::string(static_cast<std::size_t>(opt_.flood), 'x'),
                  milliseconds(opt_.ok_delay_ms));
    }

    void switch_echo(const std::string &line)
    {
        if (line.find("E0") != std::string::npos && !opt_.sticky_echo)
            echo_ = false;
        if (line.find("E1") != std::string::npos)
            echo_ = true;
    }

    // The information lines for the state queries among the line's
    // commands ("AT+CREG?;+CSQ" is two), in their order.
    static std::string info(const std::string &line)
    {
        std::string lines;
        for (std::size_t from = 2; from <= line.size();) {
            const std::size_t end = std::min(line.find(';', from), line.size());
            for (const auto &[query, text] : kInfo) {
                if (line.compare(from, end - from, query) == 0)
                    lines += "\r\n" + std::string(text) + "\r\n";
            }
            from = end + 1;
        }
        return lines;
    }

    // Whether the line holds the key's command: "ATE0+CMGF=0" holds
    // AT+CMGF as well as +CMGF and ATE0.
    static bool holds(const std::string &line, const std::string &key)
    {
        const std::size_t skip = key.rfind("AT", 0) == 0 && line.rfind("AT", 0) == 0 ? 2 : 0;
        return line.find(key.c_str() + skip, skip) != std::string::npos;
    }

    // Whether a row's key stands for this command line, or for a PDU to
    // `to` (the line then being the PDU's hex).
    static bool matches(const std::string &key, const std::string &line,
                        const std::optional<std::string> &to)
    {
        if (key == "*")
            return true;
        if (key == "PDU")
            return to.has_value();
        if (key.rfind("PDU:", 0) == 0)
            return to && key.compare(4, std::string::npos, *to) == 0;
        return !to && holds(line, key);
    }

    // The row that answers this command line or PDU (to `to`), if any. Each
    // key the exchange matches counts it once, whichever row then decides.
    const Row *scripted(const std::string &line, const std::optional<std::string> &to)
    {
        std::map<std::string, long> number;  // this exchange's, per key
        const Row *decides = nullptr;
        for (const Row &row : opt_.script) {
            if (!matches(row.exchange, line, to))
                continue;
            const auto [at, fresh] = number.try_emplace(row.exchange, 0);
            if (fresh)
                at->second = ++seen_[row.exchange];
            if (!decides && at->second >= row.first && at->second <= row.last)
                decides = &row;
        }
        return decides;
    }

    void say(const Row &row)
    {
        if (!row.answer.empty())
            answer(row.answer, milliseconds(row.delay_ms));
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
        if (const Row *row = scripted(pdu_, hex_ok ? destination(octets) : std::string())) {
            verdict = row->answer.empty() ? "unanswered" : "answered";
            say(*row);
        } else if (!hex_ok || tpdu != announced_) {
            verdict = "invalid";
            answer(kBadLength);
        } else {
            answer("\r\n+CMGS: " + std::to_string(++reference_ % 256) + "\r\n\r\nOK\r\n",
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

    void reply(const std::string &bytes, milliseconds delay = milliseconds(0))
    {
        const Pending p = {Clock::now() + milliseconds(opt_.latency_ms) + delay, bytes};
        // Keep the queue in time order; equal times keep their order.
        const auto at =
            std::upper_bound(out_.begin(), out_.end(), p.due,
                             [](Clock::time_point t, const Pending &q) { return t < q.due; });
        out_.insert(at, p);
    }

    // A result code or prompt, shaped by the options that make the line
    // untidy; echo goes out through reply() alone.
    void answer(std::string bytes, milliseconds delay = milliseconds(0))
    {
        if (opt_.nul)
            bytes.insert(0, 1, '\0');
        std::size_t cut = bytes.size();  // where a second chunk starts, if any
        milliseconds second(0);
        if (opt_.late_crlf_ms > 0 && bytes.size() >= 2) {
            cut = bytes.size() - 2;
            second = milliseconds(opt_.late_crlf_ms);
        } else if (opt_.split_ms > 0) {
            cut = bytes.size() / 2;
            second = milliseconds(opt_.split_ms);
        }
        reply(bytes.substr(0, cut), delay);
        if (cut < bytes.size())
            reply(bytes.substr(cut), delay + second);
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
    std::optional<Clock::time_point> hangup_at_;
    Clock::time_point next_notice_;
    bool collecting_pdu_ = false;
    long announced_ = 0;
    unsigned reference_ = 0;
    std::map<std::string, long> seen_;  // occurrences so far, per script key
};

int usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s [--link PATH] [--transcript FILE] [--pdus FILE] [--latency-ms N] "
                 "[--delay-ms N]\n"
                 "       [--short-prompt] [--flood BYTES] [--notice LINE --notice-ms N]\n"
                 "       [--before-prompt LINE] [--sticky-echo] [--ok-delay-ms N] [--split-ms N]\n"
                 "       [--nul] [--late-crlf-ms N] [--pdu-entry] [--hangup-after-prompt]\n"
                 "       [--script EXCHANGE|ATTEMPTS|ANSWER|DELAY_MS]...\n"
                 "  EXCHANGE: a command in the line (AT+CMGF is in ATE0+CMGF=0), PDU,\n"
                 "            PDU:<number> (a PDU to that number) or *\n"
                 "  ATTEMPTS: N, N-M, N- or *\n"
                 "  ANSWER:   lines split by \\n, each sent as CR LF <line> CR LF; or '=' and\n"
                 "            bytes sent unframed, with \\r \\n \\t \\e (ESC) \\xHH \\\\ decoded;\n"
                 "            empty for no answer\n",
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

// What a backslash and the letter after it stand for in a raw answer;
// \xHH aside.
constexpr std::pair<char, char> kEscapes[] = {
    {'r', '\r'}, {'n', '\n'}, {'t', '\t'}, {'e', kEsc}, {'\\', '\\'},
};

// A raw answer's bytes, its escapes decoded; false for an unknown or cut
// escape, which is more likely a slip than a wish.
bool unescape(const std::string &text, std::string &bytes)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        const char c = ++i < text.size() ? text[i] : '\0';
        const auto *e = std::find_if(std::begin(kEscapes), std::end(kEscapes),
                                     [c](const auto &pair) { return pair.first == c; });
        if (e != std::end(kEscapes)) {
            bytes += e->second;
        } else if (c == 'x' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

// An ANSWER as it goes on the line: '=' and raw bytes, or lines split by
// \n, each framed CR LF <line> CR LF.
bool parse_answer(const std::string &text, std::string &bytes)
{
    if (!text.empty() && text[0] == '=')
        return unescape(text.substr(1), bytes);
    for (std::size_t from = 0; !text.empty() && from <= text.size();) {
        const std::size_t end = std::min(text.find("\\n", from), text.size());
        bytes += "\r\n" + text.substr(from, end - from) + "\r\n";
        from = end + 2;
    }
    return true;
}

// EXCHANGE|ATTEMPTS|ANSWER|DELAY_MS, the answer being all between the
// second and the last '|'.
bool parse_row(const std::string &text, Row &row)
{
    const std::size_t a = text.find('|');
    const std::size_t b = a == std::string::npos ? a : text.find('|', a + 1);
    const std::size_t c = text.rfind('|');
    if (b == std::string::npos || c == b)
        return false;
    row.exchange = upper(text.substr(0, a));
    const std::string attempts = text.substr(a + 1, b - a - 1);
    const std::size_t dash = attempts.find('-');
    if (attempts != "*") {
        if (!parse_number(attempts.substr(0, dash).c_str(), row.first))
            return false;
        if (dash == std::string::npos)
            row.last = row.first;
        else if (dash + 1 < attempts.size() && !parse_number(attempts.c_str() + dash + 1, row.last))
            return false;
    }
    return !row.exchange.empty() && row.exchange != "PDU:" && row.first >= 1 &&
           row.last >= row.first && parse_answer(text.substr(b + 1, c - b - 1), row.answer) &&
           parse_number(text.c_str() + c + 1, row.delay_ms);
}

// Every option by name: a flag, a number or a text.
struct FlagOption {
    const char *name;
    bool Options::*field;
};
struct NumberOption {
    const char *name;
    long Options::*field;
};
struct TextOption {
    const char *name;
    std::string Options::*field;
};

const FlagOption kFlags[] = {
    {"--short-prompt", &Options::short_prompt},
    {"--sticky-echo", &Options::sticky_echo},
    {"--nul", &Options::nul},
    {"--pdu-entry", &Options::pdu_entry},
    {"--hangup-after-prompt", &Options::hangup_after_prompt},
};
const NumberOption kNumbers[] = {
    {"--latency-ms", &Options::latency_ms},
    {"--delay-ms", &Options::delay_ms},
    {"--flood", &Options::flood},
    {"--notice-ms", &Options::notice_ms},
    {"--ok-delay-ms", &Options::ok_delay_ms},
    {"--split-ms", &Options::split_ms},
    {"--late-crlf-ms", &Options::late_crlf_ms},
};
const TextOption kTexts[] = {
    {"--link", &Options::link},
    {"--transcript", &Options::transcript},
    {"--pdus", &Options::pdus},
    {"--notice", &Options::notice},
    {"--before-prompt", &Options::before_prompt},
};

// One option and, where it takes one, its value; false if unknown or bad.
bool parse_option(const std::string &name, const char *value, Options &opt, bool &used_value)
{
    used_value = false;
    for (const FlagOption &f : kFlags) {
        if (name == f.name) {
            opt.*f.field = true;
            return true;
        }
    }
    if (value == nullptr)
        return false;
    used_value = true;
    if (name == "--script")
        return parse_row(value, opt.script.emplace_back());
    for (const NumberOption &n : kNumbers) {
        if (name == n.name)
            return parse_number(value, opt.*n.field);
    }
    const auto *text = std::find_if(std::begin(kTexts), std::end(kTexts),
                                    [&](const TextOption &t) { return name == t.name; });
    if (text == std::end(kTexts))
        return false;
    opt.*text->field = value;
    return true;
}

bool parse_options(int argc, char **argv, Options &opt)
{
    for (int i = 1; i < argc; ++i) {
        bool used_value = false;
        if (!parse_option(argv[i], i + 1 < argc ? argv[i + 1] : nullptr, opt, used_value))
            return false;
        i += used_value ? 1 : 0;
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
