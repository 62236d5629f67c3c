// Throughput of the launcher's inflater against its two peers, on the same streams in the same
// run: zlib's bit-serial decoder puff (when the build found it) and zlib's own uncompress, the
// ceiling. Text, an executable, already compressed data and highly repetitive data, 64 KiB and
// 8 MiB of each, compressed by zlib at levels 1, 6 and 9. Prints Google Benchmark's usual
// table, then the medians in MB/s of output and the ratios.
//   inflate_bench [--benchmark_repetitions=N] [other Google Benchmark flags]

#include "update/inflate.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#ifdef CORVANTHE_BENCH_PUFF
extern "C" {
#include "puff.h"
}
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
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

// Executable code and data: the benchmark's own program file, taken from a third of the way in
// and repeated when it is shorter than the size (a repeat lies further back than any deflate
// distance, so it compresses like the first pass). Falls back to the records above.
Bytes executableContent(size_t size, const char* path) {
    Bytes file;
    if (std::FILE* f = std::fopen(path, "rb")) {
        uint8_t buffer[1 << 16];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            file.insert(file.end(), buffer, buffer + n);
        std::fclose(f);
    }
    if (file.size() < (size_t{1} << 17)) return binaryContent(size);
    Bytes out;
    out.reserve(size);
    size_t from = file.size() / 3;
    while (out.size() < size) {
        const size_t n = std::min(size - out.size(), file.size() - from);
        out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(from),
                   file.begin() + static_cast<std::ptrdiff_t>(from + n));
        from = 0;
    }
    return out;
}

// Long runs of short patterns with the odd stray byte, like sparse tables, padding and images
// with flat areas: almost all of it becomes long copies at short distances.
Bytes repetitiveContent(size_t size) {
    std::mt19937 random(13);
    Bytes out;
    out.reserve(size + (1 << 15));
    while (out.size() < size) {
        uint8_t pattern[8];
        const size_t period = 1 + random() % 8;
        for (size_t i = 0; i < period; ++i)
            pattern[i] = static_cast<uint8_t>(random() % 4 == 0 ? 0 : random());
        const size_t run = 256 + random() % (1 << 14);
        for (size_t i = 0; i < run; ++i)
            out.push_back(pattern[i % period]);
        for (unsigned stray = random() % 4; stray > 0; --stray)
            out.push_back(static_cast<uint8_t>(random()));
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

// GPU-compressed texture blocks (BC1): two RGB565 end colours of a smooth picture with noise,
// then sixteen 2-bit indices, a quarter of the blocks flat.
Bytes textureBlocks(size_t size) {
    std::mt19937 random(17);
    Bytes out;
    out.reserve(size + 8);
    for (uint32_t block = 0; out.size() < size; ++block) {
        const uint32_t x = block % 256, y = block / 256 % 256;
        const uint32_t r = (x * 31 / 255 + random() % 3) & 31;
        const uint32_t g = ((x + y) % 256 * 63 / 255 + random() % 4) & 63;
        const uint32_t b = (y * 31 / 255 + random() % 3) & 31;
        const uint32_t c0 = r << 11 | g << 5 | b;
        const uint32_t c1 = c0 - std::min<uint32_t>(c0, random() % 301);
        const uint32_t indices = random() % 4 == 0 ? 0 : random();
        for (uint32_t v : {c0 | c1 << 16, indices})
            for (int i = 0; i < 4; ++i)
                out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    out.resize(size);
    return out;
}

// Data that was compressed before it was packed, like an archive of assets: 16 KiB pieces,
// alternately a zlib stream of text or records and GPU-compressed texture blocks, none repeated.
Bytes compressedContent(size_t size) {
    constexpr size_t kPiece = 1 << 14;
    const Bytes text = textContent(2 * size + kPiece), records = binaryContent(2 * size + kPiece);
    const Bytes textures = textureBlocks(size);
    Bytes out;
    for (size_t piece = 0, at = 0; out.size() < size; ++piece) {
        if (piece % 2 == 1) {
            const size_t n = std::min(kPiece, size - out.size());
            out.insert(out.end(), textures.begin() + static_cast<std::ptrdiff_t>(out.size()),
                       textures.begin() + static_cast<std::ptrdiff_t>(out.size() + n));
            continue;
        }
        const Bytes& source = piece % 4 == 0 ? text : records;
        const Bytes stream =
            compress(Bytes(source.begin() + static_cast<std::ptrdiff_t>(at),
                           source.begin() + static_cast<std::ptrdiff_t>(at + kPiece)),
                     6);
        at += kPiece;
        out.insert(out.end(), stream.begin(), stream.end());
    }
    out.resize(size);
    return out;
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

#ifdef CORVANTHE_BENCH_PUFF
// puff decodes raw deflate data and checks no Adler-32: it gets the stream without its header.
void puffs(benchmark::State& state, const Bytes* stream, size_t size) {
    Bytes out(size);
    for (auto _ : state) {
        unsigned long length = size, used = stream->size() - 2;
        if (puff(out.data(), &length, stream->data() + 2, &used) != 0 || length != size) {
            state.SkipWithError("puff failed");
            return;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
#endif

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
    struct Kind {
        const char* name;
        Bytes (*make)(size_t size, const char* self);
    };
    const Kind kinds[] = {
        {"text", [](size_t n, const char*) { return textContent(n); }},
        {"binary", [](size_t n, const char* self) { return executableContent(n, self); }},
        {"compressed", [](size_t n, const char*) { return compressedContent(n); }},
        {"repetitive", [](size_t n, const char*) { return repetitiveContent(n); }},
    };
    struct Stream {
        std::string label;
        size_t size;
        Bytes bytes;
    };
    std::vector<Stream> streams;
    streams.reserve(std::size(kinds) * 2 * 3); // the benchmarks keep pointers into it
    for (const Kind& kind : kinds) {
        for (size_t size : {size_t{64} << 10, size_t{8} << 20}) {
            const Bytes content = kind.make(size, argv[0]);
            for (int level : {1, 6, 9}) {
                const std::string label = std::string(kind.name) + "/" +
                                          (size < (1 << 20) ? "64K" : "8M") + "/" +
                                          std::to_string(level);
                streams.push_back({label, size, compress(content, level)});
                const Stream& s = streams.back();
                benchmark::RegisterBenchmark(("inflateZlib/" + label).c_str(), ours, &s.bytes, size)
                    ->MinTime(0.2);
#ifdef CORVANTHE_BENCH_PUFF
                benchmark::RegisterBenchmark(("puff/" + label).c_str(), puffs, &s.bytes, size)
                    ->MinTime(0.2);
#endif
                benchmark::RegisterBenchmark(("uncompress/" + label).c_str(), zlibs, &s.bytes, size)
                    ->MinTime(0.2);
            }
        }
    }

    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto rate = [&](const std::string& name) {
        const auto found = reporter.medians.find(name);
        return found == reporter.medians.end() ? 0.0 : found->second;
    };
    std::printf("\n%-20s %10s %10s %10s %10s %10s %10s\n", "content/size/level", "compressed",
                "ours MB/s", "puff MB/s", "zlib MB/s", "ours/puff", "ours/zlib");
    for (const Stream& s : streams) {
        const double a = rate("inflateZlib/" + s.label), p = rate("puff/" + s.label),
                     z = rate("uncompress/" + s.label);
        if (a == 0 || z == 0) continue;
        // Without puff in the build its two columns stay empty.
        char puffRate[16] = "-", puffRatio[16] = "-";
        if (p > 0) {
            std::snprintf(puffRate, sizeof puffRate, "%.1f", p);
            std::snprintf(puffRatio, sizeof puffRatio, "%.3f", a / p);
        }
        std::printf("%-20s %10zu %10.1f %10s %10.1f %10s %10.3f\n", s.label.c_str(), s.bytes.size(),
                    a, puffRate, z, puffRatio, a / z);
    }
    return 0;
}
