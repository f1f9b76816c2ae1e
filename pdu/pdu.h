// SMS-SUBMIT PDU construction (3GPP TS 23.040) for AT+CMGS in PDU mode,
// and the SMS-STATUS-REPORTs that the modem passes on as +CDS.
//
// Contract: pure computation. Nothing here does I/O, allocates or keeps
// state. The caller owns every buffer; build_pdus() fills a PduList with one
// PDU per short message and hex_encode() renders one PDU as the text the
// modem expects; decode_status_report() reads one report's hex text. A
// text is either raw bytes taken as GSM 7-bit default alphabet codes (low
// 7 bits of each byte), or UTF-8 that convert_utf8() turns into GSM 7-bit
// codes, or into UCS-2 when some character has none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

inline constexpr std::size_t kPduOctets = 256;       // room in one PduRecord
inline constexpr std::size_t kMaxParts = 10;         // parts of one concatenated SMS
inline constexpr std::size_t kSingleSmsChars = 160;  // septets in one plain SMS
inline constexpr std::size_t kPartChars = 153;       // septets left beside a 6-octet UDH
inline constexpr std::size_t kMaxTextBytes = kMaxParts * kPartChars;  // 1530: the rest is dropped
inline constexpr std::size_t kSingleSmsUnits = 70;    // UTF-16 units in one plain UCS-2 SMS
inline constexpr std::size_t kPartUnits = 67;         // units beside the header: 134 of 140 octets
inline constexpr std::size_t kMaxAddressDigits = 20;  // what a TP-DA can carry
// Largest PDU: a full part for a 20-digit number, 149 + 10 octets.
inline constexpr std::size_t kMaxPduOctets = 149 + (kMaxAddressDigits + 1) / 2;

struct PduRecord {
    std::uint32_t length;  // octets in use, counting the SMSC-length octet
    std::array<std::uint8_t, kPduOctets> octets;
};

using PduList = std::array<PduRecord, kMaxParts>;

// The part of `text` from `pos`, at most `count` bytes, clamped to the
// text: substr() would do the same but can throw, which would pull the C++
// runtime into a program that only needs the C library.
constexpr std::string_view slice(std::string_view text, std::size_t pos,
                                 std::size_t count = std::string_view::npos)
{
    pos = pos < text.size() ? pos : text.size();
    const std::size_t rest = text.size() - pos;
    return {text.data() + pos, count < rest ? count : rest};
}

// How the text's characters are coded in the user data (TP-DCS).
enum class Alphabet : std::uint8_t {
    raw,   // command-line bytes, each taken as a GSM code: split anywhere
    gsm7,  // GSM 7-bit codes, an extension character as ESC and its code
    ucs2,  // UTF-16 big-endian, two octets a unit
};

// A text in its alphabet: one byte per septet, or two octets per unit.
struct UserText {
    Alphabet alphabet;
    std::string_view units;
};

// A UTF-8 text made ready to send.
struct Converted {
    bool valid;              // false: not well-formed UTF-8
    UserText text;           // its whole characters that fit the buffer
    std::size_t characters;  // in the whole text
};

// Decodes the UTF-8 character at the front of `s` into `c` and returns its
// length in bytes; 0 when it is ill-formed: a broken sequence, an overlong
// form, a surrogate or a code point above U+10FFFF.
std::size_t decode_utf8(std::string_view s, char32_t &c);

// Checks `utf8` and codes it into `out`: in the GSM 7-bit alphabet if every
// character has a code there or in its extension table, else in UCS-2.
// Only whole characters are stored, as many as fit.
Converted convert_utf8(std::string_view utf8, std::span<char, kMaxTextBytes> out);

// True when a raw text byte arrives as the character it is in ASCII: its
// GSM default alphabet code (3GPP TS 23.038 6.2.1) shows the same glyph.
// False for '@', '$', '_', '[' and the other ASCII bytes coded otherwise,
// for control bytes but LF and CR, and for every byte from 0x80.
bool arrives_as_written(unsigned char byte);

// The characters in `text`: an ESC pair and a surrogate pair count once.
std::size_t count_characters(const UserText &text);

// The front of `text` that build_pdus() sends: all of it, or what fits in
// kMaxParts parts.
UserText sent_text(const UserText &text);

// True for an optional leading '+' followed by 1 to kMaxAddressDigits
// decimal digits: a number that a TP-DA address holds as it is.
bool is_valid_number(std::string_view number);

// Clears `list`, splits `text` into at most kMaxParts messages (a text over
// kSingleSmsChars septets or kSingleSmsUnits units goes as parts of
// kPartChars or kPartUnits, an ESC pair or a surrogate pair never split)
// and encodes them for `number`, every part under the same concatenation
// `reference`. What does not fit in kMaxParts parts is dropped. Returns the
// number of PDUs built, 1 to 10; 0 only when encode_submit_pdu() refuses
// the number. `status_report` asks for a status report on every part.
unsigned build_pdus(std::string_view number, const UserText &text, PduList &list,
                    std::uint8_t reference, bool status_report = false);

// Writes one SMS-SUBMIT PDU into `out` and returns its length in octets.
// `total` = 0 asks for a plain message; otherwise this is part `seq`
// (1-based) of `total` and gets a concatenation header with `reference`,
// which all parts of one message share and which tells one message's parts
// from another's. A number with more than kMaxAddressDigits characters
// after the '+' does not fit: returns 0. `status_report` sets TP-SRR: the
// service centre reports the message's fate in an SMS-STATUS-REPORT.
std::uint32_t encode_submit_pdu(std::string_view number, const UserText &text,
                                std::span<std::uint8_t, kPduOctets> out, unsigned total,
                                unsigned seq, std::uint8_t reference, bool status_report = false);

// Marks a PDU that encode_submit_pdu() built as a resubmission: TP-RD
// asks the service centre to reject it should it already hold the one
// whose answer went missing.
void mark_resubmission(PduRecord &pdu);

// Packs the low 7 bits of each byte of `text`, least significant bit first,
// into `out` starting at bit `start_bit` of out[0] (the bits below it are 0).
// The last, partly filled octet is stored too. Returns the octets written,
// or 0 with nothing written when `out` is too small.
std::size_t pack_septets(std::string_view text, std::span<std::uint8_t> out, unsigned start_bit);

// Writes two upper-case hex digits per octet and a terminating NUL into
// `out`. Stops early rather than overrun `out`. Returns the digits written.
std::size_t hex_encode(std::span<const std::uint8_t> octets, std::span<char> out);

// A service centre's time stamp (TP-SCTS, TP-DT): local time of the
// centre and its offset from UTC.
struct TimeStamp {
    bool valid;         // false: some semi-octet was not a decimal digit
    std::uint8_t year;  // of the century, 0 to 99
    std::uint8_t month, day, hour, minute, second;
    std::int8_t quarters;  // offset from UTC in quarter hours, -79 to 79
};

// "2026-12-10 12:34:56 +01:00" and its NUL.
inline constexpr std::size_t kTimeStampText = 27;
// A TP-RA number: a '+', kMaxAddressDigits digits and the NUL.
inline constexpr std::size_t kNumberText = kMaxAddressDigits + 2;

// One SMS-STATUS-REPORT: what became of the SMS-SUBMIT with `reference`.
// An alphanumeric TP-RA, never one of our numbers, leaves `recipient` empty.
struct StatusReport {
    bool valid;                               // false: not a well-formed status report
    std::uint8_t reference;                   // TP-MR that the modem gave the submission (+CMGS)
    bool international;                       // TP-RA type of number international
    std::array<char, kNumberText> recipient;  // TP-RA, '+' when international
    TimeStamp sc_time;                        // TP-SCTS: when the centre took the message
    TimeStamp discharge;                      // TP-DT: delivery, or the last try, or giving up
    std::uint8_t status;                      // TP-ST, see status_class()
};

// Decodes the hex text of a +CDS report (without its line end): the
// centre's address, whose length octet may be 00 for none, then the TPDU.
// `tpdu_length` is the +CDS line's <length>, the octets after the centre's
// address; 0 skips that check. Reports whose hex, layout or length do not
// hold together come back with `valid` false and nothing else set.
StatusReport decode_status_report(std::string_view hex, std::size_t tpdu_length = 0);

// Writes `stamp` as "2026-12-10 12:34:56 +01:00", or "unknown time" when
// it is not valid, and a NUL into `out`, cut short rather than overrun it.
// Returns the characters written.
std::size_t format_time_stamp(const TimeStamp &stamp, std::span<char> out);

// What a status tells of the message.
enum class StatusClass : std::uint8_t {
    delivered,      // transaction completed
    still_trying,   // temporary error, the centre tries again
    not_delivered,  // permanent error, or temporary and the centre gave up
};

// The class and the meaning of a TP-ST value. Reserved values count as
// "service rejected" with the centre no longer trying, as receivers must.
StatusClass status_class(std::uint8_t status);
const char *status_meaning(std::uint8_t status);
