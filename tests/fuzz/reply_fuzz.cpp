// Fuzzes at_command's reply gathering: a peer hands over an arbitrary byte
// string in arbitrary chunks; the reply must stay within its buffer, end in
// a NUL, and hold exactly the first bytes that arrived, NULs left out, all
// of them that fit unless an answer came first; and the verdict on
// the bytes must not depend on how they were cut into chunks.
//
// Input: byte 0 seeds the chunk sizes, the rest is what the modem says.
// Each chunk is written only once the previous one has been read, and the
// line is closed after the last, so the outcome does not depend on timing.
#include "at.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

constexpr std::array<std::size_t, 8> kChunkSizes = {1, 2, 3, 7, 128, 4096, 8191, 20000};

// Takes the reader's command from `fd`, then writes `data` in chunks, each
// once the reader (on `reader_fd`) has taken the one before.
void feed(int fd, int reader_fd, const std::uint8_t *data, std::size_t size, unsigned seed,
          const std::atomic<bool> &reader_done)
{
    // Answer only once the command is in, as a modem would.
    std::array<char, 3> command{};
    if (recv(fd, command.data(), command.size(), MSG_WAITALL) != 3)
        std::abort();
    std::minstd_rand rng(seed);
    std::size_t sent = 0;
    while (sent < size) {
        int queued = 0;
        while (!reader_done && ioctl(reader_fd, FIONREAD, &queued) == 0 && queued > 0)
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
    // A stream socket stands in for the serial line: the command must be
    // written before anything is gathered.
    start_line();  // each input is a port of its own
    int line[2];
    check(socketpair(AF_UNIX, SOCK_STREAM, 0, line) == 0);
    fcntl(line[0], F_SETFL, O_NONBLOCK);
    std::atomic<bool> reader_done{false};
    std::thread peer(feed, line[1], line[0], data, size, seed, std::cref(reader_done));

    // The peer closes the line after its last chunk, so the exchange ends
    // on that or on an answer: waits long enough that a busy machine
    // stalling the peer never ends it first.
    const Reply got = at_command(line[0], "AT\r", {Awaited::ok, 60, 120});
    const char *reply = got.text;
    reader_done = true;
    peer.join();
    close(line[0]);

    // The bytes but NULs, up to the answer, or all that fit while there is none.
    check(reply[kReplyBufferSize - 1] == '\0');
    std::string sent(reinterpret_cast<const char *>(data), size);
    std::erase(sent, '\0');
    const std::size_t kept = std::min(sent.size(), kReplyBufferSize - 1);
    std::size_t same = 0;
    while (same < kept && reply[same] == sent[same])
        ++same;
    check(same == kept || got.verdict != Verdict::none);
    for (std::size_t i = same; i < kReplyBufferSize; ++i)
        check(reply[i] == '\0');

    // Final results are told the same however the bytes are cut up.
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    for (const Awaited awaited : {Awaited::ok, Awaited::prompt}) {
        start_line();
        LineScanner whole{awaited};
        scan_reply(whole, bytes);
        start_line();  // from where the whole scan started, not where it stopped
        LineScanner cut{awaited};
        std::minstd_rand rng(seed);
        for (std::size_t at = 0; at < size;) {
            const std::size_t n = std::min<std::size_t>(rng() % 9 + 1, size - at);
            scan_reply(cut, bytes.substr(at, n));
            at += n;
        }
        check(whole.verdict == cut.verdict);
    }
    return 0;
}
