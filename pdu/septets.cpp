// GSM 7-bit default alphabet packing.
#include "pdu.h"

std::size_t pack_septets(std::string_view text, std::span<std::uint8_t> out, unsigned start_bit)
{
    const std::size_t bits = start_bit + 7 * text.size();
    const std::size_t octets = (bits + 7) / 8;
    if (start_bit > 7 || octets > out.size())
        return 0;

    // `pending` holds bits not yet stored; at most 7 + 7 of them at a time.
    unsigned pending = 0;
    unsigned pending_bits = start_bit;  // the fill bits below start_bit are 0
    std::size_t n = 0;
    for (const char c : text) {
        pending |= (static_cast<unsigned>(static_cast<unsigned char>(c)) & 0x7FU) << pending_bits;
        pending_bits += 7;
        if (pending_bits >= 8) {
            out[n++] = static_cast<std::uint8_t>(pending & 0xFFU);
            pending >>= 8;
            pending_bits -= 8;
        }
    }
    if (pending_bits > 0)  // the partly filled last octet, high bits 0
        out[n++] = static_cast<std::uint8_t>(pending & 0xFFU);
    return n;
}
