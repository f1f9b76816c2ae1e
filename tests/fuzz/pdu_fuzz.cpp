// Fuzzes build_pdus + hex_encode with arbitrary numbers and texts, and
// checks each PDU by decoding it again; texts that are valid UTF-8 also go
// through convert_utf8.
//
// Input: byte 0 gives the number's length (low 5 bits, up to 31, so the
// 20-digit limit is crossed) and whether it starts with '+' (bit 7); that
// many bytes of number follow; the rest, up to 4000 bytes, is the text.
#include "delivery.h"
#include "pdu.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

constexpr std::size_t kMaxFuzzText = 4000;

// The septet at position `index` of the user data starting at `ud`.
unsigned septet_at(const std::uint8_t *ud, std::size_t index)
{
    unsigned value = 0;
    for (unsigned b = 0; b < 7; ++b) {
        const std::size_t bit = 7 * index + b;
        value |= ((ud[bit / 8] >> (bit % 8)) & 1U) << b;
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool plus = (data[0] & 0x80) != 0;
    const std::size_t taken = std::min<std::size_t>(data[0] & 0x1F, size - 1);
    std::string number = plus ? "+" : "";
    number.append(reinterpret_cast<const char *>(data + 1), taken);
    const std::string_view all(reinterpret_cast<const char *>(data + 1 + taken), size - 1 - taken);
    // Only a leading '+' is taken off; whatever follows counts as a digit.
    const std::size_t digits = number.starts_with('+') ? number.size() - 1 : number.size();
    const std::string_view text = all.substr(0, kMaxFuzzText);

    static PduList list;
    // The same bytes as UTF-8: a valid text is coded, cut at a character
    // and split into at most ten parts that each fit their record.
    static std::array<char, kMaxTextBytes> coded;
    if (const Converted utf8 = convert_utf8(text, coded);
        utf8.valid && digits <= kMaxAddressDigits) {
        const UserText sent = sent_text(utf8.text);
        check(count_characters(sent) <= utf8.characters);
        const unsigned parts = build_pdus(number, sent, list, 0x5C);
        check(parts >= 1 && parts <= kMaxParts);
        for (unsigned k = 0; k < parts; ++k)
            check(list[k].length > 0 && list[k].length <= kMaxPduOctets);
    }
    const unsigned count = build_pdus(number, {Alphabet::raw, text}, list, 0x5C);
    if (digits > kMaxAddressDigits) {
        check(count == 0);  // refused, never overrun
        return 0;
    }
    const std::size_t sent = std::min(text.size(), kMaxTextBytes);
    const std::size_t expected =
        sent <= kSingleSmsChars ? 1 : std::min(kMaxParts, (sent + kPartChars - 1) / kPartChars);
    check(count == expected);

    for (unsigned k = 0; k < kMaxParts; ++k) {
        const PduRecord &pdu = list[k];
        if (k >= count) {
            check(pdu.length == 0);
            continue;
        }
        check(pdu.length <= kMaxPduOctets);
        std::array<char, kHexBufferSize> hex{};
        check(hex_encode(std::span(pdu.octets).first(pdu.length), hex) == 2 * pdu.length);
        check(std::strlen(hex.data()) == 2 * pdu.length);

        const std::size_t udl_at = 4 + 1 + (digits + 1) / 2 + 3;
        const unsigned udl = pdu.octets[udl_at];
        const std::uint8_t *ud = pdu.octets.data() + udl_at + 1;
        const bool single = count == 1;
        const std::string_view part =
            single ? text.substr(0, sent) : text.substr(k * kPartChars, kPartChars);
        check(udl == part.size() + (single ? 0 : 7));
        // A part's septets start after the 6-octet header and its fill bit,
        // that is at septet 7.
        const std::size_t first = single ? 0 : 7;
        for (std::size_t i = 0; i < part.size(); ++i)
            check(septet_at(ud, first + i) == (static_cast<unsigned char>(part[i]) & 0x7FU));
        check(pdu.length == udl_at + 1 + (7 * udl + 7) / 8);
    }
    return 0;
}
