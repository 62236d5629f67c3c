// Throughput of the launcher's inflater against zlib's own uncompress, on the same streams in the
// same run: a few megabytes of text-like and binary content compressed by zlib at levels 1, 6
// and 9. Prints Google Benchmark's usual table, then the medians in MB/s of output and the ratio.
//   inflate_bench [--benchmark_repetitions=N] [other Google Benchmark flags]

#include "update/inflate.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Words of skewed frequency with punctuation and line breaks, like logs, scripts and configs.
Bytes textContent(size_t size) {
    static const char* const kWords[] = {
        "the",     "of",       "and",      "to",        "in",       "a",       "is",
        "that",    "for",      "it",       "as",        "with",     "was",     "on",
        "player",  "level",    "launcher", "update",    "server",   "texture", "shader",
        "monster", "quest",    "sword",    "health",    "damage",   "armour",  "inventory",
        "spawn",   "dialogue", "corridor", "lantern",   "northern", "village", "merchant",
        "gold",    "silver",   "ancient",  "forgotten", "keep"};
    constexpr size_t kCount = sizeof kWords / sizeof kWords[0];
    std::mt19937 random(7);
    std::geometric_distribution<size_t> pick(0.12);
    Bytes out;
    out.reserve(size + 32);
    size_t lineLength = 0;
    while (out.size() < size) {
        const std::string word = kWords[pick(random) % kCount];
        out.insert(out.end(), word.begin(), word.end());
        lineLength += word.size() + 1;
        const unsigned r = random() % 100;
        if (r < 4)
            out.push_back(',');
        else if (r < 7)
            out.push_back('.');
        if (lineLength > 60 + random() % 20) {
            out.push_back('\n');
            lineLength = 0;
        } else {
            out.push_back(' ');
        }
    }
    out.resize(size);
    return out;
}

// Game-asset-like records: counters, slowly changing coordinates, flags, and a share of noise.
Bytes binaryContent(size_t size) {
    std::mt19937 random(11);
    Bytes out;
    out.reserve(size + 64);
    uint32_t id = 1000;
    int32_t x = 0, y = 0;
    while (out.size() < size) {
        auto put32 = [&](uint32_t v) {
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<uint8_t>(v >> (8 * i)));
        };
        put32(id++);
        x += static_cast<int32_t>(random() % 17) - 8;
        y += static_cast<int32_t>(random() % 9) - 4;
        put32(static_cast<uint32_t>(x));
        put32(static_cast<uint32_t>(y));
        put32(random() % 4 == 0 ? 0x3F800000u : 0u);
        const int noise = static_cast<int>(random() % 12);
        for (int i = 0; i < noise; ++i)
            out.push_back(static_cast<uint8_t>(random()));
        out.insert(out.end(), 4, 0);
    }
    out.resize(size);
    return out;
}

Bytes compress(const Bytes& content, int level) {
    uLongf length = compressBound(content.size());
    Bytes stream(length);
    if (compress2(stream.data(), &length, content.data(), content.size(), level) != Z_OK) {
        std::fprintf(stderr, "compress2 failed\n");
        std::exit(1);
    }
    stream.resize(length);
    return stream;
}

void ours(benchmark::State& state, const Bytes* stream, size_t size) {
    Bytes out;
    for (auto _ : state) {
        if (!qv::launcher::inflateZlib(stream->data(), stream->size(), size, out)) {
            state.SkipWithError("inflateZlib refused a zlib stream");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void zlibs(benchmark::State& state, const Bytes* stream, size_t size) {
    Bytes out(size);
    for (auto _ : state) {
        uLongf length = size;
        if (uncompress(out.data(), &length, stream->data(), stream->size()) != Z_OK) {
            state.SkipWithError("uncompress failed");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

// Keeps Google Benchmark's console output and collects the median rates for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool single = run.repetitions <= 1 && run.run_type == Run::RT_Iteration;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            auto rate = run.counters.find("bytes_per_second");
            if ((single || median) && rate != run.counters.end())
                medians[run.run_name.function_name] = rate->second.value / 1e6;
        }
    }
    std::map<std::string, double> medians;
};

} // namespace

int main(int argc, char** argv) {
    struct Case {
        std::string name;
        Bytes content;
    };
    const std::vector<Case> contents = {{"text", textContent(4 << 20)},
                                        {"binary", binaryContent(4 << 20)}};
    std::vector<std::string> labels;
    std::vector<Bytes> streams;
    streams.reserve(contents.size() * 3); // the benchmarks keep pointers into it
    for (const Case& c : contents) {
        for (int level : {1, 6, 9}) {
            streams.push_back(compress(c.content, level));
            const std::string label = c.name + "/" + std::to_string(level);
            labels.push_back(label);
            const size_t size = c.content.size();
            benchmark::RegisterBenchmark(("inflateZlib/" + label).c_str(), ours, &streams.back(),
                                         size)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5);
            benchmark::RegisterBenchmark(("uncompress/" + label).c_str(), zlibs, &streams.back(),
                                         size)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.5);
        }
    }

    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\n%-10s %10s %12s %12s %8s\n", "content", "compressed", "ours MB/s", "zlib MB/s",
                "ratio");
    for (size_t i = 0; i < labels.size(); ++i) {
        const auto a = reporter.medians.find("inflateZlib/" + labels[i]);
        const auto b = reporter.medians.find("uncompress/" + labels[i]);
        if (a == reporter.medians.end() || b == reporter.medians.end()) continue;
        std::printf("%-10s %10zu %12.1f %12.1f %8.3f\n", labels[i].c_str(), streams[i].size(),
                    a->second, b->second, a->second / b->second);
    }
    return 0;
}
