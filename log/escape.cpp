// Lines as they may be shown: a modem's answer may hold control bytes (an
// ESC sequence that rewrites a terminal's line) or bytes that are no UTF-8.
#include "report.h"

#include <algorithm>
#include <cstdio>

namespace {

// Well-formed UTF-8 (RFC 3629) shown as it is: the range of a lead byte,
// the character's length and the range its second byte may take.
struct Utf8Form {
    unsigned char first;
    unsigned char last;
    unsigned char length;
    unsigned char low;
    unsigned char high;
};

}  // namespace

// clang-format off
static const Utf8Form kUtf8Forms[] = {
    {0xC2, 0xC2, 2, 0xA0, 0xBF},  // not U+0080-U+009F: C1 controls, which terminals act on
    {0xC3, 0xDF, 2, 0x80, 0xBF},
    {0xE0, 0xE0, 3, 0xA0, 0xBF},  // no overlong forms
    {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F},  // no surrogates
    {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF},  // no overlong forms
    {0xF1, 0xF3, 4, 0x80, 0xBF},
    {0xF4, 0xF4, 4, 0x80, 0x8F},  // nothing past U+10FFFF
};
// clang-format on

namespace {

// The length of the character at the front of `s` if it is shown as it
// is, 0 if its first byte is shown escaped.
std::size_t shown_as_is(std::string_view s)
{
    const auto byte = [s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    if (byte(0) >= ' ' && byte(0) != kDelete && byte(0) < kFirstNonAscii)
        return 1;
    for (const Utf8Form &form : kUtf8Forms) {
        if (byte(0) < form.first || byte(0) > form.last)
            continue;
        if (s.size() < form.length || byte(1) < form.low || byte(1) > form.high)
            return 0;
        for (std::size_t i = 2; i < form.length; ++i) {
            if ((byte(i) & kContinuationMask) != kContinuation)
                return 0;
        }
        return form.length;
    }
    return 0;
}

}  // namespace

// The line as it may be shown: a modem's answer may hold control bytes (an
// ESC sequence that rewrites a terminal's line) or bytes that are no
// UTF-8; they are written "\xHH". Cut at a whole character or escape.
std::string_view escape_line(std::string_view in, std::span<char, kReportSize> out)
{
    std::size_t used = 0;
    while (!in.empty()) {
        const std::size_t as_is = shown_as_is(in);
        const std::size_t room = out.size() - 1 - used;
        if (as_is > 0 && as_is <= room) {
            std::copy_n(in.begin(), as_is, out.begin() + static_cast<std::ptrdiff_t>(used));
            used += as_is;
            in.remove_prefix(as_is);
        } else if (as_is == 0 && kEscapedSize <= room) {
            std::snprintf(out.data() + used, room + 1, "\\x%02x",
                          static_cast<unsigned char>(in[0]));
            used += kEscapedSize;
            in.remove_prefix(1);
        } else {
            break;
        }
    }
    out[used] = '\0';
    return {out.data(), used};
}
