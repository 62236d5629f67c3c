// The helper of install_bench.sh: it makes the game folders the benchmark publishes, and it is
// the reference that the launcher's install is measured against: the same objects, fetched by
// curl beforehand, inflated with zlib, hashed with libsodium's BLAKE2b and written as files,
// with nothing of the launcher's own code on the way. Two more modes time the launcher's own
// building blocks on the same data, so that a gap between the two pipelines can be placed.
//
//   reference_pipeline_bench make-game DIR FILES TOTAL_BYTES LARGEST_BYTES SEED
//       half of the files text-like, half random; the largest one random, LARGEST_BYTES long
//   reference_pipeline_bench pipeline MANIFEST FETCHED_DIR OUT_DIR [--fsync]
//       FETCHED_DIR holds every object as curl stored it, named by its hash; --fsync makes each
//       file and its folder durable, as the launcher's staging does
//   reference_pipeline_bench components MANIFEST OBJECTS_DIR
//       zlib against the launcher's inflater, libsodium against the launcher's hash, in memory
//   reference_pipeline_bench parse MANIFEST PUBLIC_KEY_HEX
//       the cost of a check's manifest work: signature, parsing, and the per-file lookups
//
// MANIFEST is a signed manifest file as the server holds it. Times go to standard output as
// "name seconds" lines, for the script to gather.
#include "update/hex.h"
#include "update/inflate.h"
#include "update/manifest.h"
#include "update/signed_text.h"
#include "update/updater.h"

#include <fcntl.h>
#include <sodium.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

namespace fs = std::filesystem;
using qv::launcher::Entry;
using qv::launcher::Manifest;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int fail(const std::string& why) {
    std::fprintf(stderr, "reference_pipeline_bench: %s\n", why.c_str());
    return 1;
}

// splitmix64: fast, and the same bytes on every machine for a given seed.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
};

const char* const kWords[] = {
    "the",      "of",      "and",     "to",       "in",      "a",        "is",       "that",
    "for",      "it",      "as",      "with",     "was",     "on",       "player",   "level",
    "launcher", "update",  "server",  "texture",  "shader",  "monster",  "quest",    "sword",
    "health",   "damage",  "armour",  "inventory", "spawn",  "dialogue", "corridor", "lantern",
    "northern", "village", "merchant", "gold",    "silver",  "ancient",  "forgotten", "keep"};
constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

// Words of skewed frequency in lines, like scripts, configs and localisation tables: zlib
// packs it to roughly a third.
void textContent(Random& random, std::size_t size, Bytes& out) {
    out.clear();
    out.reserve(size + 32);
    std::size_t lineLength = 0;
    while (out.size() < size) {
        std::size_t pick = 0;
        while (pick + 1 < kWordCount && random.unit() > 0.12) ++pick;
        const char* word = kWords[pick];
        out.insert(out.end(), word, word + std::strlen(word));
        lineLength += std::strlen(word) + 1;
        const std::uint64_t r = random.next() % 100;
        if (r < 4) out.push_back(',');
        if (r >= 4 && r < 7) out.push_back('.');
        if (lineLength > 60 + random.next() % 20) {
            out.push_back('\n');
            lineLength = 0;
        } else {
            out.push_back(' ');
        }
    }
    out.resize(size);
}

// Already-compressed assets (audio, textures): zlib can only store it.
void randomContent(Random& random, std::size_t size, Bytes& out) {
    out.resize(size);
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t v = random.next();
        std::memcpy(out.data() + i, &v, 8);
    }
    const std::uint64_t v = random.next();
    std::memcpy(out.data() + i, &v, size - i);
}

bool writeWhole(const fs::path& path, const std::uint8_t* data, std::size_t length, bool durable) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    bool ok = length == 0 || std::fwrite(data, 1, length, file) == length;
    ok = std::fflush(file) == 0 && ok;
    if (durable) ok = fsync(fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (ok && durable) {
        const int folder = open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            fsync(folder);
            close(folder);
        }
    }
    return ok;
}

bool readBytes(const fs::path& path, Bytes& out) {
    std::string text;
    if (!qv::launcher::readFile(path, text)) return false;
    out.assign(text.begin(), text.end());
    return true;
}

// The manifest body without verifying it: the reference trusts what it was given, and the
// signature check costs the same on both sides.
bool loadManifest(const std::string& file, Manifest& manifest) {
    std::string text;
    if (!qv::launcher::readFile(file, text)) return false;
    const std::size_t signature = text.rfind("\nsignature ");
    if (signature == std::string::npos) return false;
    text.resize(signature + 1);
    std::string error;
    if (!qv::launcher::parseManifest(text, manifest, error)) {
        std::fprintf(stderr, "reference_pipeline_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

std::string hexDigest(const std::uint8_t* data, std::size_t length) {
    std::uint8_t digest[32];
    crypto_generichash_blake2b(digest, sizeof digest, data, length, nullptr, 0);
    return qv::launcher::toHex(digest, sizeof digest);
}

// Paths of varied depth and length, as a game's asset tree has them.
std::string assetPath(Random& random, std::size_t index, bool text) {
    static const char* const kFolders[] = {"data/scripts", "data/maps",     "lang",
                                           "textures/world", "textures/ui", "sound/ambient",
                                           "sound/voice/en", "models",      "shaders",
                                           "data/quests/north"};
    static const char* const kTextTypes[] = {".lua", ".cfg", ".txt", ".json", ".xml"};
    static const char* const kBinaryTypes[] = {".dds", ".ogg", ".bin", ".pak", ".mdl"};
    const char* folder = kFolders[random.next() % (sizeof kFolders / sizeof kFolders[0])];
    const char* word = kWords[random.next() % kWordCount];
    const char* type = text ? kTextTypes[random.next() % 5] : kBinaryTypes[random.next() % 5];
    return std::string(folder) + "/" + word + "_" + std::to_string(index) + type;
}

int makeGame(const fs::path& dir, std::size_t files, std::uint64_t total, std::uint64_t largest,
             std::uint64_t seed) {
    if (files < 3 || largest >= total / 2) return fail("make-game needs FILES >= 3 and LARGEST < TOTAL/2");
    Random random{seed};
    const std::size_t textFiles = files / 2;
    const std::size_t randomFiles = files - textFiles;  // the largest and the executable among them

    // Log-uniform sizes over a 64-fold range, scaled to each half's share of the total.
    auto sizes = [&](std::size_t count, std::uint64_t bytes) {
        std::vector<double> weights(count);
        double sum = 0;
        for (double& w : weights) sum += (w = std::exp(random.unit() * std::log(64.0)));
        std::vector<std::uint64_t> out(count);
        std::uint64_t given = 0;
        for (std::size_t i = 0; i < count; ++i) given += out[i] = static_cast<std::uint64_t>(weights[i] / sum * bytes);
        out[0] += bytes - given;  // rounding
        return out;
    };
    const std::vector<std::uint64_t> textSizes = sizes(textFiles, total / 2);
    std::vector<std::uint64_t> randomSizes = sizes(randomFiles - 1, total - total / 2 - largest);
    randomSizes.push_back(largest);

    std::error_code ec;
    fs::create_directories(dir, ec);
    Bytes content;
    std::uint64_t written = 0;
    for (std::size_t i = 0; i < files; ++i) {
        const bool text = i < textFiles;
        const std::uint64_t size = text ? textSizes[i] : randomSizes[i - textFiles];
        std::string path;
        if (i == files - 1) {
            path = "data/base.pak";
        } else if (i == files - 2) {
            path = "corvanthe.exe";
        } else {
            path = assetPath(random, i, text);
        }
        if (text) {
            textContent(random, static_cast<std::size_t>(size), content);
        } else {
            randomContent(random, static_cast<std::size_t>(size), content);
        }
        const fs::path target = dir / path;
        fs::create_directories(target.parent_path(), ec);
        if (!writeWhole(target, content.data(), content.size(), false)) return fail("cannot write " + target.string());
        written += size;
    }
    std::printf("made %zu files, %llu bytes, largest %llu\n", files, static_cast<unsigned long long>(written),
                static_cast<unsigned long long>(largest));
    return 0;
}

int pipeline(const std::string& manifestFile, const fs::path& fetched, const fs::path& out, bool durable) {
    const Clock::time_point start = Clock::now();
    Manifest manifest;
    if (!loadManifest(manifestFile, manifest)) return fail("cannot read the manifest " + manifestFile);
    Bytes packed;
    Bytes content;
    fs::path lastFolder;
    std::error_code ec;
    for (const Entry& entry : manifest.files) {
        if (!readBytes(fetched / entry.hash, packed)) return fail("object not fetched: " + entry.hash);
        content.resize(static_cast<std::size_t>(entry.size));
        uLongf length = static_cast<uLongf>(entry.size);
        if (uncompress(content.data(), &length, packed.data(), packed.size()) != Z_OK || length != entry.size) {
            return fail("object does not inflate: " + entry.hash);
        }
        if (hexDigest(content.data(), content.size()) != entry.hash) return fail("hash mismatch: " + entry.hash);
        const fs::path target = out / entry.path;
        if (target.parent_path() != lastFolder) {
            lastFolder = target.parent_path();
            fs::create_directories(lastFolder, ec);
        }
        if (!writeWhole(target, content.data(), content.size(), durable)) return fail("cannot write " + target.string());
    }
    std::printf("process %.3f\n", secondsSince(start));
    return 0;
}

int components(const std::string& manifestFile, const fs::path& objects) {
    Manifest manifest;
    if (!loadManifest(manifestFile, manifest)) return fail("cannot read the manifest " + manifestFile);
    // Distinct objects only, all in memory, so that only the decoding and hashing are timed.
    std::vector<std::pair<const Entry*, Bytes>> streams;
    std::unordered_set<std::string> seen;
    std::uint64_t contentBytes = 0;
    for (const Entry& entry : manifest.files) {
        if (!seen.insert(entry.hash).second) continue;
        streams.emplace_back(&entry, Bytes());
        if (!readBytes(objects / entry.hash, streams.back().second)) return fail("cannot read object " + entry.hash);
        contentBytes += entry.size;
    }
    Bytes content;
    const auto timeAll = [&](const char* name, auto&& work) {
        const Clock::time_point start = Clock::now();
        for (const auto& [entry, stream] : streams) {
            if (!work(*entry, stream)) {
                std::fprintf(stderr, "reference_pipeline_bench: %s failed on %s\n", name, entry->hash.c_str());
                std::exit(1);
            }
        }
        const double seconds = secondsSince(start);
        std::printf("%s %.3f %.0f\n", name, seconds, static_cast<double>(contentBytes) / seconds / 1e6);
    };
    timeAll("zlib_inflate", [&](const Entry& e, const Bytes& s) {
        content.resize(static_cast<std::size_t>(e.size));
        uLongf length = static_cast<uLongf>(e.size);
        return uncompress(content.data(), &length, s.data(), s.size()) == Z_OK && length == e.size;
    });
    timeAll("launcher_inflate", [&](const Entry& e, const Bytes& s) {
        return qv::launcher::inflateZlib(s.data(), s.size(), static_cast<std::size_t>(e.size), content);
    });
    // Both hashes see the same content, inflated once more outside the timing.
    std::vector<Bytes> contents;
    for (const auto& [entry, stream] : streams) {
        contents.emplace_back(static_cast<std::size_t>(entry->size));
        uLongf length = static_cast<uLongf>(entry->size);
        uncompress(contents.back().data(), &length, stream.data(), stream.size());
    }
    std::size_t index = 0;
    timeAll("sodium_hash", [&](const Entry& e, const Bytes&) {
        const Bytes& c = contents[index++ % contents.size()];
        return hexDigest(c.data(), c.size()) == e.hash;
    });
    index = 0;
    timeAll("launcher_hash", [&](const Entry& e, const Bytes&) {
        const Bytes& c = contents[index++ % contents.size()];
        return qv::launcher::hashHex(c.data(), c.size()) == e.hash;
    });
    return 0;
}

int parse(const std::string& manifestFile, const std::string& keyHex) {
    std::uint8_t key[32];
    if (!qv::launcher::fromHex(keyHex, key, sizeof key)) return fail("the public key is 64 hex digits");
    std::string text;
    if (!qv::launcher::readFile(manifestFile, text)) return fail("cannot read " + manifestFile);
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::vector<double> verifyTimes, parseTimes, lookupTimes, indexedTimes;
    Manifest manifest;
    for (int round = 0; round < 3; ++round) {
        std::string body;
        Clock::time_point start = Clock::now();
        if (!qv::launcher::verifySigned(text, key, body)) return fail("the manifest does not verify");
        verifyTimes.push_back(secondsSince(start));

        std::string error;
        start = Clock::now();
        if (!qv::launcher::parseManifest(body, manifest, error)) return fail(error);
        parseTimes.push_back(secondsSince(start));

        // What a shallow comparison does once per listed file: find the installed entry.
        start = Clock::now();
        std::size_t found = 0;
        for (const Entry& entry : manifest.files) found += manifest.find(entry.path) != nullptr;
        lookupTimes.push_back(secondsSince(start));
        if (found != manifest.files.size()) return fail("a listed path was not found");

        // For scale: the same duplicate test with an index.
        start = Clock::now();
        std::unordered_set<std::string_view> paths;
        paths.reserve(manifest.files.size());
        for (const Entry& entry : manifest.files) paths.insert(entry.path);
        indexedTimes.push_back(secondsSince(start));
    }
    std::printf("files %zu\nmanifest_bytes %zu\n", manifest.files.size(), text.size());
    std::printf("verify %.4f\nparse %.4f\nlookups %.4f\nindexed_duplicates %.4f\n", median(verifyTimes),
                median(parseTimes), median(lookupTimes), median(indexedTimes));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) return fail("libsodium did not start");
    const std::vector<std::string> args(argv + 1, argv + argc);
    const std::string mode = args.empty() ? "" : args[0];
    if (mode == "make-game" && args.size() == 6) {
        try {
            return makeGame(args[1], std::stoull(args[2]), std::stoull(args[3]), std::stoull(args[4]),
                            std::stoull(args[5]));
        } catch (const std::exception&) {
            return fail("make-game takes whole numbers after DIR");
        }
    }
    if (mode == "pipeline" && (args.size() == 4 || (args.size() == 5 && args[4] == "--fsync"))) {
        return pipeline(args[1], args[2], args[3], args.size() == 5);
    }
    if (mode == "components" && args.size() == 3) return components(args[1], args[2]);
    if (mode == "parse" && args.size() == 3) return parse(args[1], args[2]);
    std::fprintf(stderr,
                 "usage: reference_pipeline_bench make-game DIR FILES TOTAL_BYTES LARGEST_BYTES SEED\n"
                 "       reference_pipeline_bench pipeline MANIFEST FETCHED_DIR OUT_DIR [--fsync]\n"
                 "       reference_pipeline_bench components MANIFEST OBJECTS_DIR\n"
                 "       reference_pipeline_bench parse MANIFEST PUBLIC_KEY_HEX\n");
    return 2;
}
