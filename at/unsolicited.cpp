// What the modem says unasked that a run waits for: status reports, passed
// on as "+CDS: <length>" and the report's PDU in hex on the next line
// (3GPP TS 27.005 3.4.1, 3.1). Whichever scanner meets them, in an
// exchange or between two, they go into one store until the caller takes
// them: the line's state, not an exchange's.
#include "at.h"

#include "base.h"

#include <algorithm>
#include <charconv>

namespace {

// The PDU line after a "+CDS: <length>" line, as it comes in.
struct Incoming {
    bool expected = false;
    StatusLine line{};
};

Incoming g_incoming;
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

bool expect_status_report(std::string_view line)
{
    if (!line.starts_with(kStatusReportPrefix))
        return false;
    line.remove_prefix(kStatusReportPrefix.size());
    const std::string_view rest = trim_blanks(line);
    std::size_t length = 0;
    const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), length);
    // PDU mode gives the length alone; text mode's "+CDS: <fo>,<mr>,..."
    // has no PDU line to follow.
    g_incoming = {};
    g_incoming.expected = error == std::errc{} && end == rest.data() + rest.size();
    g_incoming.line.announced = length;
    return true;
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
