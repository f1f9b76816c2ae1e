// One SMS-SUBMIT TPDU, preceded by an empty SMSC address.
#include "pdu.h"

namespace {

constexpr std::uint8_t kNoSmsc = 0x00;            // use the SMSC stored in the modem
constexpr std::uint8_t kFirstOctet = 0x11;        // TP-MTI SMS-SUBMIT, TP-VPF relative
constexpr std::uint8_t kUdhi = 0x40;              // TP-UDHI: user data starts with a header
constexpr std::uint8_t kRejectDuplicates = 0x04;  // TP-RD: the SC drops a copy it already holds
constexpr std::uint8_t kReportRequest = 0x20;     // TP-SRR: the SC sends a status report
constexpr std::size_t kFirstOctetAt = 1;          // after the empty SMSC address's length octet
constexpr std::uint8_t kMessageRef = 0x00;        // TP-MR: the modem assigns its own
constexpr std::uint8_t kInternational = 0x91;     // TON international, ISDN plan
constexpr std::uint8_t kUnknownType = 0x81;       // TON unknown, ISDN plan
constexpr std::uint8_t kProtocolId = 0x00;        // TP-PID: plain SME-to-SME
constexpr std::uint8_t kDefaultAlphabet = 0x00;   // TP-DCS: GSM 7-bit, no class
constexpr std::uint8_t kUcs2 = 0x08;              // TP-DCS: UCS-2, no class
constexpr std::uint8_t kValidity4Days = 0xAA;     // TP-VP relative: (170 - 166) days
constexpr std::uint8_t kUdhLength = 0x05;         // UDHL: one 5-octet element follows
constexpr std::uint8_t kIeiConcat8 = 0x00;        // IEI: concatenation, 8-bit reference
constexpr std::uint8_t kIeiConcatLength = 0x03;   // reference, total, sequence
// The 6 header octets are 48 bits; with one fill bit they take 7 septets.
constexpr unsigned kUdhSeptets = 7;
constexpr unsigned kUdhFillBits = 1;
constexpr unsigned kUdhOctets = 6;

std::uint8_t semi_octet(char c)
{
    return static_cast<std::uint8_t>(c - '0');
}

}  // namespace

std::uint32_t encode_submit_pdu(std::string_view number, const UserText &text,
                                std::span<std::uint8_t, kPduOctets> out, unsigned total,
                                unsigned seq, std::uint8_t reference, bool status_report)
{
    const bool international = !number.empty() && number.front() == '+';
    const std::string_view digits = international ? slice(number, 1) : number;
    if (digits.size() > kMaxAddressDigits)
        return 0;
    const bool segmented = total != 0;
    const bool ucs2 = text.alphabet == Alphabet::ucs2;
    const auto first = static_cast<std::uint8_t>(kFirstOctet | (segmented ? kUdhi : 0) |
                                                 (status_report ? kReportRequest : 0));

    std::size_t n = 0;
    out[n++] = kNoSmsc;                                        // SMSC information length
    out[n++] = first;                                          // first octet
    out[n++] = kMessageRef;                                    // TP-MR
    out[n++] = static_cast<std::uint8_t>(digits.size());       // TP-DA length in digits
    out[n++] = international ? kInternational : kUnknownType;  // TP-DA type of address
    for (std::size_t i = 0; i < digits.size(); i += 2) {       // TP-DA, low nibble first
        const std::uint8_t high = i + 1 < digits.size() ? semi_octet(digits[i + 1]) : 0x0F;
        out[n++] = static_cast<std::uint8_t>(semi_octet(digits[i]) | high << 4);
    }
    out[n++] = kProtocolId;                      // TP-PID
    out[n++] = ucs2 ? kUcs2 : kDefaultAlphabet;  // TP-DCS
    out[n++] = kValidity4Days;                   // TP-VP
    const std::size_t udl_at = n++;              // TP-UDL, filled below

    // TP-UDL counts septets in the 7-bit alphabet, octets in UCS-2.
    unsigned start_bit = 0;
    std::size_t udl = text.units.size();
    if (segmented) {
        out[n++] = kUdhLength;                        // UDHL
        out[n++] = kIeiConcat8;                       // IEI
        out[n++] = kIeiConcatLength;                  // IEDL
        out[n++] = reference;                         // reference number
        out[n++] = static_cast<std::uint8_t>(total);  // parts in all
        out[n++] = static_cast<std::uint8_t>(seq);    // this part, from 1
        start_bit = kUdhFillBits;
        udl += ucs2 ? kUdhOctets : kUdhSeptets;
    }
    out[udl_at] = static_cast<std::uint8_t>(udl);  // header included

    if (ucs2) {  // TP-UD: the UTF-16 octets as they are, no fill bit
        if (n + text.units.size() > out.size())
            return 0;
        for (const char octet : text.units)
            out[n++] = static_cast<std::uint8_t>(octet);
        return static_cast<std::uint32_t>(n);
    }
    const std::size_t ud_octets = (start_bit + 7 * text.units.size() + 7) / 8;
    if (n + ud_octets > out.size())
        return 0;  // the text does not fit the record
    n += pack_septets(text.units, std::span(out).subspan(n), start_bit);  // TP-UD
    return static_cast<std::uint32_t>(n);
}

void mark_resubmission(PduRecord &pdu)
{
    pdu.octets[kFirstOctetAt] |= kRejectDuplicates;
}
