// Talking to the update server: the channel's signed texts (news and manifest) and the
// content-addressed file objects. This is the one place that knows the server's paths, the
// playtester key header and the size limit of each resource.
#include <algorithm>

#include "base/log.h"
#include "update/hex.h"
#include "update/http.h"
#include "update/inflate.h"
#include "update/signed_text.h"
#include "update/updater.h"

namespace qv::launcher {

namespace {

constexpr std::uint64_t kObjectSlack = 1024; // zlib framing a packer may add
constexpr int kObjectAttempts = 3;

} // namespace

std::string joinUrl(const std::string& base, const std::string& path) {
    if (!base.empty() && base.back() == '/') return base + path;
    return base + "/" + path;
}

bool Updater::fetchSigned(const std::string& name, std::string& body, std::string& error) {
    // The whole fetch, cache file included, keeps the channel it started with.
    std::int32_t useChannel;
    std::string key;
    std::uint64_t startGeneration;
    {
        std::lock_guard<std::mutex> lock(mutex);
        useChannel = channel;
        key = testerKey;
        startGeneration = generation;
    }
    const bool testing = useChannel == Testing;
    std::vector<std::string> headers;
    if (testing) headers.push_back("X-Corvanthe-Key: " + key);
    const std::string path = testing ? "testing/" + name : name;

    std::vector<std::uint8_t> reply;
    int status = 0;
    if (!httpGet(joinUrl(serverUrl, path), reply, kSignedTextLimit, {}, &cancel, error, headers,
                 &status, signedTextDeadline, signedTextRate)) {
        if (status == 403 && testing) {
            error = "playtester key not accepted";
            // An answer on a key the player has replaced meanwhile says nothing about the new one.
            std::lock_guard<std::mutex> lock(mutex);
            if (generation == startGeneration) state.keyState = KeyRefused;
        }
        return false;
    }
    if (testing) {
        // The server let the key through; what it sent is judged by the signature next.
        std::lock_guard<std::mutex> lock(mutex);
        if (generation == startGeneration) state.keyState = KeyAccepted;
    }

    std::string text(reply.begin(), reply.end());
    reply.clear();
    if (!verifySigned(text, releaseKey.data(), body)) {
        error = name + " is not signed by the Corvanthe release key";
        return false;
    }
    if (name == "news.txt") {
        // A cache that cannot be written costs only the news at the next start, and so does one
        // a power cut tears: its signature is checked again when it is read. A run that may not
        // change the folder shows the news without keeping it.
        if (!readOnlyCause.empty()) return true;
        std::error_code ignored;
        writeFileAtomic(launcherDir / (testing ? ".news-testing" : ".news"),
                        reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), ignored,
                        Durability::Deferred);
    } else if (name.size() >= 9 && name.compare(0, 9, "manifest-") == 0) {
        rawManifest = std::move(text);
    }
    return true;
}

bool Updater::fetchObject(const Entry& entry, std::vector<std::uint8_t>& out, std::uint64_t done,
                          std::uint64_t total, std::string& error) {
    const std::string url = joinUrl(serverUrl, "objects/" + entry.hash);
    // The packed size comes from the manifest; a value near the top of the range must not wrap
    // the limit round to a tiny one.
    const std::uint64_t limit = addSaturated(entry.packedSize, kObjectSlack);
    for (int attempt = 1; attempt <= kObjectAttempts; ++attempt) {
        std::vector<std::uint8_t> packed;
        HttpProgress progress = [this, &entry, &done, &total](unsigned long long received,
                                                              unsigned long long) {
            std::lock_guard<std::mutex> lock(mutex);
            if (total == 0) {
                state.progress = -1.0;
            } else {
                // A body running past the packed size never counts for more than this object.
                const std::uint64_t counted =
                    addSaturated(std::min<std::uint64_t>(received, entry.packedSize), done);
                state.progress = static_cast<double>(counted) / static_cast<double>(total);
            }
        };
        if (!httpGet(url, packed, limit, progress, &cancel, error)) {
            if (cancel.load()) return false;
            logWarn("launcher: object %s, attempt %d: %s", entry.hash.c_str(), attempt,
                    error.c_str());
            continue;
        }
        const std::size_t expected = static_cast<std::size_t>(entry.size);
        if (expected != entry.size || !inflateZlib(packed.data(), packed.size(), expected, out)) {
            error = "a download arrived damaged";
            logWarn("launcher: object %s did not decompress (attempt %d)", entry.hash.c_str(),
                    attempt);
            continue;
        }
        if (hashHex(out.data(), out.size()) == entry.hash) return true;
        error = "a download did not match the release";
        logWarn("launcher: object %s hash mismatch (attempt %d)", entry.hash.c_str(), attempt);
    }
    return false;
}

} // namespace qv::launcher
