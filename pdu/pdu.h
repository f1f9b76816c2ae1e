// SMS-SUBMIT PDU construction (3GPP TS 23.040) for AT+CMGS in PDU mode.
//
// Contract: pure computation. Nothing here does I/O, allocates or keeps
// state. The caller owns every buffer; build_pdus() fills a PduList with one
// PDU per short message and hex_encode() renders one PDU as the text the
// modem expects. Text bytes are taken as GSM 7-bit default alphabet codes
// (low 7 bits of each byte), without character-set conversion.
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
inline constexpr std::size_t kMaxAddressDigits = 20;                  // what a TP-DA can carry
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

// True for an optional leading '+' followed by 1 to kMaxAddressDigits
// decimal digits: a number that a TP-DA address holds as it is.
bool is_valid_number(std::string_view number);

// Clears `list`, splits `text` into at most kMaxParts messages (a text over
// kSingleSmsChars goes as parts of kPartChars) and encodes them for
// `number`. Returns the number of PDUs built, 1 to 10; 0 only when
// encode_submit_pdu() refuses the number.
unsigned build_pdus(std::string_view number, std::string_view text, PduList &list);

// Writes one SMS-SUBMIT PDU into `out` and returns its length in octets.
// `total` = 0 asks for a plain message; otherwise this is part `seq`
// (1-based) of `total` and gets a concatenation header. A number with more
// than kMaxAddressDigits characters after the '+' does not fit: returns 0.
std::uint32_t encode_submit_pdu(std::string_view number, std::string_view text,
                                std::span<std::uint8_t, kPduOctets> out, unsigned total,
                                unsigned seq);

// Packs the low 7 bits of each byte of `text`, least significant bit first,
// into `out` starting at bit `start_bit` of out[0] (the bits below it are 0).
// The last, partly filled octet is stored too. Returns the octets written,
// or 0 with nothing written when `out` is too small.
std::size_t pack_septets(std::string_view text, std::span<std::uint8_t> out, unsigned start_bit);

// Writes two upper-case hex digits per octet and a terminating NUL into
// `out`. Stops early rather than overrun `out`. Returns the digits written.
std::size_t hex_encode(std::span<const std::uint8_t> octets, std::span<char> out);
