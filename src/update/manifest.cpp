#include "update/manifest.h"

#include "update/hex.h"

#include <string_view>
#include <unordered_set>

namespace qv::launcher {
namespace {

constexpr std::string_view kMagicLine = "corvanthe-manifest 1";
constexpr std::size_t kHashDigits = 64;

// The white space that separates the fields of a line; a line feed never
// occurs inside a line.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
}

// Reads the fields of one line from left to right.
class LineReader {
  public:
    explicit LineReader(std::string_view line) : line(line) {}

    void skipBlanks() {
        while (pos < line.size() && isBlank(line[pos]))
            ++pos;
    }

    // The next run of non-blank bytes after any blanks; empty at the end.
    std::string_view token() {
        skipBlanks();
        const std::size_t start = pos;
        while (pos < line.size() && !isBlank(line[pos]))
            ++pos;
        return line.substr(start, pos - start);
    }

    // An unsigned decimal read the way formatted stream extraction reads one:
    // blanks skipped, an optional sign ("-" negates modulo 2^64), then the
    // longest run of digits. It ends at the first non-digit, whatever that is.
    bool number(std::uint64_t& value) {
        skipBlanks();
        bool negative = false;
        if (pos < line.size() && (line[pos] == '+' || line[pos] == '-')) {
            negative = line[pos] == '-';
            ++pos;
        }
        const std::size_t start = pos;
        std::uint64_t result = 0;
        bool overflow = false;
        for (; pos < line.size() && line[pos] >= '0' && line[pos] <= '9'; ++pos) {
            const auto digit = static_cast<std::uint64_t>(line[pos] - '0');
            if (result > (UINT64_MAX - digit) / 10) overflow = true;
            result = result * 10 + digit;
        }
        if (pos == start || overflow) return false;
        value = negative ? 0 - result : result;
        return true;
    }

    // Everything after the blanks that follow, byte for byte.
    std::string_view rest() {
        skipBlanks();
        return line.substr(pos);
    }

  private:
    std::string_view line;
    std::size_t pos = 0;
};

bool isHashToken(std::string_view token) {
    if (token.size() != kHashDigits) return false;
    std::uint8_t digest[kHashDigits / 2];
    return decodeHexDigits(std::string(token), digest, sizeof digest);
}

// The fields shared by "launcher" and "file" lines: hash, size, packed size
// and, for a file, the path to the end of the line. All or nothing.
bool readEntry(LineReader& reader, bool withPath, Entry& entry) {
    const std::string_view hash = reader.token();
    if (!isHashToken(hash)) return false;
    Entry read;
    read.hash = hash;
    if (!reader.number(read.size) || !reader.number(read.packedSize)) return false;
    if (withPath) {
        read.path = reader.rest();
        if (!isSafeRelativePath(read.path)) return false;
    }
    entry = std::move(read);
    return true;
}

void appendLine(std::string& text, std::string_view keyword, const Entry& entry) {
    text += keyword;
    text += ' ';
    text += entry.hash;
    text += ' ';
    text += std::to_string(entry.size);
    text += ' ';
    text += std::to_string(entry.packedSize);
}

} // namespace

const Entry* Manifest::find(const std::string& path) const {
    for (const Entry& entry : files)
        if (entry.path == path) return &entry;
    return nullptr;
}

bool isSafeRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.back() == '/') return false;
    std::size_t componentStart = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string_view component(path.data() + componentStart, i - componentStart);
            if (component.empty() || component == "." || component == "..") return false;
            componentStart = i + 1;
            continue;
        }
        const auto byte = static_cast<unsigned char>(path[i]);
        if (byte < 0x20 || byte == '\\' || byte == ':') return false;
    }
    return true;
}

bool parseManifest(const std::string& text, Manifest& manifest, std::string& error) {
    manifest = Manifest{};
    std::unordered_set<std::string> listed;
    std::size_t lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + pos, end - pos);
        pos = end + 1;
        ++lineNumber;

        if (lineNumber == 1) {
            if (line != kMagicLine) {
                error = "not a manifest this launcher can read";
                return false;
            }
            continue;
        }
        LineReader reader(line);
        const std::string_view keyword = reader.token();
        if (keyword == "platform" || keyword == "version") {
            const std::string_view value = reader.token();
            if (!value.empty())
                (keyword == "platform" ? manifest.platform : manifest.version) = value;
        } else if (keyword == "launcher") {
            if (!readEntry(reader, false, manifest.launcher)) {
                error = "bad launcher line";
                return false;
            }
        } else if (keyword == "file") {
            Entry entry;
            if (!readEntry(reader, true, entry)) {
                error = "bad file line " + std::to_string(lineNumber);
                return false;
            }
            // One look-up per line: a release of many thousands of files must not cost a scan
            // of all earlier ones for each.
            if (!listed.insert(entry.path).second) {
                error = "file listed twice: " + entry.path;
                return false;
            }
            manifest.files.push_back(std::move(entry));
        }
    }
    if (lineNumber == 0) {
        error = "empty manifest";
        return false;
    }
    if (manifest.version.empty()) {
        error = "manifest has no version";
        return false;
    }
    return true;
}

std::string writeManifest(const Manifest& manifest) {
    std::string text;
    text += kMagicLine;
    text += "\nplatform ";
    text += manifest.platform;
    text += "\nversion ";
    text += manifest.version;
    text += '\n';
    if (!manifest.launcher.hash.empty()) {
        appendLine(text, "launcher", manifest.launcher);
        text += '\n';
    }
    for (const Entry& entry : manifest.files) {
        appendLine(text, "file", entry);
        text += ' ';
        text += entry.path;
        text += '\n';
    }
    return text;
}

} // namespace qv::launcher
