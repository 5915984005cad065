// LZR decoding throughput in output bytes per second, beside a memcpy of the
// same output bytes as the baseline, on two kinds of content:
// - image-like: flat areas, gradients and a little noise, as in the game's
//   indexed images (mostly fills and back-references);
// - random-ish: low-entropy noise with few repeats (mostly literals).
// Both are encoded once with the fixture encoder, which uses all four
// operations.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "ossory/lzr.h"
#include "tools/lzr_encoder.h"

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
    const std::vector<std::uint8_t> file = lzr_encode(plain);
    LzrHeader header;
    std::string err;
    if (!parse_lzr_header(file, "bench", &header, &err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    const ByteSpan control = ByteSpan(file).subspan(LZR_HEADER_SIZE, header.control_size());
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
BENCHMARK_MAIN();
