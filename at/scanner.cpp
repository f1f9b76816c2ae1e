// Telling final results and the prompt in whatever the modem sends.
#include "at.h"

#include <algorithm>

namespace {

// A line is an error final result only when it is one from its first
// byte: a notice that merely contains "ERROR" decides nothing. A line cut
// to kLineKeep bytes is longer than "OK" or "ERROR", and is neither.
bool error_result(std::string_view line)
{
    return line == kResultError || line.starts_with(kCmsErrorPrefix) ||
           line.starts_with(kCmeErrorPrefix);
}

void judge_line(LineScanner &s)
{
    if (s.verdict != Verdict::none)
        return;
    const std::string_view kept(s.line.data(), std::min(s.length, s.line.size()));
    if (error_result(kept))
        s.verdict = Verdict::error;
    else if (s.awaited == Awaited::ok && kept == kResultOk)
        s.verdict = Verdict::answer;
}

}  // namespace

void scan_reply(LineScanner &scanner, std::string_view bytes)
{
    for (const char c : bytes) {
        if (scanner.verdict != Verdict::none)
            return;  // the first answer or error decides
        if (c == '\0')
            continue;  // line noise, as a modem resetting may send
        if (c == kPrompt && scanner.awaited == Awaited::prompt) {
            scanner.verdict = Verdict::answer;
            return;
        }
        if (c == '\r' || c == '\n') {
            judge_line(scanner);
            if (scanner.verdict == Verdict::none)
                scanner.length = 0;  // a decided line stays, to be told what it said
            continue;
        }
        if (scanner.length < scanner.line.size())
            scanner.line[scanner.length] = c;
        ++scanner.length;
    }
}

void end_reply_line(LineScanner &scanner)
{
    judge_line(scanner);
}

std::string_view next_info_line(std::string_view &reply)
{
    while (!reply.empty()) {
        const std::size_t end = std::min(reply.find_first_of("\r\n"), reply.size());
        const std::string_view line(reply.data(), end);
        reply.remove_prefix(end < reply.size() ? end + 1 : end);
        const bool final_result = line == kResultOk || error_result(line);
        if (!line.empty() && !final_result && !line.starts_with("AT"))  // echo: not information
            return line;
    }
    return {};
}
