// Feeds arbitrary bytes to the manifest reader. Beyond never crashing: every
// failure carries one of the reader's messages, and every manifest it accepts
// keeps its promises (a version, safe and unique paths), comes back unchanged
// through the writer, and is judged installable or not with a reason that
// names one of its paths.
#include "update/manifest.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace qv::launcher;

namespace {

bool knownError(const std::string& error) {
    return error == "not a manifest this launcher can read" || error == "bad launcher line" ||
           error == "empty manifest" || error == "manifest has no version" ||
           error.starts_with("bad file line ") || error.starts_with("file listed twice: ");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Manifest manifest;
    std::string error;
    if (!parseManifest(text, manifest, error)) {
        if (!knownError(error)) __builtin_trap();
        return 0;
    }
    if (manifest.version.empty() || !manifest.launcher.path.empty()) __builtin_trap();
    for (const Entry& entry : manifest.files) {
        if (!isSafeRelativePath(entry.path) || manifest.find(entry.path) != &entry)
            __builtin_trap();
    }

    std::string refusal;
    if (!checkInstallable(manifest, refusal)) {
        bool named = false;
        for (const Entry& entry : manifest.files)
            named = named || refusal.starts_with("cannot install " + entry.path + " (");
        if (!named) __builtin_trap();
    }

    const std::string written = writeManifest(manifest);
    Manifest again;
    std::string againError;
    if (!parseManifest(written, again, againError)) __builtin_trap();
    if (writeManifest(again) != written || again.files.size() != manifest.files.size() ||
        again.launcher.hash != manifest.launcher.hash ||
        again.launcher.size != manifest.launcher.size ||
        again.launcher.packedSize != manifest.launcher.packedSize)
        __builtin_trap();
    return 0;
}
