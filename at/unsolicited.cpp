// What the modem says between exchanges, unasked or late: read off before
// a command, and judged only to know where it leaves the line. Status
// reports, passed on as "+CDS: <length>" and the report's PDU in hex on
// the next line (3GPP TS 27.005 3.4.1, 3.1), go into one store until the
// caller takes them, whichever scanner meets them, in an exchange or
// between two: they are the line's, not an exchange's.
#include "at.h"

#include "base.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <poll.h>
#include <unistd.h>

namespace {

// The PDU line after a "+CDS: <length>" line, as it comes in.
struct Incoming {
    bool expected = false;
    StatusLine line{};
};

Incoming g_incoming;
// What came between two exchanges, as judged so far.
LineScanner g_between{Awaited::ok};
std::array<StatusLine, kStatusLineStore> g_store;
std::size_t g_oldest = 0;
std::size_t g_stored = 0;

bool is_hex(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    });
}

// The PDU line kept so far, blanks after it aside.
std::string_view incoming_hex()
{
    return trim_blanks(g_incoming.line.view());
}

}  // namespace

void expect_status_report(std::string_view line)
{
    line.remove_prefix(kStatusReportPrefix.size());
    const std::string_view rest = trim_blanks(line);
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), length);
    // PDU mode gives the length alone; text mode's "+CDS: <fo>,<mr>,..."
    // has no PDU line to follow.
    g_incoming = {};
    g_incoming.expected = error == std::errc{} && end == rest.data() + rest.size();
    g_incoming.line.announced = length;
}

void note_report_byte(char c)
{
    if (!g_incoming.expected)
        return;
    StatusLine &line = g_incoming.line;
    if (line.length < line.hex.size())
        line.hex[line.length++] = c;
    else
        line.cut = true;
}

bool report_line_open()
{
    return g_incoming.expected && is_hex(incoming_hex());
}

bool end_report_line(bool empty)
{
    if (!g_incoming.expected || empty)
        return false;  // a blank line before the PDU changes nothing
    g_incoming.expected = false;
    if (!is_hex(incoming_hex()))
        return false;  // no report after all: a line like any other
    if (g_stored == g_store.size())
        return true;  // full: the caller has not drained it; this one is lost
    StatusLine &slot = g_store[(g_oldest + g_stored++) % g_store.size()];
    slot = g_incoming.line;
    slot.length = incoming_hex().size();
    return true;
}

std::size_t status_lines_stored()
{
    return g_stored;
}

bool take_status_line(StatusLine &line)
{
    if (g_stored == 0)
        return false;
    line = g_store[g_oldest];
    g_oldest = (g_oldest + 1) % g_store.size();
    --g_stored;
    return true;
}

void start_line()
{
    g_incoming = {};
    g_between = LineScanner{Awaited::ok};
}

// An exchange that gave up may have stopped inside a line: its rest (a
// report's PDU, the CR LF after it) goes on that line, not one of its own.
void leave_line(const LineScanner &scanner)
{
    g_between.line = scanner.line;
    g_between.length = scanner.length;
    // A report's header cut short ("+CDS: 2" of 22) was judged as it stood:
    // its own line end tells the length.
    if (current_line(scanner).starts_with(kStatusReportPrefix))
        g_incoming = {};
}

// Judges what came between exchanges as a reply would be, only to know
// where it leaves the line: a submission's "+CMGS: <mr>" whose result is
// still to come, a line not yet ended, a status report (stored).
void scan_between(std::string_view bytes)
{
    while (!bytes.empty()) {
        bytes.remove_prefix(scan_reply(g_between, bytes));
        if (g_between.verdict != Verdict::none) {  // an earlier command's answer
            g_between.verdict = Verdict::none;
            g_between.length = 0;
        }
    }
}

// Reads off what is on the line before a command goes out: the rest of an
// earlier reply, or a result that came late. The command's scanner starts
// from where it leaves the line, and takes nothing of it for its answer.
// Nothing is waited for: what has not come yet is the scanner's to tell.
LineScanner read_off_stale(int fd, const Exchange &exchange)
{
    std::array<char, kDiscardChunk> chunk{};
    for (std::size_t taken = 0; taken < kStaleLimit;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1 || (p.revents & POLLIN) == 0)
            break;
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n <= 0)
            break;  // nothing after all, or a failure that the write will meet
        taken += static_cast<std::size_t>(n);
        scan_between({chunk.data(), static_cast<std::size_t>(n)});
    }
    LineScanner scanner{exchange.awaited, exchange.submission};
    scanner.info = exchange.info;
    scanner.late = g_between.late && !exchange.submission;
    scanner.line = g_between.line;
    scanner.length = g_between.length;
    scanner.stale_line = g_between.length > 0;
    g_between = LineScanner{Awaited::ok};  // the command's scanner goes on from here
    return scanner;
}
