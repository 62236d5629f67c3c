// Telling two spellings of one path apart by what the game folder's disk holds.
#include "update/disk_case.h"

#include <system_error>
#include <vector>

#include "base/platform.h"
#include "update/fs_os.h"

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
    if (unlisted_.count(folder.native())) return true;
    auto at = listed_.find(folder.native());
    if (at == listed_.end()) {
        std::vector<FsFolderEntry> inside;
        std::error_code ec;
        if (!fsListFolder(folder, inside, ec)) {
            unlisted_.insert(folder.native());
            return true;
        }
        std::set<fs::path::string_type> names;
        for (const FsFolderEntry& entry : inside) names.insert(entry.path.filename().native());
        at = listed_.emplace(folder.native(), std::move(names)).first;
    }
    return at->second.count(a.native()) && at->second.count(b.native());
}

} // namespace qv::launcher
