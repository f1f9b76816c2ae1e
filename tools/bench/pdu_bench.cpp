// Encoding cost of one recipient's message: build_pdus plus the hex text of
// every part, for texts around the segmentation boundaries.
#include "delivery.h"
#include "pdu.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

void BM_BuildAndHex(benchmark::State &state)
{
    const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
    PduList list;
    std::array<char, kHexBufferSize> hex{};
    while (state.KeepRunning()) {
        const unsigned count = build_pdus("+15555550123", {Alphabet::raw, text}, list, 0);
        for (unsigned k = 0; k < count; ++k)
            benchmark::DoNotOptimize(
                hex_encode(std::span(list[k].octets).first(list[k].length), hex));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_BuildAndHex)->Arg(5)->Arg(160)->Arg(161)->Arg(400)->Arg(1530);

// The same with -u: checking and coding the UTF-8 text first. 500 bytes of
// German (GSM alphabet: 400 characters, 3 parts) or Russian (UCS-2: 300
// characters, 5 parts).
void BM_Utf8BuildAndHex(benchmark::State &state)
{
    const std::string word = state.range(0) == 0 ? "T\xC3\xBCr " : "\xD0\x94\xD0\xB0 ";
    std::string text;
    while (text.size() < 500)
        text += word;
    std::array<char, kMaxTextBytes> coded{};
    PduList list;
    std::array<char, kHexBufferSize> hex{};
    while (state.KeepRunning()) {
        const UserText sent = sent_text(convert_utf8(text, coded).text);
        const unsigned count = build_pdus("+15555550123", sent, list, 0);
        for (unsigned k = 0; k < count; ++k)
            benchmark::DoNotOptimize(
                hex_encode(std::span(list[k].octets).first(list[k].length), hex));
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_Utf8BuildAndHex)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
