// The content hash over a buffer of a few MB, against libsodium's BLAKE2b
// called directly: the cost of the crypto layer and the hex text on top.
#include "update/hex.h"

#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdint>
#include <vector>

namespace {

const std::vector<std::uint8_t>& buffer(std::size_t size) {
    static std::vector<std::uint8_t> bytes;
    if (bytes.size() != size) {
        bytes.resize(size);
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return bytes;
}

void hashHexBench(benchmark::State& state) {
    const auto& bytes = buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(qv::launcher::hashHex(bytes.data(), bytes.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}

void sodiumBench(benchmark::State& state) {
    if (sodium_init() < 0) state.SkipWithError("libsodium did not start");
    const auto& bytes = buffer(static_cast<std::size_t>(state.range(0)));
    std::uint8_t digest[32];
    for (auto _ : state) {
        crypto_generichash_blake2b(digest, sizeof digest, bytes.data(), bytes.size(), nullptr, 0);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(bytes.size()));
}

} // namespace

BENCHMARK(hashHexBench)->Arg(4 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(sodiumBench)->Arg(4 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
