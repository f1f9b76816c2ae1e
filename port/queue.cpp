// Waiting in turn. A run that finds the port busy takes a ticket: an empty
// file "LWAIT..<device>.<ticket>" in the lock directory, whose name holds
// the monotonic time at which it began to wait. It keeps an flock on it and
// touches it at every look at the lock. A free port goes to the oldest
// waiter whose ticket is alive: flocked, and touched within the last
// second. A ticket nobody holds is its waiter's leftover and is removed.
// A run that waits for whichever of a pool's ports frees first holds a
// ticket of the same value in each one's queue: its place is the same in
// all of them.
#include "lock_internal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view kTicketPrefix = "LWAIT..";
constexpr std::size_t kTicketDigits = 16;  // the ticket in hex, zero-padded: names sort as tickets

// "LWAIT..<device>." for the lock "<dir>/LCK..<device>".
std::string_view ticket_prefix(const char *lock, std::span<char, kTicketNameSize> out)
{
    const std::string_view device = split_lock_path(lock).device;
    const int n =
        std::snprintf(out.data(), out.size(), "%.*s%.*s.", static_cast<int>(kTicketPrefix.size()),
                      kTicketPrefix.data(), static_cast<int>(device.size()), device.data());
    return {out.data(), n > 0 ? static_cast<std::size_t>(n) : 0};
}

// True while the waiter of the ticket `name` is still there and looking.
bool ticket_alive(int dir, const char *name)
{
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat ticket {};
    const bool regular = fstat(fd, &ticket) == 0 && S_ISREG(ticket.st_mode);
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // read-only: nothing to lose; drops our flock
    if (regular && !held) {
        // Its waiter has gone without tidying up (SIGKILL). If the ticket
        // is not ours to remove, it is passed over all the same.
        static_cast<void>(unlinkat(dir, name, 0));
        return false;
    }
    // A stopped or hung waiter stops touching its ticket: it loses its turn.
    return regular && file_age_ns(ticket) < kTicketFreshNanoseconds;
}

}  // namespace

bool take_ticket(int dir, const char *lock, std::int64_t began, Ticket &ticket)
{
    if (began < 0)
        return false;  // no place to tell: wait out of turn
    std::array<char, kTicketNameSize> prefix{};
    const std::string_view start = ticket_prefix(lock, prefix);
    std::array<char, kTicketNameSize> name{};
    const auto value = static_cast<std::uint64_t>(began);
    const int n = std::snprintf(name.data(), name.size(), "%.*s%016" PRIx64,
                                static_cast<int>(start.size()), start.data(), value);
    if (n <= 0 || static_cast<std::size_t>(n) >= name.size())
        return false;
    const int fd =
        openat(dir, name.data(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kLockFileMode);
    if (fd < 0)
        return false;  // a full or read-only directory: wait out of turn
    // Readable by all, whatever the umask, so that others can see its flock.
    if (fchmod(fd, kLockFileMode) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        static_cast<void>(unlinkat(dir, name.data(), 0));
        close(fd);  // empty: nothing to lose
        return false;
    }
    ticket = {fd, value, {}};
    std::snprintf(ticket.name.data(), ticket.name.size(), "%s", name.data());  // same size
    return true;
}

void touch_ticket(const Ticket &ticket)
{
    if (ticket.fd >= 0)
        static_cast<void>(futimens(ticket.fd, nullptr));  // failing, we only lose our turn
}

void drop_ticket(const char *lock_dir, Ticket &ticket)
{
    if (ticket.fd < 0)
        return;
    std::array<char, kLockPathSize + kTicketNameSize> path{};
    std::snprintf(path.data(), path.size(), "%s/%s", lock_dir, ticket.name.data());  // fits
    static_cast<void>(unlink(path.data()));  // failing, others find it unheld and remove it
    close(ticket.fd);                        // empty: nothing to lose; drops the flock
    ticket = Ticket{};
}

bool older_waiter(int dir, const char *lock, const Ticket &ticket)
{
    std::array<char, kTicketNameSize> buffer{};
    const std::string_view prefix = ticket_prefix(lock, buffer);
    // readdir() needs a descriptor of its own, which closedir() closes.
    const int scan = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = scan >= 0 ? fdopendir(scan) : nullptr;
    if (entries == nullptr) {
        if (scan >= 0)
            close(scan);
        return false;  // cannot tell: take the port out of turn
    }
    // However many entries a hostile user piles up, a look reads at most
    // kTicketScanEntries of them and checks at most kTicketChecks tickets;
    // past that we cannot tell, and take the port out of turn.
    bool older = false;
    int read = 0;
    int checked = 0;
    while (const dirent *entry = readdir(entries)) {
        if (++read > kTicketScanEntries)
            break;
        const std::string_view name = entry->d_name;
        if (!name.starts_with(prefix) || name.size() != prefix.size() + kTicketDigits ||
            (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN))
            continue;
        char *end = nullptr;
        const std::uint64_t value = std::strtoull(entry->d_name + prefix.size(), &end, 16);
        if (*end != '\0' || value >= ticket.value)
            continue;
        if (++checked > kTicketChecks)
            break;
        if (ticket_alive(dir, entry->d_name)) {
            older = true;
            break;
        }
    }
    closedir(entries);  // read-only: nothing to lose
    return older;
}
