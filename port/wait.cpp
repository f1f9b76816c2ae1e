// Waiting for a port: one device's, or whichever of a pool's frees first.
// Every pass tries each device in turn under its guard; found busy, the
// run takes its place in each one's queue, and waits as long as some
// holder shows that it is at work.
#include "lock_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// Whole seconds of the monotonic clock, -1 when it cannot be read.
long monotonic_seconds()
{
    const long long now = monotonic_ms();
    return now < 0 ? -1 : static_cast<long>(now / 1000);
}

// A sign of life: the holder's flocked lock was refreshed or changed hands.
bool new_sign(const LockHolder &now, const LockHolder &seen)
{
    return now.flocked &&
           (now.dev != seen.dev || now.ino != seen.ino || now.mtime.tv_sec != seen.mtime.tv_sec ||
            now.mtime.tv_nsec != seen.mtime.tv_nsec);
}

// One device of a wait: its lock, our place in its queue, and what the
// last attempt found there.
struct Waited {
    std::array<char, kLockPathSize> lock{};
    const char *named = nullptr;  // what a reason calls the lock: `lock`, or a directory too long
    Ticket ticket;
    LockAttempt last = {LockResult::guarded};
    LockHolder seen{};
    long deferred = 0;  // passes in a row that its free port was left to an older waiter
};

// A wait's devices, 2.5 KB: not on the stack of a small system.
std::array<Waited, kMaxWaitDevices> g_waited;

// "No modem port: <cause>; <cause> ...": what each device's last attempt
// found, cut where the line is full.
void say_no_port(std::span<const char *const> paths, PortNote &why)
{
    std::array<char, kMessageSize> reasons{};
    std::size_t used = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        std::array<char, kMessageSize> one{};
        no_port_reason(paths[i], g_waited[i].named, g_waited[i].last, one);
        const int n = std::snprintf(reasons.data() + used, reasons.size() - used, "%s%s",
                                    i == 0 ? "" : "; ", one.data());
        if (n > 0)  // snprintf cuts what does not fit; nothing more is added then
            used = std::min(used + static_cast<std::size_t>(n), reasons.size() - 1);
    }
    std::snprintf(why.data(), why.size(), kNoPortFormat, reasons.data());
}

// Our wait for the lock of each of `paths`, as none of it began yet; a
// lock name that does not fit is a failure already.
void begin_wait(const char *lock_dir, std::span<const char *const> paths)
{
    const bool temp_fits = std::strlen(lock_dir) + 1 + std::strlen(kTempLockName) < kLockPathSize;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        Waited &w = g_waited[i];
        w = Waited{};
        w.named = w.lock.data();
        if (!lock_path(lock_dir, paths[i], w.lock) || !temp_fits) {
            w.named = lock_dir;
            w.last = lock_failure(LockFailure::create, ENAMETOOLONG);
        }
    }
}

// What one pass over the devices found: one taken (`which`); a device
// still worth another look; a sign of life from a holder, or a free port
// left to an older waiter, which is no one's fault.
struct Pass {
    bool taken = false;
    std::size_t which = 0;
    bool waiting = false;
    bool sign = false;
};

// Tries each device in turn, as a waiter since `began`; stops at the first
// one taken.
Pass look_at_each(const char *lock_dir, std::span<const char *const> paths, HeldLock &held,
                  std::int64_t began)
{
    Pass pass;
    for (std::size_t i = 0; i < paths.size() && g_stop_signal == 0; ++i) {
        Waited &w = g_waited[i];
        if (w.last.result == LockResult::failed)
            continue;  // in our way for good: the others may still be had
        touch_ticket(w.ticket);
        w.last = try_lock(lock_dir, paths[i], w.lock.data(), held, w.ticket, began,
                          w.deferred < kTicketDeferPasses);
        w.deferred = w.last.result == LockResult::queued ? w.deferred + 1 : 0;
        if (w.last.result == LockResult::taken)
            return {true, i};
        if (w.last.result == LockResult::failed)
            continue;
        pass.waiting = true;
        if (w.last.result == LockResult::queued || new_sign(w.last.holder, w.seen)) {
            w.seen = w.last.holder;
            pass.sign = true;
        }
    }
    return pass;
}

// Where a wait stands: its start and the last sign of life, in whole
// seconds of the monotonic clock (-1: it cannot be read), and the passes
// since each, for a clock that cannot be read.
struct WaitClock {
    long start;
    long last_sign;
    long passes = 0;
    long total_passes = 0;
};

// After a pass and its pause: whether the wait has run out. The clock has
// whole seconds, so "more than" gives a wait of more than timeout_seconds
// and at most about 1.1 s above it. Without a clock, count the passes that
// the same time allows.
bool run_out(WaitClock &clock, int timeout_seconds, int max_seconds)
{
    const long now = monotonic_seconds();
    ++clock.passes;
    ++clock.total_passes;
    if (clock.start >= 0 && clock.last_sign >= 0 && now >= 0)
        return now > clock.last_sign + timeout_seconds || now > clock.start + max_seconds;
    return clock.passes > static_cast<long>(timeout_seconds) * kLockPollsPerSecond ||
           clock.total_passes > static_cast<long>(max_seconds) * kLockPollsPerSecond;
}

}  // namespace

Locked lock_devices(const char *lock_dir, std::span<const char *const> paths, int timeout_seconds,
                    HeldLock &held, std::size_t &taken, PortNote &why, int max_seconds)
{
    paths = paths.first(std::min(paths.size(), kMaxWaitDevices));
    begin_wait(lock_dir, paths);
    // The wait runs out `timeout_seconds` after the last sign of life of
    // any holder, or after our start: a working cellpost keeps us waiting,
    // a stuck one, or a lock of another program, does not. And whatever
    // the signs, `max_seconds` after our start it is over.
    const long start = monotonic_seconds();
    WaitClock clock = {start, start};
    const std::int64_t began = monotonic_ns();  // our place in every device's queue
    Locked outcome = Locked::interrupted;
    while (g_stop_signal == 0 && outcome == Locked::interrupted) {
        const Pass pass = look_at_each(lock_dir, paths, held, began);
        if (pass.taken) {
            taken = pass.which;
            outcome = Locked::taken;
        } else if (!pass.waiting && g_stop_signal == 0) {
            outcome = Locked::failed;
        } else if (g_stop_signal == 0) {
            if (pass.sign) {
                clock.last_sign = monotonic_seconds();
                clock.passes = 0;
            }
            const timespec pause = {0, kLockPollNanoseconds};
            nanosleep(&pause, nullptr);  // woken early by a signal: the loop looks at it
            if (run_out(clock, timeout_seconds, max_seconds) && g_stop_signal == 0)
                outcome = Locked::busy;
        }
    }
    if (outcome == Locked::failed || outcome == Locked::busy)
        say_no_port(paths, why);  // the causes that hold now
    for (std::size_t i = 0; i < paths.size(); ++i)
        drop_ticket(lock_dir, g_waited[i].ticket);  // taken, given up or stopped: no longer waiting
    return outcome;
}

Locked lock_device(const char *lock_dir, const char *path, int timeout_seconds, HeldLock &held,
                   PortNote &why, int max_seconds)
{
    std::size_t taken = 0;
    return lock_devices(lock_dir, std::span(&path, 1), timeout_seconds, held, taken, why,
                        max_seconds);
}
