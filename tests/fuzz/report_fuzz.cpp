// Fuzzes decode_status_report with arbitrary text, and with the hex of
// arbitrary octets to reach the fields behind the hex check. Input: byte 0
// is the +CDS line's length (0: unchecked); the rest is the hex text, and
// also the octets. It must keep within its input and its buffers.
#include "pdu.h"

#include <cstdlib>
#include <cstring>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

constexpr std::size_t kMaxHex = 801;  // 400 octets and the NUL

void check_report(std::string_view hex, std::size_t length)
{
    const StatusReport r = decode_status_report(hex, length);
    check(r.valid ? 2 * length < hex.size() && decode_status_report(hex).valid
                  : r.recipient[0] == '\0' && r.status == 0);  // nothing half decoded
    check(std::strlen(r.recipient.data()) < kNumberText);
    for (const TimeStamp &stamp : {r.sc_time, r.discharge}) {
        std::array<char, kTimeStampText> text{};
        const std::size_t n = format_time_stamp(stamp, text);
        check(n == std::strlen(text.data()) && (!stamp.valid || n == kTimeStampText - 1));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t length = data[0];
    check_report({reinterpret_cast<const char *>(data + 1), size - 1}, length);

    std::array<char, kMaxHex> hex{};  // hex_encode takes what fits
    check_report({hex.data(), hex_encode({data + 1, size - 1}, hex)}, length);
    return 0;
}
