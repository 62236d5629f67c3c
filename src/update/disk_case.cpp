// Telling two spellings of one path apart by what the game folder's disk holds.
#include "update/disk_case.h"

#include <system_error>
#include <vector>

#include "base/platform.h"
#include "base/text.h"
#include "update/fs_os.h"
#include "update/manifest.h"

namespace fs = std::filesystem;

namespace qv::launcher {

namespace {

// The next "/"-separated name of the path from start on; start moves past it.
std::string_view nextName(std::string_view path, std::size_t& start) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    const std::string_view name = path.substr(start, end - start);
    start = end + 1;
    return name;
}

// Whether a disk that ignores case may see the two names as one: as many characters, each pair
// the same in other case where both are plain ASCII. A disk's own table may fold any other
// character with another, as exFAT's folds "ς" with "Σ" and "σ".
bool mayBeOneName(const std::string& a, const std::string& b) {
    std::size_t atA = 0;
    std::size_t atB = 0;
    while (atA < a.size() && atB < b.size()) {
        const std::uint32_t x = nextCodePoint(a, atA);
        const std::uint32_t y = nextCodePoint(b, atB);
        const auto upper = [](std::uint32_t c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
        if (x < 0x80 && y < 0x80 && upper(x) != upper(y)) return false;
    }
    return atA >= a.size() && atB >= b.size();
}

} // namespace

bool DiskCase::sameEntry(std::string_view a, std::string_view b) {
    if (sameByName(a, b)) return true;
    // Two names a folder lists may still lead to one file: a link under one of them. Where the
    // file system gives one file one identity, equal identities say so; unequal ones say
    // nothing, since a FUSE mount may give each spelling its own.
    if (fsNamesAlwaysIgnoreCase()) return false;
    try {
        std::error_code ec;
        return fs::equivalent(game_ / pathFromUtf8(std::string(a)),
                              game_ / pathFromUtf8(std::string(b)), ec);
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

bool DiskCase::sameByName(std::string_view a, std::string_view b) {
    fs::path folder = game_;
    std::size_t atA = 0;
    std::size_t atB = 0;
    try {
        while (atA <= a.size() && atB <= b.size()) {
            const std::string_view nameA = nextName(a, atA);
            const std::string_view nameB = nextName(b, atB);
            const fs::path here = pathFromUtf8(std::string(nameA));
            if (nameA != nameB) {
                const fs::path there = pathFromUtf8(std::string(nameB));
                if (fsEntryAt(folder / here) == FsEntry::Absent ||
                    fsEntryAt(folder / there) == FsEntry::Absent)
                    return false;
                if (!fsNamesAlwaysIgnoreCase() && listsBoth(folder, here, there)) return false;
            }
            folder /= here;
        }
    } catch (const fs::filesystem_error&) {
        return false; // not valid UTF-8: no file of the folder
    }
    return atA > a.size() && atB > b.size(); // as many names in both
}

bool DiskCase::listsBoth(const fs::path& folder, const fs::path& a, const fs::path& b) {
    const std::set<fs::path::string_type>* inside = names(folder);
    return !inside || (inside->count(a.native()) && inside->count(b.native()));
}

const std::set<fs::path::string_type>* DiskCase::names(const fs::path& folder) {
    if (unlisted_.count(folder.native())) return nullptr;
    auto at = listed_.find(folder.native());
    if (at == listed_.end()) {
        std::vector<FsFolderEntry> inside;
        std::error_code ec;
        if (!fsListFolder(folder, inside, ec)) {
            unlisted_.insert(folder.native());
            return nullptr;
        }
        std::set<fs::path::string_type> names;
        for (const FsFolderEntry& entry : inside)
            names.insert(entry.path.filename().native());
        at = listed_.emplace(folder.native(), std::move(names)).first;
    }
    return &at->second;
}

bool DiskCase::listedSpelling(std::string_view path, std::string& spelled) {
    spelled.clear();
    fs::path folder = game_;
    std::size_t at = 0;
    try {
        while (at <= path.size()) {
            std::string found;
            if (!listedName(folder, nextName(path, at), found)) return false;
            if (folder != game_) spelled += '/';
            spelled += found;
            folder /= pathFromUtf8(found);
        }
    } catch (const fs::filesystem_error&) {
        return false; // not valid UTF-8: no file of the folder
    }
    return true;
}

bool DiskCase::listedName(const fs::path& folder, std::string_view name, std::string& found) {
    const std::set<fs::path::string_type>* inside = names(folder);
    const fs::path own = pathFromUtf8(std::string(name));
    if (!inside) return false;
    found = name;
    if (inside->count(own.native())) return true;
    if (fsEntryAt(folder / own) == FsEntry::Absent) return false;
    // Found, and listed under another spelling: which one, only the listing can tell.
    const std::string folded = foldCase(found);
    std::size_t possible = 0;
    std::size_t folding = 0;
    std::string folds;
    for (const fs::path::string_type& listed : *inside) {
        const std::string other = toUtf8(fs::path(listed));
        if (!mayBeOneName(other, found)) continue;
        if (++possible == 1) found = other;
        if (foldCase(other) == folded && ++folding == 1) folds = other;
    }
    if (folding == 1) {
        found = folds;
        return true;
    }
    return possible == 1;
}

} // namespace qv::launcher
