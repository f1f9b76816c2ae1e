// Lock files in a scratch directory, pseudo-terminals standing in for the
// modem devices.
#include "lock_internal.h"
#include "port.h"
#include "timing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

// Lets a test take the monotonic clock away from the code under test.
static bool g_clock_broken = false;
extern "C" int clock_gettime(clockid_t clock, timespec *ts)
{
    if (g_clock_broken && clock == CLOCK_MONOTONIC) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(syscall(SYS_clock_gettime, clock, ts));
}

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A lock wait that a fault would sit out where the case wants none: longer
// than kLoad, so that the bound tells the two apart.
constexpr int kFaultWaitSeconds = 3;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Waits for `done()`, looking every 5 ms, for 10 s at most.
template <typename Done> bool wait_for(Done done)
{
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!done() && Clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return done();
}

std::string read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string pid_text(pid_t pid)
{
    char text[kPidTextSize];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

// A PID that belonged to a process which has ended.
pid_t dead_pid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// The lock and the port as a yes or no; why not is the callers' to log.
bool take_lock(const char *lock_dir, const char *path, int timeout, HeldLock &held)
{
    PortNote why{};
    return lock_device(lock_dir, path, timeout, held, why) == Locked::taken;
}

ModemPort open_port(const ModemPorts &ports)
{
    ModemPort port;
    PortNote note{};
    static_cast<void>(open_modem(ports, port, note));
    return port;
}

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty()
    {
        char name[64];
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        close(master);
        close(slave);
    }
};

class PortTest : public ::testing::Test {
protected:
    fs::path dir;
    void SetUp() override
    {
        char pattern[] = "/tmp/cellpost-lock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        umask(022);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path lock_of(const char *name) const { return dir / (std::string("LCK..") + name); }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto &e : fs::directory_iterator(dir))
            names.push_back(e.path().filename());
        return names;
    }
};

using Lock = PortTest;
using Modem = PortTest;

// True while some process holds an flock on `path`.
bool flocked(const fs::path &path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

TEST_F(Lock, FreshLockHoldsOurPidUntilReleased)
{
    umask(077);  // the lock is 0644 whatever the umask
    HeldLock held;
    ASSERT_TRUE(take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held));
    EXPECT_EQ(read_file(lock_of("ttyUSB8")), pid_text(getpid()));
    EXPECT_EQ(fs::status(lock_of("ttyUSB8")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_TRUE(flocked(lock_of("ttyUSB8")));
    EXPECT_EQ(entries(), std::vector<std::string>{"LCK..ttyUSB8"}) << "no temporary file left";
    unlock_device(held);
    EXPECT_TRUE(entries().empty());
    EXPECT_EQ(held.fd, -1);
}

TEST_F(Lock, ReleaseLeavesAnotherOwnersLock)
{
    HeldLock held;
    ASSERT_TRUE(take_lock(dir.c_str(), "/dev/ttyS2", 1, held));
    fs::remove(lock_of("ttyS2"));
    write_file(lock_of("ttyS2"), pid_text(1));  // someone else's now
    unlock_device(held);
    EXPECT_EQ(read_file(lock_of("ttyS2")), pid_text(1));
}

TEST_F(Lock, StaleIsReplacedAtOnce)
{
    const pid_t dead = dead_pid();
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"dead PID", pid_text(dead)},
        {"dead PID, flocked by a reader who cannot touch it", pid_text(dead)},
        {"PID 0, which kill() takes for our own process group", pid_text(0)},
        {"not a number", "garbage\n"},
        {"empty", ""},
        {"our own PID, left by an earlier process", pid_text(getpid())},
        {"binary junk", std::string("\0\1\2", 3)},
        {"dead PID after 100 blanks", std::string(100, ' ') + std::to_string(dead) + "\n"},
        {"8 MiB of blanks", std::string(8 << 20, ' ')},  // only its start is read
    };
    for (const auto &[what, content] : cases) {
        SCOPED_TRACE(what);
        write_file(lock_of("ttyS2"), content);
        // A lock without a PID is young, and alive, for 5 s; a flocked one
        // while touched within the 10 s a holder may go without a sign.
        fs::last_write_time(lock_of("ttyS2"), fs::file_time_type::clock::now() - 11s);
        const int reader = open(lock_of("ttyS2").c_str(), O_RDONLY);
        if (std::string_view(what).find("flocked") != std::string_view::npos) {
            ASSERT_EQ(flock(reader, LOCK_EX), 0);
        }
        const auto start = Clock::now();
        HeldLock held;
        ASSERT_TRUE(take_lock(dir.c_str(), "/dev/ttyS2", kFaultWaitSeconds, held));
        EXPECT_LT(seconds_since(start), kLoad);
        EXPECT_EQ(read_file(lock_of("ttyS2")), pid_text(getpid()));
        unlock_device(held);
        close(reader);
    }
}

TEST_F(Lock, LiveHolderKeepsIt)
{
    struct Case {
        const char *what;
        std::string content;
        bool flocked;  // as by a holder in another PID namespace
    };
    const std::vector<Case> cases = {
        {"init's PID", pid_text(1), false},  // init never ends
        {"init's PID after 40 blanks", std::string(40, ' ') + "1\n", false},
        {"a dead PID, but flocked", pid_text(dead_pid()), true},  // and never refreshed
        {"our own PID, but flocked", pid_text(getpid()), true},
        {"empty: its locker is still writing it", "", false},
        {"blanks, no PID yet", std::string(4096, ' '), false},
    };
    for (const auto &[what, content, flocked] : cases) {
        SCOPED_TRACE(what);
        write_file(lock_of("ttyUSB8"), content);
        const int holder = open(lock_of("ttyUSB8").c_str(), O_RDONLY);
        ASSERT_EQ(flocked ? flock(holder, LOCK_EX) : 0, 0);
        const auto start = Clock::now();
        HeldLock held;
        EXPECT_FALSE(take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held));
        const double waited = seconds_since(start);
        EXPECT_GT(waited, 1.0 - kGrain);
        EXPECT_LT(waited, 2.1 + kLoad);  // more than 1 s, at most about 2.1 s
        EXPECT_EQ(read_file(lock_of("ttyUSB8")), content);
        close(holder);
    }
}

TEST_F(Lock, WithoutClockCountsPasses)
{
    write_file(lock_of("ttyUSB8"), pid_text(1));
    const auto start = Clock::now();  // steady_clock reads through the override too
    g_clock_broken = true;
    HeldLock held;
    const bool taken = take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held);
    g_clock_broken = false;
    const double waited = seconds_since(start);
    EXPECT_FALSE(taken);
    EXPECT_GT(waited, 1.0 - kGrain);  // 10 passes of 100 ms at least
    EXPECT_LT(waited, 1.1 + kLoad);
}

TEST_F(Lock, UnusableDirectoryFailsAtOnce)
{
    write_file(dir / "file", "");
    for (const fs::path &lock_dir : {dir / "absent", dir / "file"}) {
        SCOPED_TRACE(lock_dir);
        const auto start = Clock::now();
        HeldLock held;
        EXPECT_FALSE(take_lock(lock_dir.c_str(), "/dev/ttyUSB8", kFaultWaitSeconds, held));
        EXPECT_LT(seconds_since(start), kLoad);
    }
}

// A burst of rivals, each started once the one before holds the port or
// has taken its ticket: one holds the port at a time, in the order they
// came, and while a holder works (longer than the 1 s lock wait) none of
// the others gives up.
TEST_F(Lock, BurstTakesTurns)
{
    constexpr int kRivals = 4;
    write_file(lock_of("ttyUSB8"), pid_text(dead_pid()));
    int log[2];  // a rival's number when it takes the port, 'R' when it releases it
    ASSERT_EQ(pipe(log), 0);
    std::vector<pid_t> rivals;
    for (int i = 0; i < kRivals; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            HeldLock held;
            if (!take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held))
                _exit(1);
            const char taken = static_cast<char>('0' + i);
            const bool logged = write(log[1], &taken, 1) == 1;
            for (int step = 0; step < 25; ++step) {  // at work: a sign of life every 100 ms
                std::this_thread::sleep_for(100ms);
                refresh_lock();
            }
            const bool released = write(log[1], "R", 1) == 1;
            unlock_device(held);
            _exit(logged && released ? 0 : 2);
        }
        rivals.push_back(child);
        const auto tickets = [&] {
            return std::count_if(fs::directory_iterator(dir), {}, [](const fs::directory_entry &e) {
                return e.path().filename().string().starts_with("LWAIT..");
            });
        };
        EXPECT_TRUE(wait_for([&] {
            return i == 0 ? read_file(lock_of("ttyUSB8")) == pid_text(child) : tickets() == i;
        })) << "rival "
            << i << " in its place";
    }
    close(log[1]);
    for (const pid_t child : rivals) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "every rival gets the port";
    }
    std::string order(4 * kRivals, '\0');
    order.resize(
        static_cast<std::size_t>(std::max<ssize_t>(read(log[0], order.data(), order.size()), 0)));
    close(log[0]);
    EXPECT_EQ(order, "0R1R2R3R") << "one at a time, first come first served";
    EXPECT_TRUE(entries().empty()) << "no lock and no ticket left";
}

// A holder that stops getting on (here: sleeps) stops refreshing its lock,
// whatever its signal handlers do, and a waiter gives up on it.
TEST_F(Lock, StuckHolderIsGivenUp)
{
    const pid_t holder = fork();
    if (holder == 0) {
        HeldLock held;
        _exit(take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held) ? (sleep(6), 0) : 1);
    }
    while (!fs::exists(lock_of("ttyUSB8")))
        std::this_thread::sleep_for(10ms);
    const auto start = Clock::now();
    HeldLock held;
    EXPECT_FALSE(take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held));
    EXPECT_LT(seconds_since(start), 2.1 + kLoad);  // not until the holder ends
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// Two racers' side of the guard's race: each says on `events` where it
// paused (its name, then 'g' after a look at the guard, 'l' before it
// removes a stale lock) and goes on when told on its own pipe; told 'F',
// it pauses no more.
struct Racer {
    char name;
    int events;
    int go;
    bool free;
};
Racer g_racer{};

void pause_racer(const char *path)
{
    if (g_racer.free)
        return;
    const char event[2] = {g_racer.name, std::strstr(path, "LGUARD..") != nullptr ? 'g' : 'l'};
    char go = 'F';
    g_racer.free =
        write(g_racer.events, event, 2) != 2 || read(g_racer.go, &go, 1) != 1 || go == 'F';
}

// Two runs find a stale guard and a stale lock, and both look at the guard
// before either acts. The first is held where it would remove the stale
// lock, under the guard, while the second goes on; then both go. Whoever
// holds the port finds its own lock file under the lock name at every
// look, and the two hold it one after the other.
TEST_F(Lock, RacersFacingAStaleGuard)
{
    write_file(dir / "LGUARD..ttyUSB8", "");
    fs::last_write_time(dir / "LGUARD..ttyUSB8", fs::file_time_type::clock::now() - 10s);
    write_file(lock_of("ttyUSB8"), pid_text(dead_pid()));
    int events[2];
    int go[2][2];
    ASSERT_EQ(pipe(events), 0);
    ASSERT_TRUE(pipe(go[0]) == 0 && pipe(go[1]) == 0);
    pid_t racers[2];
    for (int i = 0; i < 2; ++i) {
        racers[i] = fork();
        if (racers[i] != 0)
            continue;
        const char name = static_cast<char>('A' + i);
        g_racer = {name, events[1], go[i][0], false};
        g_look_hook = pause_racer;
        HeldLock held;
        if (!take_lock(dir.c_str(), "/dev/ttyUSB8", kFaultWaitSeconds, held))
            _exit(1);
        bool kept = write(events[1], (std::string{name} + "h").data(), 2) == 2;
        for (int look = 0; look < 100; ++look) {  // at work for 0.5 s
            struct stat ours {};
            struct stat named {};
            kept = kept && fstat(held.fd, &ours) == 0 && lstat(held.path.data(), &named) == 0 &&
                   same_file(ours, named);
            refresh_lock();
            std::this_thread::sleep_for(5ms);
        }
        kept = write(events[1], (std::string{name} + "r").data(), 2) == 2 && kept;
        unlock_device(held);
        _exit(kept ? 0 : 2);
    }
    close(events[1]);
    const auto next = [&] {  // the next event, "??" at the end or after 10 s without one
        pollfd ready = {events[0], POLLIN, 0};
        char event[2] = {};
        const bool got = poll(&ready, 1, 10'000) == 1 && read(events[0], event, 2) == 2;
        return got ? std::string(event, 2) : std::string("??");
    };
    const auto tell = [&](char racer, char what) { return write(go[racer == 'B'][1], &what, 1); };
    const std::string first = next();
    const std::string second = next();
    EXPECT_EQ(first.substr(1) + second.substr(1), "gg") << "both looked at the stale guard";
    const char x = first[0];
    const char y = second[0];
    tell(x, 'G');
    EXPECT_EQ(next(), std::string{x} + "l") << "the first under the guard, at the stale lock";
    tell(y, 'G');
    const std::string meanwhile = next();  // the second, turned away or let through
    tell(x, 'F');
    EXPECT_EQ(next(), std::string{x} + "h");
    tell('A', 'F');  // both, whatever came: no racer is left waiting
    tell('B', 'F');
    std::string rest;
    for (std::string event = next(); event != "??"; event = next())
        rest += event;
    EXPECT_EQ(rest, std::string{x} + "r" + y + "h" + y + "r") << "one after the other";
    for (const pid_t racer : racers) {
        int status = 0;
        waitpid(racer, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "a holder found its lock file gone or replaced (" << meanwhile << ")";
    }
    for (const int fd : {events[0], go[0][0], go[0][1], go[1][0], go[1][1]})
        close(fd);
    EXPECT_TRUE(entries().empty()) << "no guard, claim or lock left";
}

// A fake waiter's ticket, flocked and touched for ever, costs the free
// port its 2 s of deference, which do not count against the 1 s wait for a
// lock that went away; and twenty looks at the queue leak no descriptor.
TEST_F(Lock, FakeTicketCostsItsDeferenceOnly)
{
    write_file(lock_of("ttyUSB8"), pid_text(1));  // init's: alive, never refreshed
    const int fake =
        open((dir / "LWAIT..ttyUSB8.0000000000000001").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(fake, LOCK_EX), 0);
    std::atomic<bool> done{false};
    std::thread toucher([&] {
        for (int step = 0; !done; ++step, std::this_thread::sleep_for(100ms)) {
            futimens(fake, nullptr);
            if (step == 6)
                fs::remove(lock_of("ttyUSB8"));
        }
    });
    const auto start = Clock::now();
    const auto before = std::distance(fs::directory_iterator("/proc/self/fd"), {});
    HeldLock held;
    EXPECT_TRUE(take_lock(dir.c_str(), "/dev/ttyUSB8", 1, held));
    EXPECT_GT(seconds_since(start), 0.6 + 2.0 - kGrain);  // the lock gone, then 20 passes
    EXPECT_EQ(std::distance(fs::directory_iterator("/proc/self/fd"), {}), before + 1)
        << "only the lock's descriptor is new";
    done = true;
    toucher.join();
    unlock_device(held);
    close(fake);
}

// Whatever stands under the lock name, the attempt ends at once: what is
// not a lock file goes, even a FIFO someone feeds blanks, and a directory
// fails. A planted temporary name is no obstacle.
TEST_F(Lock, NotALockFile)
{
    const fs::path lock = lock_of("ttyUSB8");
    const fs::path guard = dir / "LGUARD..ttyUSB8";
    for (const std::string what :
         {"FIFO", "dangling symlink", "directory", "planted LTMP", "guard left as a directory",
          "guard from the future", "empty lock from the future"}) {
        SCOPED_TRACE(what);
        int fifo = -1;
        if (what == "FIFO" && mkfifo(lock.c_str(), 0666) == 0) {
            fifo = open(lock.c_str(), O_RDWR | O_NONBLOCK);
            ASSERT_GT(write(fifo, std::string(4096, ' ').data(), 4096), 0);
        }
        if (what == "dangling symlink")
            fs::create_symlink("/nonexistent", lock);
        if (what == "directory")
            fs::create_directory(lock);
        if (what == "planted LTMP")
            fs::create_directory(dir / ("LTMP." + std::to_string(getpid())));
        if (what == "guard left as a directory") {  // stale: not to be waited for
            fs::create_directory(guard);
            fs::last_write_time(guard, fs::file_time_type::clock::now() - 10s);
        }
        if (what ==
            "guard from the future") {  // a clock stepped back: stale, not fresh for an hour
            write_file(guard, "");
            fs::last_write_time(guard, fs::file_time_type::clock::now() + 1h);
        }
        if (what == "empty lock from the future") {  // not one being written for an hour
            write_file(lock, "");
            fs::last_write_time(lock, fs::file_time_type::clock::now() + 1h);
        }
        const auto start = Clock::now();
        HeldLock held;
        PortNote why{};
        const bool taken =
            lock_device(dir.c_str(), "/dev/ttyUSB8", kFaultWaitSeconds, held, why) == Locked::taken;
        EXPECT_EQ(taken, what != "directory" && what != "guard left as a directory");
        if (what == "guard left as a directory") {
            EXPECT_EQ(std::string(why.data()), "No modem port: cannot remove stale guard " +
                                                   guard.string() + ": Is a directory");
        }
        EXPECT_LT(seconds_since(start), kLoad);
        unlock_device(held);
        close(fifo);
        fs::remove_all(lock);
        fs::remove_all(guard);
    }
}

TEST(Liveness, Pids)
{
    EXPECT_FALSE(process_alive(0));
    EXPECT_FALSE(process_alive(-1));
    EXPECT_FALSE(process_alive(dead_pid()));
    EXPECT_TRUE(process_alive(getpid()));
    EXPECT_TRUE(process_alive(1));
}

TEST(LockPath, Names)
{
    // A lock name that does not fit is a failure, and says so.
    const std::string long_dir = "/tmp/" + std::string(60, 'd');
    HeldLock held;
    PortNote why{};
    EXPECT_EQ(lock_device(long_dir.c_str(), "/dev/ttyS2", 1, held, why), Locked::failed);
    EXPECT_EQ(std::string(why.data()),
              "No modem port: cannot create " + long_dir + ": File name too long");

    std::array<char, kLockPathSize> out{};
    ASSERT_TRUE(lock_path("/var/lock", "/dev/ttyUSB8", out));
    EXPECT_STREQ(out.data(), "/var/lock/LCK..ttyUSB8");
    ASSERT_TRUE(lock_path("/var/lock", "/dev/ttyS2", out));
    EXPECT_STREQ(out.data(), "/var/lock/LCK..ttyS2");
    EXPECT_FALSE(lock_path(std::string(60, 'd').c_str(), "/dev/ttyS2", out)) << "too long";
}

TEST_F(Modem, FirstDeviceAndLineSettings)
{
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    termios left{};  // what another program left: reads wake only for 64 bytes
    ASSERT_EQ(tcgetattr(pty.slave, &left), 0);
    left.c_cc[VMIN] = 64;
    left.c_cc[VTIME] = 5;
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &left), 0);
    const std::array<const char *, 2> devices = {pty.path.c_str(), "/nonexistent/ttyS2"};
    ModemPort port = open_port({devices, dir.c_str(), 1});
    ASSERT_GE(port.fd, 0);
    EXPECT_EQ(port.device, devices[0]) << "named to --check";
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u) << "8N1, no hardware flow control";
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 1) << "a single byte wakes poll()";
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_NE(fcntl(port.fd, F_GETFL) & O_NONBLOCK, 0);
    const std::string name = fs::path(pty.path).filename();
    EXPECT_EQ(entries(), std::vector<std::string>{"LCK.." + name});
    close_modem(port);
    EXPECT_TRUE(entries().empty()) << "the lock goes with the port";
}

TEST_F(Modem, OnlyATerminalIsAModem)
{
    Pty pty;
    write_file(dir / "stray", "left by a script\n");
    const std::string stray = (dir / "stray").string();
    const char *unplugged =
        "/nonexistent/by-id/usb-Quectel_Incorporated_LTE_Module_1a2b-if02-port0";
    for (const char *first : {"/nonexistent/ttyUSB8", stray.c_str(), "/dev/null", unplugged}) {
        SCOPED_TRACE(first);
        const std::array<const char *, 2> devices = {first, pty.path.c_str()};
        ModemPort port = open_port({devices, dir.c_str(), 1});
        ASSERT_GE(port.fd, 0);
        EXPECT_EQ(entries().size(), 2u) << "first lock removed, only the pty's and the stray";
        close_modem(port);
    }
    EXPECT_EQ(read_file(dir / "stray"), "left by a script\n");
}

TEST_F(Modem, LinkIsLockedUnderItsDevice)
{
    Pty pty;
    fs::create_symlink(pty.path, dir / "by-id-modem");
    const std::string link = (dir / "by-id-modem").string();
    const std::array<const char *, 1> devices = {link.c_str()};
    ModemPort port = open_port({devices, dir.c_str(), 1});
    ASSERT_GE(port.fd, 0);
    EXPECT_TRUE(fs::exists(lock_of(fs::path(pty.path).filename().c_str())));
    close_modem(port);
}

TEST_F(Modem, NoDeviceLeavesNoLock)
{
    const std::array<const char *, 2> devices = {"/nonexistent/ttyUSB8", "/nonexistent/ttyS2"};
    EXPECT_EQ(open_port({devices, dir.c_str(), 1}).fd, -1);
    EXPECT_TRUE(entries().empty());
}

TEST_F(Modem, BusyFirstDeviceIsNotPassedOver)
{
    Pty pty;
    write_file(lock_of("ttyUSB8"), pid_text(1));
    const std::array<const char *, 2> devices = {"/nonexistent/ttyUSB8", pty.path.c_str()};
    EXPECT_EQ(open_port({devices, dir.c_str(), 0}).fd, -1);
    EXPECT_EQ(entries(), std::vector<std::string>{"LCK..ttyUSB8"});
}

TEST_F(Modem, PortHeldByAnotherProgramIsWaitedForThenGivenUp)
{
    Pty pty;
    const int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY);  // as picocom holds it: no LCK..
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    const std::array<const char *, 1> devices = {pty.path.c_str()};
    ModemPort port;
    PortNote note{};
    const auto start = Clock::now();
    EXPECT_EQ(open_modem({devices, dir.c_str(), 1}, port, note), Taken::busy);
    EXPECT_GE(seconds_since(start), 1.0 - kGrain) << "waited in turn";
    EXPECT_EQ(std::string(note.data()),
              "No modem port: " + pty.path + " in use by another program");
    EXPECT_TRUE(entries().empty());
    close(other);
    port = open_port({devices, dir.c_str(), 1});
    ASSERT_GE(port.fd, 0);
    EXPECT_TRUE(flocked(pty.path));
    close_modem(port);
    EXPECT_FALSE(flocked(pty.path)) << "the flock goes with the port";
}

// A rival run at work on `device` (a sign of life every 50 ms) from the
// return of hold() until let_go().
struct Holder {
    pid_t pid;
    int go;
};

Holder hold(const fs::path &dir, const std::string &device)
{
    int taken[2];
    int go[2];
    EXPECT_TRUE(pipe(taken) == 0 && pipe(go) == 0);
    const pid_t pid = fork();
    if (pid == 0) {
        close(go[1]);
        HeldLock held;
        pollfd told = {go[0], POLLIN, 0};
        if (!take_lock(dir.c_str(), device.c_str(), 1, held) || write(taken[1], "t", 1) != 1)
            _exit(1);
        while (poll(&told, 1, 50) == 0)
            refresh_lock();
        unlock_device(held);
        _exit(0);
    }
    char byte = 0;
    EXPECT_EQ(read(taken[0], &byte, 1), 1) << device << " held";
    for (const int fd : {taken[0], taken[1], go[0]})
        close(fd);
    return {pid, go[1]};
}

void let_go(const Holder &holder)
{
    EXPECT_EQ(write(holder.go, "g", 1), 1);
    close(holder.go);
    waitpid(holder.pid, nullptr, 0);
}

// Separate modems: a busy one is passed over at once, and while all are
// busy the first to free is taken, here the second, 2.5 s on, while the
// first one's holder keeps at work. Sitting out a busy modem would take 3 s
// (the whole wait, 6 s, for one at work), and a look at each in turn that
// lasts a second would be back at the first by then.
TEST_F(Modem, PoolTakesWhicheverIsFree)
{
    Pty first, second;
    const std::array<const char *, 2> devices = {first.path.c_str(), second.path.c_str()};
    const ModemPorts ports = {devices, dir.c_str(), kFaultWaitSeconds, 2 * kFaultWaitSeconds};
    const std::array<bool, 2> passed{};
    const Holder on_first = hold(dir, first.path);
    ModemPort port;
    PortNote note{};
    auto start = Clock::now();
    EXPECT_EQ(open_pool(ports, passed, port, note), Taken::open);
    EXPECT_LT(seconds_since(start), kLoad) << "the busy first passed over";
    EXPECT_EQ(port.device, devices[1]);
    close_modem(port);
    const Holder on_second = hold(dir, second.path);
    std::thread freeing([&] {
        std::this_thread::sleep_for(2500ms);
        let_go(on_second);
    });
    start = Clock::now();
    EXPECT_EQ(open_pool(ports, passed, port, note), Taken::open) << note.data();
    const double waited = seconds_since(start);
    freeing.join();
    EXPECT_GT(waited, 2.5 - kGrain) << "both busy";
    EXPECT_LT(waited, 2.5 + kLoad) << "the second taken as it freed";
    EXPECT_EQ(port.device, devices[1]);
    close_modem(port);
    let_go(on_first);
    EXPECT_TRUE(entries().empty()) << "no lock and no ticket left";
}

}  // namespace
