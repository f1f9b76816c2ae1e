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

namespace {

constexpr unsigned char kEscape = 0x1B;         // its septet and the next one are one character
constexpr unsigned char kHighSurrogate = 0xD8;  // 0xD800..0xDBFF: the next unit completes it

// Octets per unit, and the units of a plain message and of a part.
struct Room {
    std::size_t unit;
    std::size_t single;
    std::size_t part;
};

Room room_of(Alphabet alphabet)
{
    if (alphabet == Alphabet::ucs2)
        return {2, kSingleSmsUnits, kPartUnits};
    return {1, kSingleSmsChars, kPartChars};
}

// True when the unit at byte `at` is the first half of a character that the
// next unit completes: an ESC pair, or a surrogate pair.
bool opens_pair(const UserText &text, std::size_t at)
{
    const auto unit = static_cast<unsigned char>(text.units[at]);
    return (text.alphabet == Alphabet::gsm7 && unit == kEscape) ||
           (text.alphabet == Alphabet::ucs2 && (unit & 0xFC) == kHighSurrogate);
}

// Where the part starting at `start` ends: `room` units on, or before the
// last of them if it is the first half of a pair that would be split.
std::size_t part_end(const UserText &text, std::size_t start, const Room &room)
{
    const std::size_t end = start + room.part * room.unit;
    if (end >= text.units.size())
        return text.units.size();
    return opens_pair(text, end - room.unit) ? end - room.unit : end;
}

// Splits `text` into the parts of a concatenated message, at most
// kMaxParts; what is left over is not sent.
std::size_t split(const UserText &text, std::array<std::string_view, kMaxParts> &parts)
{
    const Room room = room_of(text.alphabet);
    std::size_t count = 0;
    for (std::size_t start = 0; start < text.units.size() && count < kMaxParts; ++count) {
        const std::size_t end = part_end(text, start, room);
        parts[count] = slice(text.units, start, end - start);
        start = end;
    }
    return count;
}

bool single(const UserText &text)
{
    const Room room = room_of(text.alphabet);
    return text.units.size() <= room.single * room.unit;
}

}  // namespace

std::size_t count_characters(const UserText &text)
{
    const std::size_t step = room_of(text.alphabet).unit;
    std::size_t count = 0;
    for (std::size_t at = 0; at + step <= text.units.size(); at += step)
        count += opens_pair(text, at) ? 0 : 1;  // a pair counts once, at its second half
    return count;
}

UserText sent_text(const UserText &text)
{
    if (single(text))
        return text;
    std::array<std::string_view, kMaxParts> parts{};
    const std::size_t count = split(text, parts);
    std::size_t sent = 0;  // the parts follow each other from the start
    for (std::size_t k = 0; k < count; ++k)
        sent += parts[k].size();
    return {text.alphabet, slice(text.units, 0, sent)};
}

unsigned build_pdus(std::string_view number, const UserText &text, PduList &list,
                    std::uint8_t reference, bool status_report)
{
    for (PduRecord &record : list)
        record = PduRecord{};

    if (single(text)) {
        list[0].length = encode_submit_pdu(number, text, list[0].octets, 0, 0, 0, status_report);
        return list[0].length != 0 ? 1 : 0;
    }
    std::array<std::string_view, kMaxParts> parts{};
    const auto total = static_cast<unsigned>(split(text, parts));
    for (unsigned i = 0; i < total; ++i) {
        const UserText part = {text.alphabet, parts[i]};
        list[i].length =
            encode_submit_pdu(number, part, list[i].octets, total, i + 1, reference, status_report);
        if (list[i].length == 0)
            return 0;
    }
    return total;
}
