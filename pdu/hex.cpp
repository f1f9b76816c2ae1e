// The hexadecimal text that AT+CMGS takes in PDU mode.
#include "pdu.h"

std::size_t hex_encode(std::span<const std::uint8_t> octets, std::span<char> out)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    if (out.empty())
        return 0;
    std::size_t n = 0;
    for (const std::uint8_t octet : octets) {
        if (n + 2 >= out.size())  // keep room for the NUL
            break;
        out[n++] = kDigits[octet >> 4];  // high nibble first
        out[n++] = kDigits[octet & 0x0F];
    }
    out[n] = '\0';
    return n;
}
