// Fuzzes decode_status_report with arbitrary text, and with the hex of
// arbitrary octets so that the fields behind the hex check get reached. A
// report must keep within its input and its buffers, and decode the same in
// either case of hex digit; what it holds must render within the buffers.
//
// Input: byte 0 is the +CDS line's length (0: unchecked); the rest is the
// hex text, and also the octets.
#include "pdu.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

constexpr std::size_t kMaxOctets = 400;

void check_report(std::string_view hex, std::size_t length)
{
    const StatusReport r = decode_status_report(hex, length);
    std::string upper(hex);
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const StatusReport u = decode_status_report(upper, length);
    check(u.valid == r.valid && u.status == r.status && u.reference == r.reference &&
          std::strcmp(u.recipient.data(), r.recipient.data()) == 0);
    if (!r.valid) {
        check(r.recipient[0] == '\0' && r.status == 0 && !r.sc_time.valid);
        return;
    }
    check(hex.size() % 2 == 0 && (length == 0 || 2 * length < hex.size()));
    check(decode_status_report(hex).valid);
    const std::size_t digits = std::strlen(r.recipient.data());
    check(digits < kNumberText && r.international == (r.recipient[0] == '+'));
    for (const TimeStamp &stamp : {r.sc_time, r.discharge}) {
        std::array<char, kTimeStampText> text{};
        const std::size_t n = format_time_stamp(stamp, text);
        check(n == std::strlen(text.data()) && (!stamp.valid || n == kTimeStampText - 1));
        std::array<char, 5> small{};
        check(format_time_stamp(stamp, small) == 4 && small[4] == '\0');
    }
    check(status_meaning(r.status) != nullptr);
    check(r.status < 0x20 || status_class(r.status) != StatusClass::delivered);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t length = data[0];
    check_report({reinterpret_cast<const char *>(data + 1), size - 1}, length);

    std::array<char, 2 * kMaxOctets + 1> hex{};
    const std::size_t octets = std::min(size - 1, kMaxOctets);
    const std::size_t digits = hex_encode({data + 1, octets}, hex);
    check(digits == 2 * octets);
    check_report({hex.data(), digits}, length);
    return 0;
}
