// What the TP-ST octet of a status report says, value by value.
#include "pdu.h"

namespace {

struct StatusRange {
    std::uint8_t first, last;
    StatusClass what;
    const char *meaning;
};

constexpr StatusClass kDone = StatusClass::delivered;
constexpr StatusClass kTrying = StatusClass::still_trying;
constexpr StatusClass kFailed = StatusClass::not_delivered;
// Receivers take a reserved value as 0x63, "service rejected" with the
// centre no longer trying: the message is not known to have arrived.
constexpr const char *kReserved = "reserved value, taken as service rejected";
constexpr const char *kCentreSpecific = "specific to the service centre";

// Every value from 0x00 to 0xFF, in order. Bit 7 set is reserved.
constexpr std::array<StatusRange, 34> kStatuses = {{
    // Transaction completed.
    {0x00, 0x00, kDone, "short message received by the SME"},
    {0x01, 0x01, kDone, "forwarded by the SC to the SME but the SC is unable to confirm delivery"},
    {0x02, 0x02, kDone, "replaced by the SC"},
    {0x03, 0x0F, kFailed, kReserved},
    {0x10, 0x1F, kDone, kCentreSpecific},
    // Temporary error, the centre still trying.
    {0x20, 0x20, kTrying, "congestion"},
    {0x21, 0x21, kTrying, "SME busy"},
    {0x22, 0x22, kTrying, "no response from SME"},
    {0x23, 0x23, kTrying, "service rejected"},
    {0x24, 0x24, kTrying, "quality of service not available"},
    {0x25, 0x25, kTrying, "error in SME"},
    {0x26, 0x2F, kFailed, kReserved},
    {0x30, 0x3F, kTrying, kCentreSpecific},
    // Permanent error, the centre no longer trying.
    {0x40, 0x40, kFailed, "remote procedure error"},
    {0x41, 0x41, kFailed, "incompatible destination"},
    {0x42, 0x42, kFailed, "connection rejected by SME"},
    {0x43, 0x43, kFailed, "not obtainable"},
    {0x44, 0x44, kFailed, "quality of service not available"},
    {0x45, 0x45, kFailed, "no interworking available"},
    {0x46, 0x46, kFailed, "SM validity period expired"},
    {0x47, 0x47, kFailed, "SM deleted by originating SME"},
    {0x48, 0x48, kFailed, "SM deleted by SC administration"},
    {0x49, 0x49, kFailed, "SM does not exist"},
    {0x4A, 0x4F, kFailed, kReserved},
    {0x50, 0x5F, kFailed, kCentreSpecific},
    // Temporary error, the centre no longer trying.
    {0x60, 0x60, kFailed, "congestion"},
    {0x61, 0x61, kFailed, "SME busy"},
    {0x62, 0x62, kFailed, "no response from SME"},
    {0x63, 0x63, kFailed, "service rejected"},
    {0x64, 0x64, kFailed, "quality of service not available"},
    {0x65, 0x65, kFailed, "error in SME"},
    {0x66, 0x6F, kFailed, kReserved},
    {0x70, 0x7F, kFailed, kCentreSpecific},
    {0x80, 0xFF, kFailed, kReserved},
}};

constexpr bool covers_every_value()
{
    unsigned next = 0;
    for (const StatusRange &range : kStatuses) {
        if (range.first != next || range.last < range.first)
            return false;
        next = range.last + 1U;
    }
    return next == 0x100;
}
static_assert(covers_every_value(), "one row for every TP-ST value");

const StatusRange &range_of(std::uint8_t status)
{
    for (const StatusRange &range : kStatuses) {
        if (status <= range.last)
            return range;
    }
    return kStatuses.back();  // not reached: the last row ends at 0xFF
}

}  // namespace

StatusClass status_class(std::uint8_t status)
{
    return range_of(status).what;
}

const char *status_meaning(std::uint8_t status)
{
    return range_of(status).meaning;
}
