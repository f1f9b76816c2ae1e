// One AT exchange: write a command line, gather what the modem answers.
// All the waiting rules of the dialogue are here.
#include "at.h"

#include "base.h"
#include "port.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

using Millis = long long;
constexpr Millis kMillisPerSecond = 1000;

// The bytes of one reply at a time for the whole process, a transcript
// valid until the next command; what the reply says is its own copy.
std::array<char, kReplyBufferSize> g_reply;

// How a wait ended.
enum class Ready { yes, timed_out, failed, stopped };

// When a stop signal was first seen, -1 before: an exchange that gives a
// setting back waits no later than kAfterStopMilliseconds after it.
Millis g_stop_seen = -1;

// The one place where the exchange acts on a stop signal: every wait ends
// here when one arrives, and so does every command before it is written.
// The modem may be waiting for PDU text: ESC, so that the next run finds
// it taking commands.
bool stop_seen(int fd, const Exchange &exchange)
{
    if (g_stop_signal == 0) {
        g_stop_seen = -1;  // none, or one withdrawn (only tests do)
        return false;
    }
    if (g_stop_seen < 0)
        g_stop_seen = monotonic_ms();
    if (exchange.after_stop)
        return false;  // it goes out all the same, briefly: see wait_ready()
    if (exchange.pdu_entry)
        cancel_pdu_entry(fd);
    return true;
}

// poll() on fd alone until `until` (the monotonic clock, which Linux always
// has). poll() takes any descriptor number, where select() stops at 1024.
// The wait wakes at least every kLockRefreshMilliseconds to show that we
// are still at work: a run that waits minutes for the network is alive,
// one stuck elsewhere is not.
Ready wait_ready(int fd, short events, Millis until, const Exchange &exchange)
{
    for (;;) {
        if (stop_seen(fd, exchange))  // a signal may have come between two polls
            return Ready::stopped;
        if (g_stop_seen >= 0)  // what still goes out after a stop: briefly
            until = std::min(until, g_stop_seen + kAfterStopMilliseconds);
        refresh_lock();
        const Millis wait = std::min<Millis>(until - monotonic_ms(), kLockRefreshMilliseconds);
        pollfd p = {fd, events, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::max<Millis>(wait, 0)));
        if (ready < 0 && errno == EINTR)
            continue;  // a stop is seen at the top; any other signal: wait on
        if (ready < 0 || (ready > 0 && (p.revents & POLLNVAL) != 0))
            return Ready::failed;
        if (ready > 0)
            return Ready::yes;  // POLLHUP and POLLERR too: the read or write says what
        if (monotonic_ms() >= until)
            return Ready::timed_out;
    }
}

// The port is non-blocking, so a write may take only part of a long PDU
// line; wait for room until `deadline` and go on, or a truncated PDU would
// reach the modem.
Ready write_all(int fd, std::string_view data, Millis deadline, const Exchange &exchange)
{
    refresh_lock();  // each exchange is a sign of life
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return Ready::failed;  // EIO after a hang-up, for one
        if (const Ready ready = wait_ready(fd, POLLOUT, deadline, exchange); ready != Ready::yes)
            return ready == Ready::stopped ? ready : Ready::failed;
    }
    return Ready::yes;
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
    Millis idle;           // silence that ends it while undecided
    Millis deadline;       // the latest it may end
    Millis last_byte;      // silence is counted from the write, then from each byte
    bool judged = true;    // the unfinished line was judged since the last byte
    std::size_t kept = 0;  // bytes in the reply buffer, or past it
    Millis own_line = -1;  // when a submission's own "+CMGS: <mr>" was in
};

bool decided(const Gathering &g)
{
    return g.scanner.verdict != Verdict::none;
}

// The waiting rules, while the answer has not come (the exchange ends the
// moment it has: a whole final result line, or the prompt): 200 ms of
// quiet lets an unfinished last line be judged, as a modem that has fallen
// silent after "OK" without its CR LF has said it; after that only the
// exchange's silence or its time limit ends it. A submission's own
// "+CMGS: <mr>" says that the network took the message: its OK comes
// right behind it, or has been lost on the line.
Millis give_up_at(const Gathering &g)
{
    Millis until = std::min(g.last_byte + (g.judged ? g.idle : kQuietMilliseconds), g.deadline);
    if (g.own_line >= 0)
        until = std::min(until, g.own_line + kResultAfterReferenceSeconds * kMillisPerSecond);
    return until;
}

// The wait ran out; true when that ends the exchange.
bool quiet_ends(Gathering &g)
{
    if (g.judged)
        return true;
    end_reply_line(g.scanner, false);
    g.judged = true;
    return decided(g);  // said, and followed by the quiet time already
}

// Takes a chunk; true when that ends the exchange: what comes after the
// answer answers nothing of ours, and is read off as between exchanges.
bool take(Gathering &g, std::string_view got)
{
    std::string_view after = got;
    after.remove_prefix(scan_reply(g.scanner, got));
    scan_between(after);  // empty unless decided
    g.kept += got.size();
    g.last_byte = monotonic_ms();
    g.judged = false;
    if (g.scanner.submission && g.scanner.own.length > 0 && g.own_line < 0)
        g.own_line = g.last_byte;
    return decided(g);
}

// `at`, or the exchange's own deadline if that comes first.
Millis capped(Millis at, const Exchange &exchange)
{
    return exchange.deadline >= 0 ? std::min(at, exchange.deadline) : at;
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
    const Reply interrupted = {g_reply.data(), Verdict::none, false, {}, true};
    if (stop_seen(fd, exchange))
        return interrupted;  // asked between two commands: write nothing more
    LineScanner scanner = read_off_stale(fd, exchange);
    const int write_seconds = std::min(exchange.idle_seconds, kWriteLimitSeconds);
    const Ready wrote = write_all(
        fd, command, capped(monotonic_ms() + write_seconds * kMillisPerSecond, exchange), exchange);
    if (wrote == Ready::stopped)
        return interrupted;
    if (wrote != Ready::yes)
        return {g_reply.data(), Verdict::none, false, {}};

    const Millis start = monotonic_ms();
    Gathering g = {scanner, exchange.idle_seconds * kMillisPerSecond,
                   capped(start + exchange.limit_seconds * kMillisPerSecond, exchange), start};
    std::array<char, kDiscardChunk> discard{};
    for (;;) {
        const Ready ready = wait_ready(fd, POLLIN, give_up_at(g), exchange);
        if (ready == Ready::stopped)
            return interrupted;
        if (ready == Ready::failed || (ready == Ready::timed_out && quiet_ends(g)))
            break;
        if (ready == Ready::timed_out)
            continue;
        std::string_view got;
        const ssize_t n = read_chunk(fd, g.kept, discard, got);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0 || take(g, got))
            break;  // hung up, the port failed, or the answer is in
    }
    if (!decided(g)) {
        end_reply_line(g.scanner, true);  // what came is all this exchange judges
        leave_line(g.scanner);            // the line it stopped in may go on
    }
    return {g_reply.data(), g.scanner.verdict, true, result_line(g.scanner), false,
            g.scanner.own,  g.scanner.others};
}

Heard listen_unsolicited(int fd, long long until)
{
    const Exchange listening = {Awaited::ok, 0, 0};
    std::array<char, kDiscardChunk> chunk{};
    while (status_lines_stored() == 0) {
        const Ready ready = wait_ready(fd, POLLIN, until, listening);
        if (ready == Ready::stopped)
            return Heard::stopped;
        if (ready != Ready::yes)
            return ready == Ready::timed_out ? Heard::quiet : Heard::failed;
        const ssize_t n = read(fd, chunk.data(), chunk.size());
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n <= 0)
            return Heard::failed;  // hung up: nothing more will come
        scan_between({chunk.data(), static_cast<std::size_t>(n)});
    }
    return Heard::report;
}
