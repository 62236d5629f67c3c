// A folder of a test's own under the system's temporary folder, removed with everything in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace qv::launcher::test {

class TempDir {
  public:
    // The name is the prefix and a random number; a name already taken by a parallel run is
    // passed over.
    // The folder is made in base, the system's temporary folder unless given.
    explicit TempDir(const std::string& prefix = "corvanthe-test-",
                     const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (;;) {
            path_ = base / (prefix + std::to_string(random()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

} // namespace qv::launcher::test
