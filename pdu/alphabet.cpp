// UTF-8 text into the GSM 7-bit default alphabet (3GPP TS 23.038, 6.2.1
// and its extension table, 6.2.1.1) where every character has a code, and
// into UCS-2 (UTF-16 big-endian) where one has not.
#include "pdu.h"

#include <algorithm>
#include <iterator>

namespace {

// 0x1B in the default alphabet: the escape, no character of its own.
constexpr char32_t kNoCharacter = 0xFFFF'FFFF;

// A character of the extension table, sent as ESC and its code.
struct Extension {
    std::uint8_t code;
    char32_t character;
};

}  // namespace

// The default alphabet by GSM code, as 23.038's table lists it column by
// column: each row here is one column (codes 0xN0 to 0xNF). 0x09 is the
// capital Ç, as the table has it; a small ç has no code.
// clang-format off
static const char32_t kGsmDefault[128] = {
    U'@', U'£', U'$', U'¥', U'è', U'é', U'ù', U'ì', U'ò', U'Ç', U'\n', U'Ø', U'ø', U'\r', U'Å', U'å',
    U'Δ', U'_', U'Φ', U'Γ', U'Λ', U'Ω', U'Π', U'Ψ', U'Σ', U'Θ', U'Ξ', kNoCharacter, U'Æ', U'æ', U'ß', U'É',
    U' ', U'!', U'"', U'#', U'¤', U'%', U'&', U'\'', U'(', U')', U'*', U'+', U',', U'-', U'.', U'/',
    U'0', U'1', U'2', U'3', U'4', U'5', U'6', U'7', U'8', U'9', U':', U';', U'<', U'=', U'>', U'?',
    U'¡', U'A', U'B', U'C', U'D', U'E', U'F', U'G', U'H', U'I', U'J', U'K', U'L', U'M', U'N', U'O',
    U'P', U'Q', U'R', U'S', U'T', U'U', U'V', U'W', U'X', U'Y', U'Z', U'Ä', U'Ö', U'Ñ', U'Ü', U'§',
    U'¿', U'a', U'b', U'c', U'd', U'e', U'f', U'g', U'h', U'i', U'j', U'k', U'l', U'm', U'n', U'o',
    U'p', U'q', U'r', U's', U't', U'u', U'v', U'w', U'x', U'y', U'z', U'ä', U'ö', U'ñ', U'ü', U'à',
};
// clang-format on

// The extension table's characters that 23.038 defines for every language.
static const Extension kGsmExtension[] = {
    {0x0A, U'\f'},  // form feed (page break)
    {0x14, U'^'},  {0x28, U'{'}, {0x29, U'}'}, {0x2F, U'\\'}, {0x3C, U'['},
    {0x3D, U'~'},  {0x3E, U']'}, {0x40, U'|'}, {0x65, U'€'},
};

namespace {

constexpr std::uint8_t kEscape = 0x1B;  // the next septet is from the extension table
constexpr char32_t kMaxCodePoint = 0x10FFFF;
constexpr char32_t kSurrogates = 0xD800;     // 0xD800..0xDFFF are no characters
constexpr char32_t kLowSurrogates = 0xDC00;  // the second unit of a pair
constexpr char32_t kSurrogatesEnd = 0xE000;
constexpr char32_t kPlane1 = 0x10000;  // from here on, a surrogate pair

// The GSM septets of `c`, one or an ESC pair, into `septets`; 0 when it has
// no GSM code.
std::size_t gsm_septets(char32_t c, std::array<std::uint8_t, 2> &septets)
{
    const auto *in_default = std::find(std::begin(kGsmDefault), std::end(kGsmDefault), c);
    if (in_default != std::end(kGsmDefault) && c != kNoCharacter) {
        septets[0] = static_cast<std::uint8_t>(in_default - std::begin(kGsmDefault));
        return 1;
    }
    for (const Extension &e : kGsmExtension) {
        if (e.character == c) {
            septets = {kEscape, e.code};
            return 2;
        }
    }
    return 0;
}

// The UTF-16 big-endian octets of `c`: 2, or 4 for a surrogate pair.
std::size_t utf16_octets(char32_t c, std::array<std::uint8_t, 4> &octets)
{
    std::array<char32_t, 2> units = {c, 0};
    std::size_t count = 1;
    if (c >= kPlane1) {
        units = {kSurrogates + ((c - kPlane1) >> 10), kLowSurrogates + ((c - kPlane1) & 0x3FF)};
        count = 2;
    }
    for (std::size_t i = 0; i < count; ++i) {
        octets[2 * i] = static_cast<std::uint8_t>(units[i] >> 8);
        octets[2 * i + 1] = static_cast<std::uint8_t>(units[i] & 0xFF);
    }
    return 2 * count;
}

}  // namespace

bool arrives_as_written(unsigned char byte)
{
    return byte < std::size(kGsmDefault) && kGsmDefault[byte] == char32_t{byte};
}

std::size_t decode_utf8(std::string_view s, char32_t &c)
{
    if (s.empty())
        return 0;
    const auto lead = static_cast<unsigned char>(s[0]);
    std::size_t length = 1;
    char32_t least = 0;  // the smallest code point of that length: no overlong forms
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        c = lead & 0x1FU;
        least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        c = lead & 0x0FU;
        least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        c = lead & 0x07U;
        least = kPlane1;
    } else {
        return 0;  // a continuation byte, or 0xF8 and up
    }
    if (s.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(s[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        c = c << 6 | (next & 0x3FU);
    }
    if (c < least || c > kMaxCodePoint || (c >= kSurrogates && c < kSurrogatesEnd))
        return 0;
    return length;
}

namespace {

// Codes the whole characters of `utf8` that fit `out`, in `alphabet`,
// stopping before the first that has no code in it; returns the units.
std::string_view code_text(std::string_view utf8, Alphabet alphabet,
                           std::span<char, kMaxTextBytes> out)
{
    std::size_t used = 0;
    std::array<std::uint8_t, 2> septets{};
    std::array<std::uint8_t, 4> units{};
    for (std::string_view rest = utf8; !rest.empty();) {
        char32_t c = 0;
        rest.remove_prefix(decode_utf8(rest, c));
        const std::size_t n =
            alphabet == Alphabet::gsm7 ? gsm_septets(c, septets) : utf16_octets(c, units);
        // Whole characters only: an ESC without its code, or half a
        // surrogate pair, would reach the phone as garbage.
        if (n == 0 || used + n > out.size())
            break;
        const std::uint8_t *from = alphabet == Alphabet::gsm7 ? septets.data() : units.data();
        std::copy_n(from, n, out.begin() + static_cast<std::ptrdiff_t>(used));
        used += n;
    }
    return {out.data(), used};
}

}  // namespace

Converted convert_utf8(std::string_view utf8, std::span<char, kMaxTextBytes> out)
{
    Converted result = {true, {Alphabet::gsm7, {}}, 0};
    std::array<std::uint8_t, 2> septets{};
    std::size_t gsm_bytes = utf8.size();  // the UTF-8 bytes before the first non-GSM character
    for (std::string_view rest = utf8; !rest.empty(); ++result.characters) {
        char32_t c = 0;
        const std::size_t length = decode_utf8(rest, c);
        if (length == 0)
            return {false, {}, 0};
        if (gsm_septets(c, septets) == 0 && gsm_bytes == utf8.size())
            gsm_bytes = utf8.size() - rest.size();
        rest.remove_prefix(length);
    }

    // The alphabet of what will be sent: a character without a GSM code
    // that the part limit cuts off anyway must not cost the message its
    // 160 characters. It is cut off when the GSM text before it fills the
    // parts, so that one more septet would not be sent.
    result.text.units = code_text(slice(utf8, 0, gsm_bytes), Alphabet::gsm7, out);
    if (gsm_bytes == utf8.size())
        return result;
    const std::size_t before = result.text.units.size();
    if (before < out.size()) {
        out[before] = ' ';  // stands for the character, in the room it would need at least
        if (sent_text({Alphabet::gsm7, {out.data(), before + 1}}).units.size() > before)
            result.text = {Alphabet::ucs2, code_text(utf8, Alphabet::ucs2, out)};
    }
    return result;
}
