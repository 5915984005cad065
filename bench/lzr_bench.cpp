// LZR decoding throughput in output bytes per second, beside a memcpy of the
// same output bytes as the baseline; and LZR encoding throughput in input
// bytes per second, the suite's optimal encoder beside the greedy one, with
// the size each makes. On these kinds of content:
// - image-like: flat areas, gradients and a little noise, as in the game's
//   indexed images (mostly fills and back-references);
// - random-ish: low-entropy noise with few repeats (mostly literals);
// - text (encoding only): words of a small vocabulary, as in a script.
// Decoding runs on files made by the suite's encoder, which uses all four
// operations.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "ossory/lzr.h"
#include "ossory/lzr_encoder.h"
#include "testing/lzr_greedy.h"

namespace {

constexpr std::size_t OUTPUT_SIZE = 4 << 20;

std::vector<std::uint8_t> image_like() {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> b(OUTPUT_SIZE);
    for (std::size_t i = 0; i < b.size(); ++i) {
        const std::size_t x = i % 256;
        b[i] = static_cast<std::uint8_t>(x < 100 ? i / 65536 : x < 200 ? x / 8 : rng() % 16);
    }
    return b;
}

std::vector<std::uint8_t> random_ish() {
    std::mt19937 rng(2);
    std::vector<std::uint8_t> b(OUTPUT_SIZE);
    for (auto& byte : b) {
        byte = static_cast<std::uint8_t>(rng() % 64);
    }
    return b;
}

void BM_LzrDecode(benchmark::State& state, std::vector<std::uint8_t> (*content)()) {
    const std::vector<std::uint8_t> plain = content();
    std::vector<std::uint8_t> file;
    LzrHeader header;
    std::string err;
    if (!lzr_compress(plain, 0, &file, &err) || !parse_lzr_header(file, "bench", &header, &err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    const ByteSpan control =
        ByteSpan(file).subspan(LZR_HEADER_SIZE, static_cast<std::size_t>(header.control_size()));
    const ByteSpan operands = ByteSpan(file).subspan(header.operand_offset(), header.operand_size);
    std::vector<std::uint8_t> out(header.output_size);
    for (auto _ : state) {
        const LzrDecodeResult r = lzr_decode(out, operands, control);
        benchmark::DoNotOptimize(r.end);
        benchmark::ClobberMemory();
    }
    if (out != plain) {
        state.SkipWithError("decoded bytes differ from the encoded content");
        return;
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
    state.counters["file/output"] =
        static_cast<double>(file.size()) / static_cast<double>(out.size());
}

std::vector<std::uint8_t> text() {
    static const char* const words[] = {"the ",   "sword ", "of ",   "Karo ",  "lies ",  "beyond ",
                                        "river ", "north ", "gate ", "speak ", "to ",    "elder.\n",
                                        "... ",   "Yes! ",  "no ",   "again ", "night ", "fire "};
    std::mt19937 rng(3);
    std::vector<std::uint8_t> b;
    while (b.size() < OUTPUT_SIZE) {
        const char* w = words[rng() % (sizeof words / sizeof words[0])];
        b.insert(b.end(), w, w + std::strlen(w));
    }
    b.resize(OUTPUT_SIZE);
    return b;
}

void BM_LzrCompress(benchmark::State& state, std::vector<std::uint8_t> (*content)()) {
    const std::vector<std::uint8_t> plain = content();
    std::vector<std::uint8_t> file;
    std::string err;
    for (auto _ : state) {
        if (!lzr_compress(plain, 0, &file, &err)) {
            state.SkipWithError(err.c_str());
            return;
        }
        benchmark::DoNotOptimize(file.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
    state.counters["file/input"] =
        static_cast<double>(file.size()) / static_cast<double>(plain.size());
}

void BM_LzrGreedy(benchmark::State& state, std::vector<std::uint8_t> (*content)()) {
    const std::vector<std::uint8_t> plain = content();
    std::vector<std::uint8_t> file;
    for (auto _ : state) {
        file = lzr_encode_greedy(plain);
        benchmark::DoNotOptimize(file.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * plain.size()));
    state.counters["file/input"] =
        static_cast<double>(file.size()) / static_cast<double>(plain.size());
}

void BM_Memcpy(benchmark::State& state, std::vector<std::uint8_t> (*content)()) {
    const std::vector<std::uint8_t> in = content();
    std::vector<std::uint8_t> out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}

}  // namespace

BENCHMARK_CAPTURE(BM_LzrDecode, image_like, image_like);
BENCHMARK_CAPTURE(BM_Memcpy, image_like, image_like);
BENCHMARK_CAPTURE(BM_LzrDecode, random_ish, random_ish);
BENCHMARK_CAPTURE(BM_Memcpy, random_ish, random_ish);
BENCHMARK_CAPTURE(BM_LzrCompress, image_like, image_like)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzrGreedy, image_like, image_like)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzrCompress, text, text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzrGreedy, text, text)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzrCompress, random_ish, random_ish)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LzrGreedy, random_ish, random_ish)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
