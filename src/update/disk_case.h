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

    // The path as the folders on the way list it: at each name, the name under which the
    // folder lists the entry found there. A disk may fold names that the launcher's table keeps
    // apart (exFAT's own table finds "σ" at "ς"), so the listing tells which entry a name finds
    // where the folder does not list it under that spelling: the one entry listed under a name
    // that can be its other spelling (as many characters, and no plain letter but the same in
    // other case), one that the launcher's table folds with it first. False when a name on the
    // way finds nothing, or nothing that can be told apart from another entry, or a folder
    // cannot be listed.
    bool listedSpelling(std::string_view path, std::string& spelled);

  private:
    // The same asked of the folders' listings alone.
    bool sameByName(std::string_view a, std::string_view b);
    // Whether the folder lists both names; true when it cannot be listed, which leaves the two
    // spellings two files, as on a disk that tells case apart.
    bool listsBoth(const std::filesystem::path& folder, const std::filesystem::path& a,
                   const std::filesystem::path& b);
    // The names the folder lists, or null when it cannot be listed.
    const std::set<std::filesystem::path::string_type>* names(const std::filesystem::path& folder);
    // The name (UTF-8) under which the folder lists the entry found at name, as above.
    bool listedName(const std::filesystem::path& folder, std::string_view name, std::string& found);

    std::filesystem::path game_;
    std::map<std::filesystem::path::string_type, std::set<std::filesystem::path::string_type>>
        listed_;                                            // folder -> the names in it
    std::set<std::filesystem::path::string_type> unlisted_; // folders that could not be listed
};

} // namespace qv::launcher
