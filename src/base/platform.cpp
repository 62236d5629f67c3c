// The portable half of the platform helpers: text and path conversion, the release layout's
// fixed names, command-line quoting, and the process start's argument checks and error text.
// The system calls themselves sit behind platform_os.h.
#include "base/platform.h"

#include "base/platform_os.h"

#include <cstddef>
#include <string_view>
#include <system_error>

namespace qv::launcher {

namespace {

// Strict UTF-8: no stray or missing continuation bytes, no overlong forms, no encoded
// surrogates, nothing above U+10FFFF. Paths cross hosts through the release manifest, so the
// same text must be accepted or refused on every host, whatever its native path form.
bool isValidUtf8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80; // allowed range of the second byte
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;  // overlong below U+0800
            if (lead == 0xED) high = 0x9F; // U+D800..U+DFFF are surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;  // overlong below U+10000
            if (lead == 0xF4) high = 0x8F; // above U+10FFFF
        } else {
            return false; // continuation byte as lead, C0/C1 overlong, or F5..FF
        }
        if (size - i < length) return false;
        if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

[[noreturn]] void throwConversionError() {
    throw std::filesystem::filesystem_error("Cannot convert character sequence",
                                            std::make_error_code(std::errc::illegal_byte_sequence));
}

} // namespace

std::string toUtf8(const std::filesystem::path& path) {
    const std::u8string utf8 = path.u8string();
    std::string text(reinterpret_cast<const char*>(utf8.data()), utf8.size());
    if (!isValidUtf8(text)) throwConversionError();
    return text;
}

std::filesystem::path pathFromUtf8(const std::string& text) {
    if (!isValidUtf8(text)) throwConversionError();
    return std::filesystem::path(
        std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

const char* platformName() {
    return "win64";
}

const char* gameExecutableName() {
    return "corvanthe.exe";
}

void openFolder(const std::filesystem::path& folder) {
    osOpenFolder(folder);
}

void ignoreBrokenPipe() {
    osIgnoreBrokenPipe();
}

void makeExecutable(const std::filesystem::path& file) {
    osMakeExecutable(file);
}

std::filesystem::path selfPath() {
    return osSelfPath();
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return osCommandLineArguments(argc, argv);
}

std::wstring quoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0; // seen in a row and not yet written
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            quoted.append(2 * backslashes + 1, L'\\');
            quoted += c;
            backslashes = 0;
        } else {
            quoted.append(backslashes, L'\\');
            quoted += c;
            backslashes = 0;
        }
    }
    // The closing quote must not be taken as escaped by trailing backslashes.
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

namespace {

// The start both forms share; watched as osStartProcess takes it.
bool startChecked(const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments,
                  const std::filesystem::path& workingFolder, std::string& error,
                  bool* refusedAsProgram, std::intptr_t* watched) {
    // Every argument is checked before anything starts, so a bad one never half-starts a game.
    std::vector<std::filesystem::path> converted;
    converted.reserve(arguments.size());
    for (const std::string& argument : arguments)
        converted.push_back(pathFromUtf8(argument));

    const unsigned long code = osStartProcess(executable, converted, workingFolder, watched);
    if (code == 0) return true;
    if (refusedAsProgram) *refusedAsProgram = osRefusesProgram(code);
    error = "could not start " + toUtf8(executable.filename()) + " (error " + std::to_string(code) +
            ")";
    return false;
}

} // namespace

bool startProcess(const std::filesystem::path& executable,
                  const std::vector<std::string>& arguments,
                  const std::filesystem::path& workingFolder, std::string& error,
                  bool* refusedAsProgram) {
    return startChecked(executable, arguments, workingFolder, error, refusedAsProgram, nullptr);
}

bool startWatchedProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingFolder,
                         std::chrono::milliseconds watch, std::string& endedAtStart,
                         std::string& error, bool* refusedAsProgram) {
    endedAtStart.clear();
    std::intptr_t process = 0;
    if (!startChecked(executable, arguments, workingFolder, error, refusedAsProgram, &process))
        return false;
    endedAtStart = osWatchProcess(process, watch);
    return true;
}

} // namespace qv::launcher
