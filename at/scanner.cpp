// Telling final results and the prompt in whatever the modem sends.
#include "at.h"

#include "base.h"

#include <algorithm>

namespace {

// A copy of `line`, cut to what a Line keeps.
Line kept(std::string_view line)
{
    Line copy{};
    copy.length = std::min(line.size(), copy.bytes.size());
    std::copy_n(line.begin(), copy.length, copy.bytes.begin());
    return copy;
}

// A line is an error final result only when it is one from its first
// byte: a notice that merely contains "ERROR" decides nothing. A line cut
// to kLineKeep bytes is longer than "OK" or "ERROR", and is neither.
bool error_result(std::string_view line)
{
    return line == kResultError || line.starts_with(kCmsErrorPrefix) ||
           line.starts_with(kCmeErrorPrefix);
}

// `whole`: the line has ended, or is taken as ended. Otherwise only a
// result that carries no code is judged: one with a code may not be all in.
void judge_line(LineScanner &s, bool whole)
{
    if (s.verdict != Verdict::none || report_line_open())
        return;  // decided, or a status report's PDU coming in
    const std::string_view line = current_line(s);
    if (line.starts_with(kStatusReportPrefix)) {
        if (whole)
            expect_status_report(line);
        return;  // the line's, not an answer: not even another line
    }
    if (!s.submission && line.starts_with(kSubmitResultPrefix)) {
        s.late = true;  // a submission of an earlier run or exchange: not our answer
        return;
    }
    const std::string_view own = s.submission ? kSubmitResultPrefix : s.info;
    if (!own.empty() && line.starts_with(own) && !s.stale_line) {
        s.own = kept(line);
        return;
    }
    const bool error = error_result(line);
    const bool result = error || line == kResultOk;
    if (!result && whole && !line.empty() && !line.starts_with("AT"))  // echo is no other line
        ++s.others;
    if (!result || (!whole && line != kResultOk && line != kResultError))
        return;
    if (s.stale_line || s.late) {  // an earlier command's, or the late submission's result
        s.late = s.late && !whole;
        return;
    }
    if (error) {
        s.verdict = Verdict::error;
    } else if (s.awaited == Awaited::ok && !s.info.empty() && s.own.length == 0) {
        s.early_ok = true;  // a query answers with its line first: this OK is an earlier one's
    } else if (s.awaited == Awaited::ok) {
        s.verdict = Verdict::answer;
    }
}

}  // namespace

std::string_view current_line(const LineScanner &scanner)
{
    return trim_blanks({scanner.line.data(), std::min(scanner.length, scanner.line.size())});
}

std::size_t scan_reply(LineScanner &scanner, std::string_view bytes)
{
    std::size_t used = 0;
    for (const char c : bytes) {
        if (scanner.verdict != Verdict::none)
            break;  // the first answer or error decides
        ++used;
        if (c == '\0')
            continue;  // line noise, as a modem resetting may send
        if (c == kPrompt && scanner.awaited == Awaited::prompt) {
            scanner.verdict = Verdict::answer;
            break;
        }
        if ((c == ' ' || c == '\t') && scanner.length == 0)
            continue;  // leading blanks say nothing, however many
        if (c == '\r' || c == '\n') {
            if (!end_report_line(scanner.length == 0))  // a report's PDU is no answer
                judge_line(scanner, true);
            if (scanner.verdict == Verdict::none) {
                scanner.length = 0;  // a decided line stays, to be told what it said
                scanner.stale_line = false;
            }
            continue;
        }
        note_report_byte(c);
        if (scanner.length < scanner.line.size())
            scanner.line[scanner.length] = c;
        ++scanner.length;
    }
    return used;
}

void end_reply_line(LineScanner &scanner, bool whole)
{
    judge_line(scanner, whole);
    if (whole && scanner.verdict == Verdict::none && scanner.early_ok)
        scanner.verdict = Verdict::answer;  // a query with nothing to tell
}

Line result_line(const LineScanner &scanner)
{
    return scanner.verdict == Verdict::error ? kept(current_line(scanner)) : Line{};
}
