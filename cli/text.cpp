// The text: from the command line or standard input, checked, coded, and
// cut to what 10 parts carry, with a warning for what will not arrive as
// written.
#include "cli.h"

#include "base.h"
#include "report.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

namespace {

// Standard input's text: room for the most UTF-8 that 10 parts carry (two
// bytes a GSM character, as "é" takes; a UCS-2 unit takes three at most),
// and a final "\r\n". Whatever comes beyond is more than can be sent.
std::array<char, 2 * kMaxTextBytes + 2> g_input;

constexpr unsigned char kContinuationBits = 0xC0;  // 10xxxxxx: inside a UTF-8 character
constexpr unsigned char kContinuationByte = 0x80;
constexpr std::size_t kMaxUtf8Bytes = 4;
constexpr std::size_t kDropChunk = 4096;  // what is read at a time of a text that is too long

// What standard input held: the text, whether more came than the buffer
// holds (read and dropped, so that the writer is not cut off), and the
// errno of a failed read.
struct Input {
    std::string_view text;
    bool cut = false;
    int error = 0;
};

Input read_input()
{
    std::array<char, kDropChunk> rest{};
    Input input;
    std::size_t used = 0;
    while (g_stop_signal == 0) {
        // A read that blocks would not see a stop that came just before
        // it: wait in steps, as every wait of the run does.
        pollfd p = {STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&p, 1, kLockRefreshMilliseconds);
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue;  // the flag is looked at again; another failure, the read tells
        const bool full = used == g_input.size();
        const ssize_t n = read(STDIN_FILENO, full ? rest.data() : g_input.data() + used,
                               full ? rest.size() : g_input.size() - used);
        if (n > 0) {
            input.cut = input.cut || full;
            used += full ? 0 : static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            input.error = errno;  // EAGAIN: a caller's non-blocking descriptor, waited for above
            break;
        }
    }
    input.text = {g_input.data(), used};
    return input;
}

// A UTF-8 text cut at the buffer's end may end in part of a character:
// that part goes, lest the whole text be refused as no UTF-8.
std::string_view whole_characters(std::string_view text)
{
    std::size_t start = text.size();
    while (start > 0 && text.size() - start < kMaxUtf8Bytes &&
           (static_cast<unsigned char>(text[start - 1]) & kContinuationBits) == kContinuationByte)
        --start;
    if (start == 0)
        return text;
    char32_t c = 0;
    const std::string_view last = slice(text, start - 1);
    return decode_utf8(last, c) == last.size() ? text : slice(text, 0, start - 1);
}

// The bytes of a raw text that a phone shows as other characters, each
// named once: as it is where it is printable ASCII, else as "\xHH".
void warn_changed_bytes(std::string_view text)
{
    std::array<bool, 256> seen{};
    std::array<char, kReportSize> names{};
    std::size_t used = 0;
    unsigned count = 0;
    for (const char c : slice(text, 0, kMaxTextBytes)) {
        const auto byte = static_cast<unsigned char>(c);
        if (arrives_as_written(byte) || seen[byte])
            continue;
        seen[byte] = true;
        if (++count > kNamedBytes)
            continue;
        const bool shown = byte > ' ' && byte < kDelete;
        const int n = std::snprintf(names.data() + used, names.size() - used,
                                    shown ? "%s%c" : "%s\\x%02X", count == 1 ? "" : " ", byte);
        used += static_cast<std::size_t>(std::max(n, 0));  // 16 names fit
    }
    if (count > 0)
        warn_at_once(kMsgChangedBytesFormat, names.data(), count > kNamedBytes ? " ..." : "");
}

}  // namespace

bool prepare_text(const CommandLine &line, std::span<char, kMaxTextBytes> buffer, UserText &text,
                  bool &stopped)
{
    Input input = {line.text};
    if (line.text == kTextFromInput) {
        input = read_input();
        stopped = g_stop_signal != 0;
        if (stopped)
            return false;
        if (input.error != 0) {
            report(LOG_ERR, kMsgInputErrorFormat, std::strerror(input.error));
            return false;
        }
        // One line end goes: a mail hook's or an echo's. Once cut, the
        // text's end was dropped already.
        if (!input.cut && input.text.ends_with('\n'))
            input.text.remove_suffix(input.text.ends_with("\r\n") ? 2 : 1);
        if (input.text.empty()) {
            report(LOG_ERR, "%s", kMsgNoInputText);
            return false;
        }
    }
    // A raw text is taken byte for byte and cut at 1530 bytes.
    if (!line.utf8) {
        if (input.text.size() > kMaxTextBytes)
            report(LOG_WARNING, "%s", kMsgTruncated);
        warn_changed_bytes(input.text);
        text = {Alphabet::raw, input.text};
        return true;
    }
    // A UTF-8 one is checked and coded first, into `buffer`, and cut at a
    // character.
    const Converted converted =
        convert_utf8(input.cut ? whole_characters(input.text) : input.text, buffer);
    if (!converted.valid) {
        report(LOG_ERR, "%s", kMsgInvalidText);
        return false;
    }
    text = sent_text(converted.text);
    if (const std::size_t sent = count_characters(text); sent < converted.characters || input.cut)
        report(LOG_WARNING, kMsgTruncatedFormat, sent);
    return true;
}
