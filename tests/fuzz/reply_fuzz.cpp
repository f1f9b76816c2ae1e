// Fuzzes at_command's reply gathering: a peer hands over an arbitrary byte
// string in arbitrary chunks; the reply must stay within its buffer, end in
// a NUL, and hold exactly the first bytes that arrived.
//
// Input: byte 0 seeds the chunk sizes, the rest is what the modem says.
// Each chunk is written only once the previous one has been read, and the
// line is closed after the last, so the outcome does not depend on timing.
#include "sender.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

constexpr std::array<std::size_t, 8> kChunkSizes = {1, 2, 3, 7, 128, 4096, 8191, 20000};
constexpr int kPipeSize = 1 << 20;

void feed(int fd, const std::uint8_t *data, std::size_t size, unsigned seed,
          const std::atomic<bool> &reader_done)
{
    std::minstd_rand rng(seed);
    std::size_t sent = 0;
    while (sent < size) {
        int queued = 0;
        while (!reader_done && ioctl(fd, FIONREAD, &queued) == 0 && queued > 0)
            std::this_thread::yield();
        if (reader_done)
            break;
        const std::size_t chunk = std::min(kChunkSizes[rng() % kChunkSizes.size()], size - sent);
        const ssize_t n = write(fd, data + sent, chunk);
        if (n <= 0)
            break;
        sent += static_cast<std::size_t>(n);
    }
    close(fd);  // the reader sees the end of the line at once
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned seed = data[0] + 1U;
    ++data;
    --size;
    int line[2];
    check(pipe(line) == 0);
    fcntl(line[1], F_SETPIPE_SZ, kPipeSize);
    fcntl(line[0], F_SETFL, O_NONBLOCK);
    std::atomic<bool> reader_done{false};
    std::thread peer(feed, line[1], data, size, seed, std::cref(reader_done));

    // The command goes to the read end of the pipe and is lost: only the
    // gathering is under test.
    const char *reply = at_command(line[0], "AT\r", 1);
    reader_done = true;
    peer.join();
    close(line[0]);

    check(reply[kReplyBufferSize - 1] == '\0');
    const std::size_t kept = std::min(size, kReplyBufferSize - 1);
    check(std::memcmp(reply, data, kept) == 0);
    for (std::size_t i = kept; i < kReplyBufferSize; ++i)
        check(reply[i] == '\0');
    return 0;
}
