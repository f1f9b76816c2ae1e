// The log client: one line to syslog and, for failures, to standard error,
// without ever waiting long for either.
//
// Contract: report() sends one line to the log socket as syslog(3) frames it
// (facility daemon, tag "cellpost", our PID) and, at LOG_WARNING or worse, to
// standard error as "cellpost: <line>": an error at once, with the warnings
// held back until then (those that do not fit are counted in one line);
// warnings of a run that fails nowhere are never printed, but for those of
// warn_at_once(), which go out at once, as an error does, after the ones
// held back. Bytes below the
// space, DEL and anything that is no UTF-8 are shown as "\xHH". The log
// socket is a datagram socket, or a stream socket where the daemon listens
// on one. A line waits at most kReportWaitMs for either way out, and not at
// all on one that kept a line waiting that long before, until it takes one
// again: then the line is dropped there. One exception: standard error that
// cannot be opened anew without blocking (another user's terminal) is
// written in small chunks after a look, and a terminal whose output is
// stopped holds a chunk until a signal comes. Once a stop is asked for, all
// the lines still to come share kStopReportMs, and no line waits past the
// run's own deadline, once one is set. A run's label (--tag), once set, opens
// every line, "[<label>] ", in syslog and on standard error alike.
// open_report() connects to the log socket and readies standard error;
// close_report() lets go.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

inline constexpr const char *kLogSocket = "/dev/log";
inline constexpr const char *kReportTag = "cellpost";
inline constexpr int kReportWaitMs = 1000;
// With the ESC and the lock's removal, a stop ends within a second.
inline constexpr int kStopReportMs = 500;
inline constexpr std::size_t kReportSize = 512;        // one message; longer ones are cut
inline constexpr std::size_t kPendingWarnings = 4096;  // warnings held back for standard error
// Standard error's line, with the label if any, for the warnings held
// back that did not fit.
inline constexpr const char *kWarningsLeftFormat = "%s: %s%u more warnings only in syslog.\n";
// Bytes shown escaped, as "\xHH": below the space, DEL, and what is no
// well-formed UTF-8 (or a C1 control).
inline constexpr unsigned char kDelete = 0x7F;
inline constexpr unsigned char kFirstNonAscii = 0x80;
inline constexpr unsigned char kContinuationMask = 0xC0;  // 10xxxxxx
inline constexpr unsigned char kContinuation = 0x80;
inline constexpr std::size_t kEscapedSize = 4;  // "\xHH"
inline constexpr std::size_t kTagRoom = 16;     // "cellpost: " and the newline, on standard error
// A run's label: printable ASCII, so that it needs no escaping; shown as
// "[<label>] ".
inline constexpr std::size_t kMaxLabelBytes = 32;
inline constexpr std::size_t kLabelRoom = kMaxLabelBytes + 4;  // brackets, blank, NUL

// `socket` is the log socket's path; tests point it at one of their own.
void open_report(const char *socket = kLogSocket);
void close_report();
[[gnu::format(printf, 2, 3)]] void report(int priority, const char *format, ...);
// A warning that goes to standard error at once, whatever the run's end:
// one that no retry can cure, such as a text that will arrive changed.
[[gnu::format(printf, 1, 2)]] void warn_at_once(const char *format, ...);
// The label of every later line; `label` is at most kMaxLabelBytes of
// printable ASCII (the caller checks).
void set_report_label(std::string_view label);
// No later line waits for a way out past `deadline` (monotonic ms): a run
// that must end by then still tries each line once.
void set_report_deadline(long long deadline);

// Between the client's files: the line as it may be shown, control bytes
// and what is no UTF-8 written "\xHH", cut at a whole character or escape
// (escape.cpp); the ways out, each waiting at most until `deadline`
// (outlets.cpp): one syslog line, NUL-terminated, and standard error.
std::string_view escape_line(std::string_view in, std::span<char, kReportSize> out);
void send_log(std::string_view line, long long deadline);
bool put_stderr(std::string_view text, long long deadline);
