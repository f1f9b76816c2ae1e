// SMS-SUBMIT encoding, checked against known PDUs and by decoding what was
// built with a decoder written independently of the encoder.
#include "pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Command-line bytes, each taken as a GSM code.
unsigned build_raw(std::string_view number, std::string_view text, PduList &list,
                   std::uint8_t reference, bool report = false)
{
    return build_pdus(number, UserText{Alphabet::raw, text}, list, reference, report);
}

std::string hex_of(const PduRecord &pdu)
{
    std::vector<char> out(2 * pdu.length + 1);
    hex_encode(std::span(pdu.octets).first(pdu.length), out);
    return out.data();
}

// What a receiving phone would make of one of our PDUs.
struct Decoded {
    bool udhi = false;
    std::string number;  // with '+' when international
    unsigned udl = 0;
    unsigned ref = 0, total = 0, seq = 0;
    std::string text;  // septets as bytes
    std::size_t length = 0;
};

Decoded decode(const PduRecord &pdu)
{
    const auto &o = pdu.octets;
    Decoded d;
    std::size_t i = 0;
    EXPECT_EQ(o[i++], 0x00) << "SMSC length";
    const std::uint8_t first = o[i++];
    EXPECT_EQ(first & 0x03, 0x01) << "TP-MTI must be SMS-SUBMIT";
    EXPECT_EQ(first & 0x18, 0x10) << "TP-VPF must be relative";
    d.udhi = (first & 0x40) != 0;
    EXPECT_EQ(o[i++], 0x00) << "TP-MR";
    const unsigned digits = o[i++];
    const std::uint8_t toa = o[i++];
    if (toa == 0x91) {
        d.number = "+";
    } else {
        EXPECT_EQ(toa, 0x81);
    }
    for (unsigned k = 0; k < digits; ++k) {
        const std::uint8_t octet = o[i + k / 2];
        d.number += static_cast<char>('0' + ((k % 2) ? octet >> 4 : octet & 0x0F));
    }
    if (digits % 2) {
        EXPECT_EQ(o[i + digits / 2] >> 4, 0x0F) << "filler nibble";
    }
    i += (digits + 1) / 2;
    EXPECT_EQ(o[i++], 0x00) << "TP-PID";
    EXPECT_EQ(o[i++], 0x00) << "TP-DCS";
    EXPECT_EQ(o[i++], 0xAA) << "TP-VP";
    d.udl = o[i++];
    const std::size_t ud = i;
    unsigned skip_septets = 0;
    if (d.udhi) {
        EXPECT_EQ(o[i], 5);
        EXPECT_EQ(o[i + 1], 0);
        EXPECT_EQ(o[i + 2], 3);
        d.ref = o[i + 3];
        d.total = o[i + 4];
        d.seq = o[i + 5];
        skip_septets = 7;
    }
    for (unsigned s = skip_septets; s < d.udl; ++s) {
        unsigned value = 0;
        for (unsigned b = 0; b < 7; ++b) {
            const std::size_t bit = 7 * s + b;
            value |= ((o[ud + bit / 8] >> (bit % 8)) & 1u) << b;
        }
        d.text += static_cast<char>(value);
    }
    d.length = ud + (7 * d.udl + 7) / 8;
    return d;
}

std::string septets_of(const std::string &text)
{
    std::string out;
    for (const char c : text)
        out += static_cast<char>(static_cast<unsigned char>(c) & 0x7F);
    return out;
}

struct Known {
    const char *number;
    std::string text;
    const char *hex;
    bool report = false;  // TP-SRR
};

TEST(Pdu, KnownMessages)
{
    static const std::vector<Known> cases = {
        {"+15555550123", "hello", "0011000B915155550521F30000AA05E8329BFD06"},
        {"12345", "", "00110005812143F50000AA00"},
        {"+1234", "A", "001100049121430000AA0141"},
        {"0", "@", "0011000181F00000AA0140"},
        {"+15555550123", "\xE4", "0011000B915155550521F30000AA0164"},
        {"+15555550123", "hello", "0031000B915155550521F30000AA05E8329BFD06", true},
    };
    for (const Known &c : cases) {
        PduList list;
        ASSERT_EQ(build_raw(c.number, c.text, list, 0, c.report), 1u) << c.number;
        EXPECT_EQ(hex_of(list[0]), c.hex) << c.number << " / " << c.text;
    }
}

TEST(Pdu, ConcatenatedPrefixes)
{
    PduList list;
    ASSERT_EQ(build_raw("+15555550123", std::string(200, 'x'), list, 0x2A), 2u);
    EXPECT_EQ(list[0].length, 155u);
    EXPECT_EQ(list[1].length, 63u);
    EXPECT_EQ(hex_of(list[0]).substr(0, 44), "0051000B915155550521F30000AAA00500032A0201F0");
    EXPECT_EQ(hex_of(list[1]).substr(0, 44), "0051000B915155550521F30000AA360500032A0202F0");
    ASSERT_EQ(build_raw("1", std::string(200, 'x'), list, 0, true), 2u);
    EXPECT_EQ(list[1].octets[1], 0x71) << "TP-SRR beside TP-UDHI";
}

struct Split {
    std::size_t length;
    std::vector<std::size_t> parts;  // characters per PDU; a lone entry means no header
};

TEST(Pdu, Segmentation)
{
    static const std::vector<Split> cases = {
        {0, {0}},
        {1, {1}},
        {160, {160}},
        {161, {153, 8}},
        {306, {153, 153}},
        {307, {153, 153, 1}},
        {400, {153, 153, 94}},
        {1530, std::vector<std::size_t>(10, 153)},
        {1531, std::vector<std::size_t>(10, 153)},
        {4000, std::vector<std::size_t>(10, 153)},
    };
    for (const Split &c : cases) {
        SCOPED_TRACE("text of " + std::to_string(c.length) + " bytes");
        std::string text;
        for (std::size_t i = 0; i < c.length; ++i)
            text += static_cast<char>(' ' + i % 95);  // each part's text is distinct
        PduList list;
        const auto reference = static_cast<std::uint8_t>(c.length);  // differs between cases
        const unsigned count = build_raw("+4917012345678", text, list, reference);
        ASSERT_EQ(count, c.parts.size());
        std::size_t offset = 0;
        for (unsigned k = 0; k < count; ++k) {
            const Decoded d = decode(list[k]);
            const bool single = count == 1;
            EXPECT_EQ(d.udhi, !single);
            EXPECT_EQ(d.number, "+4917012345678");
            EXPECT_EQ(d.udl, c.parts[k] + (single ? 0 : 7));
            EXPECT_EQ(d.text, text.substr(offset, c.parts[k]));
            EXPECT_EQ(d.length, list[k].length);
            if (!single) {
                EXPECT_EQ(d.ref, reference) << "one reference for every part";
                EXPECT_EQ(d.total, count);
                EXPECT_EQ(d.seq, k + 1);
            }
            offset += c.parts[k];
        }
        for (std::size_t k = count; k < kMaxParts; ++k)
            EXPECT_EQ(list[k].length, 0u) << "record " << k << " must stay clear";
    }
}

TEST(Pdu, SingleOf160HasNoHeader)
{
    PduList list;
    ASSERT_EQ(build_raw("12345", std::string(160, 'a'), list, 0), 1u);
    EXPECT_EQ(list[0].octets[1], 0x11);
    EXPECT_EQ(list[0].octets[11], 0xA0) << "TP-UDL";
    EXPECT_EQ(list[0].length, 12u + 140u);
}

TEST(Pdu, Addresses)
{
    struct Address {
        const char *number;
        const char *field;  // TP-DA length, type and digits
    };
    static const std::vector<Address> cases = {
        {"+15555550123", "0B915155550521F3"},
        {"15555550123", "0B815155550521F3"},
        {"+491701234567", "0C91947110325476"},
        {"7", "0181F7"},
        {"+12345678901234567890", "149121436587092143658709"},
    };
    for (const Address &c : cases) {
        PduList list;
        ASSERT_EQ(build_raw(c.number, "x", list, 0), 1u);
        const std::string field = c.field;
        EXPECT_EQ(hex_of(list[0]).substr(6, field.size()), field) << c.number;
        EXPECT_EQ(decode(list[0]).number, c.number);
    }
}

TEST(Pdu, HighBitIsDropped)
{
    const std::string text = "\xE4\xC0\xFF";
    PduList list;
    ASSERT_EQ(build_raw("123", text, list, 0), 1u);
    EXPECT_EQ(decode(list[0]).text, septets_of(text));
    EXPECT_EQ(decode(list[0]).text[0], '\x64');
}

TEST(Pdu, RawBytesThatArriveAsWritten)
{
    for (const char c : std::string_view("AZaz09 !\"#%&'()*+,-./:;<=>?\r\n"))
        EXPECT_TRUE(arrives_as_written(static_cast<unsigned char>(c))) << c;
    // Shown as ¤ ¡ § Ä Ö Ñ Ü ¿ ä ö ñ ü à, as other characters, or an escape.
    for (const char c : std::string_view("$@_[\\]^`{|}~\x7f\x1b\t\0\x80\xff", 18))
        EXPECT_FALSE(arrives_as_written(static_cast<unsigned char>(c))) << static_cast<int>(c);
}

TEST(Pdu, LargestMessageFitsItsBuffers)
{
    const std::string text(kMaxTextBytes, 'z');
    PduList list;
    ASSERT_EQ(build_raw("+12345678901234567890", text, list, 0), kMaxParts);
    for (const PduRecord &pdu : list) {
        EXPECT_LE(pdu.length, kMaxPduOctets);
        EXPECT_EQ(pdu.length, 159u);
    }
}

TEST(Pdu, WhatDoesNotFitIsRefused)
{
    PduList list;
    EXPECT_EQ(build_raw("+123456789012345678901", "hello", list, 0), 0u);
    EXPECT_EQ(build_raw(std::string(300, '9'), std::string(1000, 'a'), list, 0), 0u);
    // 300 septets take 263 octets: more than a record holds after the header.
    EXPECT_EQ(
        encode_submit_pdu("1", {Alphabet::raw, std::string(300, 'a')}, list[0].octets, 0, 0, 0),
        0u);
    EXPECT_EQ(
        encode_submit_pdu("1", {Alphabet::raw, std::string(280, 'a')}, list[0].octets, 0, 0, 0),
        255u);
}

TEST(Pdu, ValidNumbers)
{
    struct Case {
        const char *number;
        bool valid;
    };
    static const std::vector<Case> cases = {
        {"+15555550123", true},
        {"0", true},
        {"12345678901234567890", true},
        {"", false},
        {"+", false},
        {"123456789012345678901", false},
        {"+1+2", false},
        {"12a4", false},
        {"++1", false},
        {" 123", false},
        {"+12345678901234567890", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(is_valid_number(c.number), c.valid) << '"' << c.number << '"';
}

std::string hex_text(std::string_view bytes)
{
    std::vector<char> out(2 * bytes.size() + 1);
    hex_encode({reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()}, out);
    return out.data();
}

TEST(Utf8, Conversion)
{
    struct Case {
        const char *utf8;
        bool valid;
        Alphabet alphabet;
        const char *units;  // hex
    };
    static const std::vector<Case> cases = {
        {"@$_ A", true, Alphabet::gsm7, "0002112041"},  // ASCII where GSM differs
        {"T\xC3\xBCr \xC3\xA9", true, Alphabet::gsm7, "547E722005"},
        {"\xE2\x82\xAC{\f", true, Alphabet::gsm7, "1B651B281B0A"},  // extension table
        {"\xCE\xA9\xC3\x87", true, Alphabet::gsm7, "1509"},         // Greek capital, C cedilla
        {"25\xC2\xB0", true, Alphabet::ucs2, "0032003500B0"},       // one character decides
        {"\xC3\xA7\xE2\x82\xAC", true, Alphabet::ucs2, "00E720AC"},
        {"\xF0\x9F\x99\x82", true, Alphabet::ucs2, "D83DDE42"},  // a surrogate pair
        {"\xC3\x28", false, Alphabet::gsm7, ""},                 // broken sequence
        {"\xC0\xAF", false, Alphabet::gsm7, ""},                 // overlong '/'
        {"\xED\xA0\x80", false, Alphabet::gsm7, ""},             // a surrogate
        {"\xF4\x90\x80\x80", false, Alphabet::gsm7, ""},         // above U+10FFFF
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.utf8);
        std::array<char, kMaxTextBytes> buffer{};
        const Converted got = convert_utf8(c.utf8, buffer);
        ASSERT_EQ(got.valid, c.valid);
        if (c.valid) {
            EXPECT_EQ(got.text.alphabet, c.alphabet);
            EXPECT_EQ(hex_text(got.text.units), c.units);
            EXPECT_EQ(count_characters(got.text), got.characters);
        }
    }
}

// A character without a GSM code decides the alphabet only if it is sent:
// after 1530 GSM characters the part limit cuts it off.
TEST(Utf8, AlphabetOfWhatIsSent)
{
    for (const auto &[before, alphabet] :
         {std::pair{1529u, Alphabet::ucs2}, std::pair{1530u, Alphabet::gsm7},
          std::pair{1600u, Alphabet::gsm7}}) {
        SCOPED_TRACE(before);
        std::array<char, kMaxTextBytes> buffer{};
        const Converted got = convert_utf8(std::string(before, 'a') + "\xC2\xB0", buffer);
        EXPECT_EQ(got.text.alphabet, alphabet);
        EXPECT_EQ(got.characters, before + 1);
    }
}

TEST(Pdu, PackerFillBit)
{
    std::array<std::uint8_t, 4> out{};
    EXPECT_EQ(pack_septets("", out, 1), 1u) << "a lone fill bit still takes an octet";
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(pack_septets("", out, 0), 0u);
    EXPECT_EQ(pack_septets("x", out, 1), 1u);
    EXPECT_EQ(out[0], 0x78 << 1);
    EXPECT_EQ(pack_septets("hello", std::span(out).first(3), 0), 0u) << "must not overrun";
}

TEST(Pdu, Hex)
{
    const std::array<std::uint8_t, 5> octets = {0x00, 0x0F, 0xA5, 0xFF, 0x80};
    std::array<char, 11> out{};
    EXPECT_EQ(hex_encode(octets, out), 10u);
    EXPECT_STREQ(out.data(), "000FA5FF80");
    EXPECT_EQ(hex_encode({}, out), 0u);
    EXPECT_STREQ(out.data(), "");
    std::array<char, 6> small{};
    EXPECT_EQ(hex_encode(octets, small), 4u) << "stops short of the end";
    EXPECT_STREQ(small.data(), "000F");
}

// A report in one line: reference, recipient, time stamps and status.
std::string summary(std::string hex, std::size_t length)
{
    std::erase(hex, ' ');  // spaces only part the fields for the reader
    const StatusReport r = decode_status_report(hex, length);
    std::array<char, kTimeStampText> sc{}, dt{};
    format_time_stamp(r.sc_time, sc);
    format_time_stamp(r.discharge, dt);
    return !r.valid ? "invalid"
                    : std::to_string(r.reference) + " " + r.recipient.data() + " " + sc.data() +
                          ", " + dt.data() + " " + std::to_string(r.status);
}

// Reports written out field by field: the centre's address or 00, first
// octet, TP-MR, TP-RA, TP-SCTS, TP-DT, TP-ST and (third row) TP-PI with the
// fields it announces. The rows after the fourth each break one thing in
// the valid "00 06 00 0191F1 <SCTS> <DT> 00"; the last has 21 digits.
TEST(StatusReport, Decoding)
{
    struct Case {
        const char *hex;
        std::size_t length;  // from the +CDS line
        const char *report;
    };
    static const std::vector<Case> cases = {
        {"06919471100000 06 2A 0B915155550521F3 62210121436540 62210121537040 00", 25,
         "42 +15555550123 2026-12-10 12:34:56 +01:00, 2026-12-10 12:35:07 +01:00 0"},
        {"00 06 07 098110173254f6 5210133295850a 5220100000300a 21", 24,
         "7 017123456 2025-01-31 23:59:58 -05:00, 2025-02-01 00:00:03 -05:00 33"},
        {"00 02 FF 0D91947110325476F8 42209260708022 42304060709022 46 030000", 0,
         "255 +4917012345678 2024-02-29 06:07:08 +05:30, 2024-03-04 06:07:09 +05:30 70"},
        {"07914477790706F5 06 00 0191F1 FF221121436540 62210121537040 63", 20,
         "0 +1 unknown time, 2026-12-10 12:35:07 +01:00 99"},
        {"00 06 00 0191F1 62210121436540 62210121537040 0", 0, "invalid"},     // odd length
        {"00 06 00 0191F1 62210121436540 62210121537040 G0", 0, "invalid"},    // not hex
        {"00 06 00 0191F1 62210121436540 62210121537040", 0, "invalid"},       // no TP-ST
        {"00 06 00 0191F1 62210121436540 62210121537040 00", 19, "invalid"},   // length differs
        {"FF 06 00 0191F1 62210121436540 62210121537040 00", 0, "invalid"},    // SMSC past the end
        {"00 04 00 0191F1 62210121436540 62210121537040 00", 0, "invalid"},    // an SMS-DELIVER
        {"00 06 00 3091F1 62210121436540 62210121537040 00", 0, "invalid"},    // TP-RA past the end
        {"00 06 00 049121F3 62210121436540 62210121537040 00", 0, "invalid"},  // filler inside
        {"00 06 00 159121436587092143658709F1 62210121436540 62210121537040 00", 0, "invalid"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(summary(c.hex, c.length), c.report) << c.hex;
}

// The classes' bounds; reserved values count as not delivered.
TEST(StatusReport, Statuses)
{
    using enum StatusClass;
    static const std::vector<std::pair<std::uint8_t, StatusClass>> cases = {
        {0x00, delivered},     {0x01, delivered},     {0x03, not_delivered}, {0x1F, delivered},
        {0x20, still_trying},  {0x26, not_delivered}, {0x3F, still_trying},  {0x40, not_delivered},
        {0x7F, not_delivered}, {0x80, not_delivered}};
    for (const auto &[status, what] : cases)
        EXPECT_EQ(status_class(status), what) << int{status};
    EXPECT_STREQ(status_meaning(0x46), "SM validity period expired");
}

}  // namespace
