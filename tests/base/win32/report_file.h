// What the Windows test helpers and their tests share: texts hex-encoded so that blanks, quotes
// and any character survive a line-based report, and a report file that appears whole or not at
// all (written under a ".part" name, then renamed over any earlier one), so a test waiting for
// it never reads half.
#pragma once

#include "update/hex.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace qv::launcher::test {

inline std::string hexText(const std::string& text) {
    return toHex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

inline std::string unhexText(const std::string& text) {
    std::string out(text.size() / 2, '\0');
    fromHex(text.substr(0, out.size() * 2), reinterpret_cast<std::uint8_t*>(out.data()),
            out.size());
    return out;
}

inline bool writeReport(const std::filesystem::path& file, const std::string& text) {
    std::filesystem::path part = file;
    part += L".part";
    std::FILE* stream = _wfopen(part.c_str(), L"wb");
    if (stream == nullptr) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (std::fclose(stream) != 0 || !written) return false;
    return MoveFileExW(part.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// Waits for the report and reads it; false when none can be read before the time limit, which
// is only a backstop for a helper that never ran. The name can exist a moment before the file
// opens: wine lets the rename that put it there finish while the writer's handle, open for
// deletion, still refuses other opens.
inline bool readReport(const std::filesystem::path& file, std::string& text,
                       std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::error_code error;
        if (std::filesystem::exists(file, error)) {
            std::ifstream in(file, std::ios::binary);
            if (in) {
                std::ostringstream content;
                content << in.rdbuf();
                text = content.str();
                if (!text.empty()) return true;
            }
        }
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace qv::launcher::test
