// Splitting a text into one plain SMS or a concatenated message.
#include "pdu.h"

#include <algorithm>

bool is_valid_number(std::string_view number)
{
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    return !number.empty() && number.size() <= kMaxAddressDigits &&
           std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

unsigned build_pdus(std::string_view number, std::string_view text, PduList &list)
{
    for (PduRecord &record : list)
        record = PduRecord{};

    if (text.size() <= kSingleSmsChars) {
        list[0].length = encode_submit_pdu(number, text, list[0].octets, 0, 0);
        return list[0].length != 0 ? 1 : 0;
    }

    // Anything beyond the last part is dropped; the caller warns about it.
    text = slice(text, 0, kMaxTextBytes);
    const auto total = static_cast<unsigned>((text.size() + kPartChars - 1) / kPartChars);
    for (unsigned i = 0; i < total; ++i) {
        const std::string_view part = slice(text, i * kPartChars, kPartChars);
        list[i].length = encode_submit_pdu(number, part, list[i].octets, total, i + 1);
        if (list[i].length == 0)
            return 0;
    }
    return total;
}
