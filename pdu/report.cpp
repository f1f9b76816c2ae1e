// One SMS-STATUS-REPORT as +CDS gives it: the centre's address, then the TPDU.
#include "pdu.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::uint8_t kMtiMask = 0x03;          // TP-MTI: the low two bits of the first octet
constexpr std::uint8_t kMtiStatusReport = 0x02;  // SMS-STATUS-REPORT, centre to phone
constexpr unsigned kTonShift = 4;                // type of number: bits 6..4 of the TOA
constexpr unsigned kTonMask = 0x07;
constexpr unsigned kTonInternational = 1;
constexpr unsigned kTonAlphanumeric = 5;  // GSM letters, never a number we sent to
constexpr std::uint8_t kFiller = 0x0F;    // pads an odd digit count
constexpr std::uint8_t kZoneWest = 0x08;  // time zone sign: bit 3, in the tens semi-octet
// Semi-octets 10 to 14 are the telephony characters '*', '#', 'a', 'b', 'c'.
constexpr char kSemiOctets[] = "0123456789*#abc";

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool is_hex_text(std::string_view hex)
{
    return !hex.empty() && hex.size() % 2 == 0 &&
           std::all_of(hex.begin(), hex.end(), [](char c) { return hex_value(c) >= 0; });
}

// Reads octets from checked hex text; a read past its end gives 0 and
// leaves `ok` false, so one test after the last field covers them all.
struct Cursor {
    std::string_view hex;
    std::size_t at;  // octets taken
    bool ok;
};

std::size_t octets_in(const Cursor &c)
{
    return c.hex.size() / 2;
}

std::uint8_t take(Cursor &c)
{
    if (c.at >= octets_in(c)) {
        c.ok = false;
        return 0;
    }
    const int high = hex_value(c.hex[2 * c.at]);
    const int low = hex_value(c.hex[2 * c.at + 1]);
    ++c.at;
    return static_cast<std::uint8_t>(high << 4 | low);
}

void skip(Cursor &c, std::size_t octets)
{
    if (octets > octets_in(c) - c.at) {
        c.ok = false;
        c.at = octets_in(c);
        return;
    }
    c.at += octets;
}

// Two decimal semi-octets, the tens in the low nibble; `decimal` turns
// false on a nibble above 9.
std::uint8_t swapped_bcd(std::uint8_t octet, bool &decimal)
{
    const unsigned tens = octet & 0x0FU;
    const unsigned units = octet >> 4U;
    if (tens > 9 || units > 9)
        decimal = false;
    return static_cast<std::uint8_t>(tens * 10 + units);
}

TimeStamp take_time(Cursor &c)
{
    TimeStamp t{};
    bool decimal = true;
    for (std::uint8_t *field : {&t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second})
        *field = swapped_bcd(take(c), decimal);
    const std::uint8_t zone = take(c);  // quarter hours, sign in bit 3
    const auto quarters = static_cast<std::int8_t>(
        swapped_bcd(static_cast<std::uint8_t>(zone & ~kZoneWest), decimal));
    t.quarters = static_cast<std::int8_t>((zone & kZoneWest) != 0 ? -quarters : quarters);
    t.valid = decimal;
    return t;
}

// TP-RA into `r`; false for more digits than a number has, or a filler
// among them.
bool take_recipient(Cursor &c, StatusReport &r)
{
    const std::uint8_t digits = take(c);  // TP-RA length in semi-octets
    const std::uint8_t toa = take(c);     // TP-RA type of address
    if (digits > kMaxAddressDigits)
        return false;
    const unsigned ton = (toa >> kTonShift) & kTonMask;
    if (ton == kTonAlphanumeric) {  // packed letters, not semi-octets
        skip(c, (digits + 1U) / 2);
        return true;
    }
    r.international = ton == kTonInternational;
    std::size_t n = 0;
    if (r.international)
        r.recipient[n++] = '+';
    for (unsigned k = 0; k < digits; k += 2) {  // TP-RA, low nibble first
        const std::uint8_t octet = take(c);
        const std::uint8_t high = k + 1 < digits ? static_cast<std::uint8_t>(octet >> 4) : 0;
        const std::uint8_t low = octet & 0x0F;
        if (low == kFiller || high == kFiller)
            return false;
        r.recipient[n++] = kSemiOctets[low];
        if (k + 1 < digits)
            r.recipient[n++] = kSemiOctets[high];
    }
    return true;  // the NUL is there from the start
}

}  // namespace

StatusReport decode_status_report(std::string_view hex, std::size_t tpdu_length)
{
    if (!is_hex_text(hex))
        return {};
    StatusReport r{};
    Cursor c = {hex, 0, true};
    skip(c, take(c));  // SMSC address: its length in octets, 0 for none, then TOA and digits
    const std::size_t tpdu_at = c.at;
    const std::uint8_t first = take(c);               // first octet: TP-MTI and flags
    r.reference = take(c);                            // TP-MR
    const bool recipient = take_recipient(c, r);      // TP-RA
    r.sc_time = take_time(c);                         // TP-SCTS
    r.discharge = take_time(c);                       // TP-DT
    r.status = take(c);                               // TP-ST
    const std::size_t tpdu = octets_in(c) - tpdu_at;  // with TP-PI and what it announces
    r.valid = c.ok && recipient && (first & kMtiMask) == kMtiStatusReport &&
              (tpdu_length == 0 || tpdu_length == tpdu);
    return r.valid ? r : StatusReport{};
}

std::size_t format_time_stamp(const TimeStamp &stamp, std::span<char> out)
{
    if (out.empty())
        return 0;
    const int offset = std::abs(stamp.quarters);
    const int n =
        stamp.valid ? std::snprintf(out.data(), out.size(),
                                    "20%02d-%02d-%02d %02d:%02d:%02d %c%02d:%02d", stamp.year,
                                    stamp.month, stamp.day, stamp.hour, stamp.minute, stamp.second,
                                    stamp.quarters < 0 ? '-' : '+', offset / 4, offset % 4 * 15)
                    : std::snprintf(out.data(), out.size(), "unknown time");
    if (n < 0)  // only a bad format fails
        return 0;
    const auto written = static_cast<std::size_t>(n);
    return written < out.size() ? written : out.size() - 1;
}
