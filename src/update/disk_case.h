// Whether two spellings of a release path that differ only in letter case lead to one file of
// the game folder. Where names ignore case (always on Windows; on other hosts an exFAT or FAT
// disk, a FUSE mount, an ext4 folder with case folding) "Data/File.pak" finds "data/file.pak",
// and the launcher must neither keep a dropped file in the way of a new one nor remove the file
// it has just placed under the other spelling. Inode numbers cannot tell: a FUSE mount may give
// each spelling one of its own. What decides is the folder: an entry found at a name that its
// folder lists only under another spelling is that other entry.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string_view>

namespace qv::launcher {

class DiskCase {
  public:
    explicit DiskCase(std::filesystem::path game) : game_(std::move(game)) {}

    // Whether the two release paths, equal when letter case is ignored, lead to one entry of
    // the game folder: at each name where they differ something stands under both spellings,
    // and the folder there ignores case; or one is a link that leads to the other (the file
    // system says they are one file). A path that is not valid UTF-8 leads nowhere. Each
    // folder is listed once: a name removed since changes no answer (nothing stands there any
    // more), one added since would, so an object serves one pass that adds no name but the new
    // spelling of one it found to be one entry.
    bool sameEntry(std::string_view a, std::string_view b);

  private:
    // The same asked of the folders' listings alone.
    bool sameByName(std::string_view a, std::string_view b);
    // Whether the folder lists both names; true when it cannot be listed, which leaves the two
    // spellings two files, as on a disk that tells case apart.
    bool listsBoth(const std::filesystem::path& folder, const std::filesystem::path& a,
                   const std::filesystem::path& b);

    std::filesystem::path game_;
    std::map<std::filesystem::path::string_type, std::set<std::filesystem::path::string_type>>
        listed_;                                            // folder -> the names in it
    std::set<std::filesystem::path::string_type> unlisted_; // folders that could not be listed
};

} // namespace qv::launcher
