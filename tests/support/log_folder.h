// The launcher's log opened in a fresh temporary folder for one test, and read back from its
// "latest.log". The log is process-wide, so it is closed again before the folder goes.
#pragma once

#include "base/log.h"

#include "file_bytes.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace qv::launcher::test {

// One line of the log without its time stamps.
struct LogLine {
    std::string level;
    std::string message;
    bool operator==(const LogLine&) const = default;
};

inline void PrintTo(const LogLine& line, std::ostream* out) {
    *out << line.level << ": " << line.message;
}

class LogFolder {
  public:
    explicit LogFolder(const std::string& prefix) : folder_(prefix) {
        EXPECT_TRUE(openLog(folder_.path().string().c_str(), 0));
    }
    ~LogFolder() { closeLog(); }
    LogFolder(const LogFolder&) = delete;
    LogFolder& operator=(const LogFolder&) = delete;

    const std::filesystem::path& folder() const { return folder_.path(); }
    std::string path(const std::string& name) const { return (folder_.path() / name).string(); }

    // What reached "latest.log" so far.
    std::string log() const { return readText(folder_.path() / "latest.log"); }

    // Its lines, each "[time] [elapsed] level message" with the level padded to five.
    std::vector<LogLine> lines() const {
        std::vector<LogLine> result;
        std::ifstream file(folder_.path() / "latest.log");
        for (std::string text; std::getline(file, text);) {
            const std::size_t level = text.find("] ", text.find(']') + 1) + 2;
            std::string name = text.substr(level, 5);
            name.erase(name.find_last_not_of(' ') + 1);
            result.push_back({name, text.substr(level + 6)});
        }
        return result;
    }

  private:
    TempDir folder_;
};

} // namespace qv::launcher::test
