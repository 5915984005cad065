// Decoder throughput on image-like content, beside a plain memcpy of the same
// output size as the upper bound. Both report bytes of output per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "ossory/lzr.h"
#include "tools/lzr_encoder.h"

namespace {

constexpr std::size_t OUTPUT_SIZE = 4 << 20;

// Flat areas, gradients and some noise, as in the game's indexed images.
std::vector<std::uint8_t> content() {
    std::mt19937 rng(1);
    std::vector<std::uint8_t> b(OUTPUT_SIZE);
    for (std::size_t i = 0; i < b.size(); ++i) {
        const std::size_t x = i % 256;
        b[i] = static_cast<std::uint8_t>(x < 100 ? i / 65536 : x < 200 ? x / 8 : rng() % 16);
    }
    return b;
}

void BM_LzrDecode(benchmark::State& state) {
    const std::vector<std::uint8_t> file = lzr_encode(content());
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
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
    state.counters["ratio"] = static_cast<double>(file.size()) / static_cast<double>(out.size());
}

void BM_MemcpyBaseline(benchmark::State& state) {
    const std::vector<std::uint8_t> in = content();
    std::vector<std::uint8_t> out(in.size());
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}

void BM_LzrEncode(benchmark::State& state) {
    const std::vector<std::uint8_t> in = content();
    for (auto _ : state) {
        benchmark::DoNotOptimize(lzr_encode(in).size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

}  // namespace

BENCHMARK(BM_LzrDecode);
BENCHMARK(BM_MemcpyBaseline);
BENCHMARK(BM_LzrEncode);
BENCHMARK_MAIN();
