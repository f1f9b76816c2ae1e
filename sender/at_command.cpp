// One AT exchange: write a command line, gather what the modem answers.
// All the waiting rules of the dialogue are here.
#include "sender.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace {

using Micros = long long;
constexpr Micros kMicrosPerSecond = 1'000'000;
constexpr Micros kQuiet = kQuietMilliseconds * 1000;
constexpr Micros kRefresh = Micros{kLockRefreshMilliseconds} * 1000;

// One reply at a time for the whole process, and its final result line;
// valid until the next command.
std::array<char, kReplyBufferSize> g_reply;
std::array<char, kLineKeep> g_result;

Micros now_us()
{
    timespec now{};
    // CLOCK_MONOTONIC always exists on Linux and `now` is valid: this
    // cannot fail, so the result is not checked.
    clock_gettime(CLOCK_MONOTONIC, &now);
    return Micros{now.tv_sec} * kMicrosPerSecond + now.tv_nsec / 1000;
}

// The one place where the dialogue acts on a stop signal: every wait ends
// here when one arrives (poll() returns EINTR), and so does every command
// before it is written. Does not return once a stop was asked for.
void honour_stop(int fd, const Exchange &exchange)
{
    const int signal = g_stop_signal;
    if (signal == 0)
        return;
    if (exchange.pdu_entry)
        cancel_pdu_entry(fd);  // the modem may be waiting for PDU text
    stop_run(signal);
}

// poll() on fd alone until `until`: 1 ready, 0 timed out, -1 failed.
// poll() takes any descriptor number, where select() stops at 1024. The
// wait wakes at least every kLockRefreshMilliseconds to show that we are
// still at work: a run that waits minutes for the network is alive, one
// stuck elsewhere is not.
int wait_ready(int fd, short events, Micros until, const Exchange &exchange)
{
    for (;;) {
        honour_stop(fd, exchange);  // a signal may have come between two polls
        refresh_lock();
        const Micros wait = std::min(until - now_us(), kRefresh);
        pollfd p = {fd, events, 0};
        // Rounded up, so that a wait never ends before its time and spins.
        const auto millis = static_cast<int>((std::max<Micros>(wait, 0) + 999) / 1000);
        const int ready = poll(&p, 1, millis);
        if (ready < 0 && errno == EINTR)
            continue;  // a stop is honoured at the top; any other signal: wait on
        if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL) != 0))
            return -1;
        if (ready > 0)
            return 1;  // POLLHUP and POLLERR too: the read or write says what
        if (now_us() >= until)
            return 0;
    }
}

// The port is non-blocking, so a write may take only part of a long PDU
// line; wait for room and go on, or a truncated PDU would reach the modem.
bool write_all(int fd, std::string_view data, Micros limit, const Exchange &exchange)
{
    const Micros deadline = now_us() + limit;
    refresh_lock();  // each exchange is a sign of life
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;  // EIO after a hang-up, for one
        if (wait_ready(fd, POLLOUT, deadline, exchange) <= 0)
            return false;
    }
    return true;
}

// Reads what is there: into the reply while it has room, then into a
// scratch area, so that a flood is drained and still searched. NUL bytes
// are line noise: they are not kept, lest they hide the text after them.
ssize_t read_chunk(int fd, std::size_t kept, std::array<char, kDiscardChunk> &discard,
                   std::string_view &got)
{
    char *into = discard.data();
    std::size_t room = discard.size();
    if (kept < kReplyBufferSize - 1) {
        into = g_reply.data() + kept;
        room = kReplyBufferSize - 1 - kept;
    }
    const ssize_t n = read(fd, into, room);
    char *end = std::remove(into, into + std::max<ssize_t>(n, 0), '\0');
    got = std::string_view(into, static_cast<std::size_t>(end - into));
    std::fill(end, into + std::max<ssize_t>(n, 0), '\0');
    return n;
}

// Where an exchange stands while its reply comes in.
struct Gathering {
    LineScanner scanner;
    Micros idle;           // silence that ends it while undecided
    Micros deadline;       // the latest it may end
    Micros last_byte;      // silence is counted from the write, then from each byte
    bool judged = true;    // the unfinished line was judged since the last byte
    std::size_t kept = 0;  // bytes in the reply buffer, or past it
};

bool decided(const Gathering &g)
{
    return g.scanner.verdict != Verdict::none;
}

// The waiting rules, while the answer has not come (the exchange ends the
// moment it has: a whole final result line, or the prompt): 200 ms of
// quiet lets an unfinished last line be judged, as a modem that has fallen
// silent after "OK" without its CR LF has said it; after that only the
// exchange's silence or its time limit ends it.
Micros give_up_at(const Gathering &g)
{
    return std::min(g.last_byte + (g.judged ? g.idle : kQuiet), g.deadline);
}

// The wait ran out; true when that ends the exchange.
bool quiet_ends(Gathering &g)
{
    if (g.judged)
        return true;
    end_reply_line(g.scanner);
    g.judged = true;
    return decided(g);  // said, and followed by the quiet time already
}

// Takes a chunk; true when that ends the exchange: what comes after the
// answer is the next exchange's, and judged there.
bool take(Gathering &g, std::string_view got)
{
    scan_reply(g.scanner, got);
    g.kept += got.size();
    g.last_byte = now_us();
    g.judged = false;
    return decided(g);
}

// The final result line as it came, for the caller to tell what it says.
std::string_view keep_result(const LineScanner &scanner)
{
    if (scanner.verdict != Verdict::error)
        return {};
    const std::size_t length = std::min(scanner.length, scanner.line.size());
    std::copy_n(scanner.line.begin(), length, g_result.begin());
    return {g_result.data(), length};
}

}  // namespace

// A modem whose prompt came too late, that got only part of a PDU, or whose
// run was stopped in PDU entry would otherwise take every later command as
// PDU text, this run's and the next ones'.
void cancel_pdu_entry(int fd)
{
    // One byte, best effort: if it cannot go out, the port is gone and
    // there is nothing left to cancel.
    const ssize_t sent = write(fd, &kEsc, 1);
    static_cast<void>(sent);
}

Reply at_command(int fd, const char *command, const Exchange &exchange)
{
    g_reply.fill('\0');
    honour_stop(fd, exchange);  // asked between two commands: write nothing more
    const int write_seconds = std::min(exchange.idle_seconds, kWriteLimitSeconds);
    if (!write_all(fd, command, write_seconds * kMicrosPerSecond, exchange))
        return {g_reply.data(), Verdict::none, false, {}};

    const Micros start = now_us();
    Gathering g = {LineScanner{exchange.awaited}, exchange.idle_seconds * kMicrosPerSecond,
                   start + exchange.limit_seconds * kMicrosPerSecond, start};
    std::array<char, kDiscardChunk> discard{};
    for (;;) {
        const int ready = wait_ready(fd, POLLIN, give_up_at(g), exchange);
        if (ready < 0 || (ready == 0 && quiet_ends(g)))
            break;
        if (ready == 0)
            continue;
        std::string_view got;
        const ssize_t n = read_chunk(fd, g.kept, discard, got);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0 || take(g, got))
            break;  // hung up, the port failed, or the answer is in
    }
    if (!decided(g))
        end_reply_line(g.scanner);  // what came is all that will come
    return {g_reply.data(), g.scanner.verdict, true, keep_result(g.scanner)};
}
