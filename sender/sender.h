// The program entry and its AT dialogue with the modem (3GPP TS 27.005,
// PDU mode).
//
// Contract: cellpost_main() checks the command line, takes the modem port,
// switches the modem to PDU mode and submits every PDU of the text to every
// recipient in turn, reporting to syslog. It returns the exit status: 0 when
// every PDU was handed to the modem and none was rejected, 1 otherwise.
// Only the usage line goes to standard output.
#pragma once

#include "pdu.h"
#include "port.h"

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr int kMinArgs = 3;   // program, one number, the text
inline constexpr int kMaxArgs = 21;  // program, 19 numbers, the text
inline constexpr std::size_t kCommandBufferSize = 512;
inline constexpr std::size_t kHexBufferSize = 400;
inline constexpr std::size_t kReplyBufferSize = 8192;
inline constexpr std::size_t kReplyReadLimit = 65535;  // stop reading a flood past this
inline constexpr std::size_t kDiscardChunk = 128;      // read size once the buffer is full
inline constexpr long kQuietMicroseconds = 200'000;    // silence that ends a reply
static_assert(2 * kMaxPduOctets + 1 <= kHexBufferSize, "a PDU's hex must fit its buffer");
static_assert(2 * kMaxPduOctets + 2 <= kCommandBufferSize, "hex and Ctrl-Z must fit a command");

inline constexpr const char *kProgramName = "cellpost";
inline constexpr const char *kUsageFormat = "Usage: %s <phone number 1> <phone number 2> ... "
                                            "<phone number n> <text sms in quotation marks>\n";
inline constexpr const char *kModeCommand = "ATE0+CMGF=0\r";  // echo off, PDU mode
inline constexpr const char *kSubmitFormat = "AT+CMGS=%u\r";
inline constexpr char kCtrlZ = '\x1a';  // ends the PDU text

inline constexpr const char *kMsgInvalidNumber = "Invalid phone number.";
inline constexpr const char *kMsgTruncated = "Text truncated to 1530 characters.";
inline constexpr const char *kMsgModeError = "AT+CMGF=0 error.";
inline constexpr const char *kMsgPromptError = "AT+CMGS error.";
inline constexpr const char *kMsgRejected = "SMS rejected by modem.";
inline constexpr const char *kMsgSent = "SMS successfully sent.";

// How long each exchange waits for the modem to begin its reply.
struct DialogueTimeouts {
    int mode_seconds;    // the PDU-mode command
    int prompt_seconds;  // the "> " after AT+CMGS
    int submit_seconds;  // the result of a submitted PDU
};

inline constexpr DialogueTimeouts kDialogueTimeouts = {10, 5, 10};

// Writes `command` in full and gathers the modem's reply until the line has
// been quiet long enough. Returns a NUL-terminated text (possibly empty) in
// a buffer that the next call overwrites. Errors show as a missing reply.
const char *at_command(int fd, const char *command, int timeout_seconds);

// The dialogue proper, on an open modem: PDU mode, then every PDU of `text`
// to each number in order. Returns the exit status.
int send_sms(int fd, std::span<char *const> numbers, std::string_view text,
             const DialogueTimeouts &timeouts);

// The whole run, from the command line to the exit status.
int cellpost_main(int argc, char **argv, const ModemPorts &ports = kDefaultModemPorts,
                  const DialogueTimeouts &timeouts = kDialogueTimeouts);
