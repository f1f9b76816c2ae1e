// The send sequence: PDU mode, then every part to every recipient.
#include "sender.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <syslog.h>

int send_sms(int fd, std::span<char *const> numbers, std::string_view text,
             const DialogueTimeouts &timeouts)
{
    if (std::strstr(at_command(fd, kModeCommand, timeouts.mode_seconds), "OK") == nullptr) {
        syslog(LOG_ERR, "%s", kMsgModeError);
        return 1;
    }

    PduList pdus;
    std::array<char, kCommandBufferSize> command;
    std::array<char, kHexBufferSize> hex;
    bool rejected = false;
    for (const char *number : numbers) {
        const unsigned count = build_pdus(number, text, pdus);
        if (count == 0) {  // the caller checked the numbers; never send a broken PDU
            syslog(LOG_ERR, "%s", kMsgInvalidNumber);
            return 1;
        }
        for (unsigned k = 0; k < count; ++k) {
            const PduRecord &pdu = pdus[k];
            // AT+CMGS counts the TPDU only, not the SMSC-length octet.
            std::snprintf(command.data(), command.size(), kSubmitFormat, pdu.length - 1);
            if (std::strchr(at_command(fd, command.data(), timeouts.prompt_seconds), '>') ==
                nullptr) {
                syslog(LOG_ERR, "%s", kMsgPromptError);
                return 1;
            }
            hex_encode(std::span(pdu.octets).first(pdu.length), hex);
            std::snprintf(command.data(), command.size(), "%s%c", hex.data(), kCtrlZ);
            // "ERROR" covers both a plain ERROR and "+CMS ERROR: <n>". The
            // other parts of a rejected message would be useless alone.
            if (std::strstr(at_command(fd, command.data(), timeouts.submit_seconds), "ERROR") !=
                nullptr) {
                syslog(LOG_ERR, "%s", kMsgRejected);
                rejected = true;
                break;
            }
        }
    }
    if (rejected)
        return 1;
    syslog(LOG_NOTICE, "%s", kMsgSent);
    return 0;
}
