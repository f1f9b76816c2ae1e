// The send sequence: PDU mode, then every part to every recipient.
#include "sender.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

enum class Outcome { sent, rejected, no_prompt };

// Announces and submits one recipient's parts in order; stops at the first
// part the modem does not prompt for or rejects, and logs why.
Outcome submit_parts(int fd, const PduList &pdus, unsigned count, const DialogueTimeouts &timeouts)
{
    std::array<char, kCommandBufferSize> command;
    std::array<char, kHexBufferSize> hex;
    for (unsigned k = 0; k < count; ++k) {
        const PduRecord &pdu = pdus[k];
        // AT+CMGS counts the TPDU only, not the SMSC-length octet. Both
        // commands fit their buffer (see the static_asserts beside it).
        std::snprintf(command.data(), command.size(), kSubmitFormat, pdu.length - 1);
        const char *prompt = at_command(fd, command.data(), timeouts.prompt_seconds);
        if (std::strchr(prompt, '>') == nullptr) {
            syslog(LOG_ERR, "%s", kMsgPromptError);
            return Outcome::no_prompt;
        }
        hex_encode(std::span(pdu.octets).first(pdu.length), hex);
        std::snprintf(command.data(), command.size(), "%s%c", hex.data(), kCtrlZ);
        // "ERROR" covers both a plain ERROR and "+CMS ERROR: <n>". The other
        // parts of a rejected message would be useless on their own.
        const char *result = at_command(fd, command.data(), timeouts.submit_seconds);
        if (std::strstr(result, "ERROR") != nullptr) {
            syslog(LOG_ERR, "%s", kMsgRejected);
            return Outcome::rejected;
        }
    }
    return Outcome::sent;
}

}  // namespace

int send_sms(int fd, std::span<char *const> numbers, std::string_view text,
             const DialogueTimeouts &timeouts)
{
    if (std::strstr(at_command(fd, kModeCommand, timeouts.mode_seconds), "OK") == nullptr) {
        syslog(LOG_ERR, "%s", kMsgModeError);
        return 1;
    }

    PduList pdus;
    bool rejected = false;
    for (const char *number : numbers) {
        const unsigned count = build_pdus(number, text, pdus);
        if (count == 0) {  // the caller checked the numbers; never send a broken PDU
            syslog(LOG_ERR, "%s", kMsgInvalidNumber);
            return 1;
        }
        const Outcome outcome = submit_parts(fd, pdus, count, timeouts);
        if (outcome == Outcome::no_prompt)
            return 1;  // the modem is not listening: later recipients would fail alike
        rejected = rejected || outcome == Outcome::rejected;
    }
    if (rejected)
        return 1;
    syslog(LOG_NOTICE, "%s", kMsgSent);
    return 0;
}
