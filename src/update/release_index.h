// Look-ups into a release by path, built once per run: a run would otherwise scan the whole
// list of files once for each file it looks at.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

#include "update/manifest.h"

namespace qv::launcher {

// A release's entries by their paths, for one look-up each where a run would otherwise scan
// the whole list once per file. It refers to the release, which must outlive it unchanged.
class PathIndex {
  public:
    explicit PathIndex(const Manifest* release) {
        if (!release) return;
        entries_.reserve(release->files.size());
        for (const Entry& entry : release->files)
            entries_.emplace(entry.path, &entry);
    }
    const Entry* find(std::string_view path) const {
        const auto at = entries_.find(path);
        return at == entries_.end() ? nullptr : at->second;
    }

  private:
    std::unordered_map<std::string_view, const Entry*> entries_;
};

// The paths of a release as a file system that ignores letter case sees them.
class CaseFoldedPaths {
  public:
    explicit CaseFoldedPaths(const Manifest& release) {
        for (const Entry& entry : release.files)
            folded_.emplace(foldCase(entry.path), &entry.path);
    }
    bool has(const std::string& path) const { return find(path) != nullptr; }
    // The release's path that equals this one when letter case is ignored, or null.
    const std::string* find(const std::string& path) const {
        const auto at = folded_.find(foldCase(path));
        return at == folded_.end() ? nullptr : at->second;
    }

  private:
    std::map<std::string, const std::string*> folded_;
};

} // namespace qv::launcher
