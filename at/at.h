// One AT exchange with the modem (3GPP TS 27.005/27.007): a command line
// written whole, and the modem's reply gathered and judged line by line.
//
// Contract: at_command() reads off and drops whatever is already on the
// line, writes a command and waits for what it awaits (a final result
// "OK", or the PDU prompt) or an error final result, and ends the moment
// either is in; while neither has come, the exchange's silence and time
// limit end it. Only an answer to this command decides it: not one that
// was on the line before the write, nor a submission's late result. All
// the waiting rules of the dialogue are in one function here. Every write
// and every wake-up of a wait (at least twice a second) refreshes the
// port's lock. A stop signal ends an exchange at once,
// after an ESC where the modem may be in PDU entry; the caller unwinds;
// only an exchange that gives back a setting the run changed still goes
// out after a stop, and ends kAfterStopMilliseconds after it at the latest.
// A reply owns the lines it reports: no later exchange changes them.
// Nothing here decides what an answer means for the message.
//
// Status reports (3GPP TS 27.005 3.4.1 and 3.1, <ds>=1 of AT+CNMI) are the
// line's, not any command's: a "+CDS: <length>" line and the report's PDU
// on the line after it are never an answer and never counted among a
// reply's other lines, whenever they come: inside an exchange, before its
// command, after its answer, or while listen_unsolicited() waits. Each
// PDU line goes into one fixed store, oldest first, that the caller drains
// with take_status_line(); it holds kStatusLineStore of them, and one that
// comes while it is full is dropped. A line after "+CDS:" that is no hex
// is judged as any other line: an answer is never taken for a report.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

inline constexpr std::size_t kReplyBufferSize = 8192;
inline constexpr std::size_t kDiscardChunk = 128;  // read size once the buffer is full
// What is on the line before a command is read off up to this much: a
// modem that never stops talking must not keep the command from going out.
inline constexpr std::size_t kStaleLimit = 8 * kReplyBufferSize;
inline constexpr long long kQuietMilliseconds = 200;  // silence that lets a last line be judged
// Enough of a line to tell a final result and keep it for the log, verbose
// ones ("+CMS ERROR: no network service") included.
inline constexpr std::size_t kLineKeep = 64;
// At 115200 baud a whole command leaves in about 35 ms; a line that takes
// no byte for this long is not taking the command.
inline constexpr int kWriteLimitSeconds = 5;
// A modem sends a submission's "+CMGS: <mr>" only once the network took
// the message, and its "OK" right behind it: when that much time passes
// after the line without the OK (lost to line noise), the line has said it.
inline constexpr int kResultAfterReferenceSeconds = 5;

inline constexpr char kCtrlZ = '\x1a';                 // ends the PDU text
inline constexpr char kEsc = '\x1b';                   // cancels PDU text without sending it
inline constexpr const char *kCancelCommand = "\x1b";  // ESC as an exchange's command

// Final result codes (verbose form) and the PDU prompt. A final result is a
// whole line; the prompt is a '>' wherever it stands.
inline constexpr std::string_view kResultOk = "OK";
inline constexpr std::string_view kResultError = "ERROR";
inline constexpr std::string_view kCmsErrorPrefix = "+CMS ERROR:";  // SMS service error <n>
inline constexpr std::string_view kCmeErrorPrefix = "+CME ERROR:";  // equipment error <n>
inline constexpr char kPrompt = '>';
// A submission's message reference, "+CMGS: <mr>", comes just before its
// "OK": the final result after it is that submission's.
inline constexpr std::string_view kSubmitResultPrefix = "+CMGS:";
// A status report passed on unasked: "+CDS: <length>" in PDU mode, the
// PDU's hex on the next line.
inline constexpr std::string_view kStatusReportPrefix = "+CDS:";
// Room for a report for every part (10) of every recipient (19).
inline constexpr std::size_t kStatusLineStore = std::size_t{19} * 10;
// A report's hex: the centre's address (12 octets) and the longest TPDU
// (164). A longer line keeps its front, which holds every field read.
inline constexpr std::size_t kStatusHexKeep = std::size_t{2} * (12 + 164);
// A stop ends a run within a second: what gives back a setting has this
// long after it, the ESC and the lock's removal the rest.
inline constexpr long long kAfterStopMilliseconds = 300;

// What an exchange waits for: a final result "OK", or the prompt.
enum class Awaited { ok, prompt };

// How an exchange ended: with what it waited for, with an error final
// result ("ERROR", "+CMS ERROR: <n>", "+CME ERROR: <n>"), or with neither.
// Whichever of the first two arrives first decides.
enum class Verdict { none, answer, error };

struct Exchange {
    Awaited awaited;
    int idle_seconds;         // give up after this much silence while undecided
    int limit_seconds;        // and never later than this after the write
    bool pdu_entry = false;   // the modem may take PDU text or be sending one:
                              // a stop cancels it with ESC
    bool submission = false;  // PDU text: the "+CMGS: <mr>" that comes is its own
    // A query's own information line begins so ("+CSQ:"): an "OK" before
    // it is another command's, late; one alone, at the end, a bare answer.
    std::string_view info{};
    // Gives back what the run changed in the modem: goes out after a stop
    // signal too, and waits no later than kAfterStopMilliseconds after it.
    bool after_stop = false;
    // Monotonic ms by which the exchange, its write included, is over
    // whatever the modem does (-1: none): a check's time is not whole seconds.
    long long deadline = -1;
};

// One line of the modem's, blanks around it aside, cut to kLineKeep bytes:
// a copy of the reply's own.
struct Line {
    std::array<char, kLineKeep> bytes{};
    std::size_t length = 0;
    std::string_view view() const { return {bytes.data(), length}; }
};

struct Reply {
    const char *text;          // the first bytes received but NULs, NUL-terminated: a transcript
                               // for the reader, valid until the next exchange
    Verdict verdict;           // judged on every byte received, kept or not
    bool written;              // false when the command could not be written whole
    Line result{};             // the error's final result line
    bool interrupted = false;  // a stop signal ended the exchange: unwind
    Line info{};               // the command's own information line: the query's, or a
                               // submission's "+CMGS: <mr>"
    unsigned others = 0;       // other lines before the answer: notices, or late answers
};

// Recognises final results and the prompt in a byte stream, line by line,
// whatever the chunks it arrives in. NUL bytes are line noise and skipped;
// blanks and tabs around a line change nothing.
struct LineScanner {
    Awaited awaited;
    bool submission = false;  // a "+CMGS: <mr>" line is this exchange's own
    Verdict verdict = Verdict::none;
    bool late = false;        // another submission's "+CMGS: <mr>" came: its result is next
    bool stale_line = false;  // the current line began before the command: not its answer
    std::string_view info{};  // as the exchange's
    bool early_ok = false;    // an "OK" came before the query's own line
    Line own{};               // the command's own information line
    unsigned others = 0;      // lines neither empty, echo, nor a result of ours
    std::array<char, kLineKeep> line{};
    std::size_t length = 0;  // bytes in the current line, kept or not
};

// Scans until the bytes are used up or a verdict is in; returns how many
// bytes it took.
std::size_t scan_reply(LineScanner &scanner, std::string_view bytes);

// Judges the unfinished last line. After a quiet time (`whole` false) only
// a result without a code: a modem that has fallen quiet after "OK" has
// said it, with or without its CR LF, but "+CMS ERROR: 50" may yet go on
// to 500. At the exchange's end (`whole`) what came is the whole line, and
// a query's "OK" that came alone was its answer after all.
void end_reply_line(LineScanner &scanner, bool whole);

// The current line without the blanks and tabs around it, as kept.
std::string_view current_line(const LineScanner &scanner);

// The error's final result line as it came, for the caller to tell what it says.
Line result_line(const LineScanner &scanner);

// Writes `command` in full and gathers the modem's reply: until the answer
// or an error is in, at once, or, while neither has come, until the
// exchange's time runs out. Bytes after the answer are dropped by the next
// exchange. A command that cannot be written whole is not waited for. A
// submission whose own "+CMGS: <mr>" came ends kResultAfterReferenceSeconds
// after that line at the latest, decided or not.
Reply at_command(int fd, const char *command, const Exchange &exchange);

// Writes ESC, which ends PDU entry without sending anything.
void cancel_pdu_entry(int fd);

// One status report's PDU line as it came, blanks around it aside.
struct StatusLine {
    std::array<char, kStatusHexKeep> hex{};
    std::size_t length = 0;     // characters kept
    std::size_t announced = 0;  // the +CDS line's <length>: the TPDU's octets
    bool cut = false;           // longer than kStatusHexKeep: only its front is kept
    std::string_view view() const { return {hex.data(), length}; }
};

// Takes the oldest status report line of the store; false when none is left.
bool take_status_line(StatusLine &line);

// How listening ended: a status report is in the store, the time ran out,
// the line failed (hung up), or a stop signal came.
enum class Heard { report, quiet, failed, stopped };

// Waits without a command for what the modem sends unasked, until `until`
// (the monotonic clock, in ms) or as soon as a status report is in the
// store (at once if one is there already). Other lines are read off as
// before a command.
Heard listen_unsolicited(int fd, long long until);

// Called for every port taken: what the last port left unfinished (a line,
// a late result's, a report's PDU coming in) says nothing about this one,
// and would otherwise swallow its first answer. Stored reports stay.
void start_line();

// Between the folder's files: the status reports' side of the scanner
// (unsolicited.cpp). A whole line "+CDS: <length>", given to
// expect_status_report(), makes the next one that is not empty the report's PDU.
// Every byte of a line goes to note_report_byte(); at its end,
// end_report_line() stores it and says true when it was the PDU. While
// report_line_open() the line is a PDU coming in: not to be judged.
void expect_status_report(std::string_view line);
void note_report_byte(char c);
bool end_report_line(bool empty);
bool report_line_open();
std::size_t status_lines_stored();
// What comes between exchanges (unsolicited.cpp): scan_between() judges
// it, stored reports aside, from where the last of it left the line;
// read_off_stale() reads off, without waiting, what is on the line before
// a command and gives the command's scanner, which goes on from there;
// leave_line() gives back the line where an exchange without an answer
// stopped.
void scan_between(std::string_view bytes);
LineScanner read_off_stale(int fd, const Exchange &exchange);
void leave_line(const LineScanner &scanner);
