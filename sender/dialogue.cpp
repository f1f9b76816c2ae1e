// The send sequence: PDU mode, then every part to every recipient.
#include "sender.h"

#include <array>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace {

enum class Outcome { sent, rejected, no_prompt, unconfirmed };

// The mode command and the prompt: give up after `seconds` of silence,
// and at twice that whatever trickles in.
Exchange listening_for(Awaited awaited, int seconds)
{
    return {awaited, seconds, 2 * seconds, awaited == Awaited::prompt};
}

// Announces and submits one recipient's parts in order; stops at the first
// part the modem does not prompt for, rejects or does not confirm, and
// logs why.
Outcome submit_parts(int fd, const PduList &pdus, unsigned count, const DialogueTimeouts &t)
{
    std::array<char, kCommandBufferSize> command;
    std::array<char, kHexBufferSize> hex;
    for (unsigned k = 0; k < count; ++k) {
        const PduRecord &pdu = pdus[k];
        // AT+CMGS counts the TPDU only, not the SMSC-length octet. Both
        // commands fit their buffer (see the static_asserts beside it).
        std::snprintf(command.data(), command.size(), kSubmitFormat, pdu.length - 1);
        const Exchange prompt = listening_for(Awaited::prompt, t.prompt_seconds);
        if (at_command(fd, command.data(), prompt).verdict != Verdict::answer) {
            cancel_pdu_entry(fd);  // a prompt may still be on its way
            report(LOG_ERR, "%s", kMsgPromptError);
            return Outcome::no_prompt;
        }
        hex_encode(std::span(pdu.octets).first(pdu.length), hex);
        std::snprintf(command.data(), command.size(), "%s%c", hex.data(), kCtrlZ);
        // Only the final result counts: "+CMGS: <mr>" and "OK", or an
        // error. Notices, echo and banners in between are not answers.
        const Exchange submit = {Awaited::ok, t.submit_seconds, t.submit_seconds, true};
        const Reply result = at_command(fd, command.data(), submit);
        if (!result.written)
            cancel_pdu_entry(fd);  // the modem may hold part of the PDU
        if (result.verdict == Verdict::none) {
            report(LOG_ERR, "%s", kMsgNotConfirmed);
            return Outcome::unconfirmed;
        }
        if (result.verdict == Verdict::error) {
            // The other parts of a rejected message would be useless alone.
            report(LOG_ERR, "%s", kMsgRejected);
            return Outcome::rejected;
        }
    }
    return Outcome::sent;
}

}  // namespace

int send_sms(int fd, std::span<char *const> numbers, const UserText &text, std::uint8_t reference,
             const DialogueTimeouts &timeouts)
{
    const Exchange mode_exchange = listening_for(Awaited::ok, timeouts.mode_seconds);
    Verdict mode = at_command(fd, kModeCommand, mode_exchange).verdict;
    if (mode == Verdict::none) {
        // Neither OK nor an error: perhaps a modem left waiting for PDU
        // text by an interrupted run, which swallows commands until ESC.
        cancel_pdu_entry(fd);
        mode = at_command(fd, kModeCommand, mode_exchange).verdict;
    }
    if (mode != Verdict::answer) {
        report(LOG_ERR, "%s", kMsgModeError);
        return 1;
    }

    PduList pdus;
    bool rejected = false;
    for (const char *number : numbers) {
        const unsigned count = build_pdus(number, text, pdus, reference);
        if (count == 0) {  // the caller checked the numbers; never send a broken PDU
            report(LOG_ERR, "%s", kMsgInvalidNumber);
            return 1;
        }
        const Outcome outcome = submit_parts(fd, pdus, count, timeouts);
        // A modem that gives no prompt or no result is not listening:
        // later recipients would wait and fail alike.
        if (outcome == Outcome::no_prompt || outcome == Outcome::unconfirmed)
            return 1;
        rejected = rejected || outcome == Outcome::rejected;
    }
    if (rejected)
        return 1;
    report(LOG_NOTICE, "%s", kMsgSent);
    return 0;
}
