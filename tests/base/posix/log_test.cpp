// The log against real streams and a real folder: the console streams are redirected into
// files for the length of each test, and "latest.log" is read back from disk.
#include "base/log.h"
#include "base/log_os.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::launcher;
using namespace std::chrono_literals;

namespace {

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::set<std::string> names(const fs::path& folder) {
    std::set<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder))
        out.insert(entry.path().filename());
    return out;
}

// True when text has the shape, where '9' in the shape stands for any digit.
bool hasShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '9' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

// A right-aligned "%<width>.3f" of a small positive number.
bool isElapsedField(const std::string& field, std::size_t width) {
    const std::size_t digits = field.find_first_not_of(' ');
    if (field.size() != width || digits == std::string::npos || field.size() - digits < 5) {
        return false;
    }
    const std::string number = field.substr(digits);
    return hasShape(number, std::string(number.size() - 4, '9') + ".999");
}

const char* const datedShape = "9999-99-99_99-99-99.log";

// Standard output and error go to files while it lives, so the lines the log writes to the
// console can be read back exactly.
class ConsoleCapture {
  public:
    explicit ConsoleCapture(const fs::path& folder) : folder_(folder) {
        std::fflush(stdout);
        std::fflush(stderr);
        for (int fd = 1; fd <= 2; ++fd) {
            const fs::path file = folder_ / (fd == 1 ? "stdout" : "stderr");
            const int target = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            saved_[fd - 1] = dup(fd);
            dup2(target, fd);
            close(target);
        }
    }
    ~ConsoleCapture() { stop(); }

    void stop() {
        if (saved_[0] < 0) return;
        std::fflush(stdout);
        std::fflush(stderr);
        for (int fd = 1; fd <= 2; ++fd) {
            dup2(saved_[fd - 1], fd);
            close(saved_[fd - 1]);
            saved_[fd - 1] = -1;
        }
    }
    std::string out() const { return readText(folder_ / "stdout"); }
    std::string err() const { return readText(folder_ / "stderr"); }

  private:
    fs::path folder_;
    int saved_[2] = {-1, -1};
};

// Every test starts and ends with the log closed and quiet, since its state is process-wide.
class LogTest : public testing::Test {
  protected:
    void SetUp() override {
        closeLog();
        setLogVerbose(false);
        root_ = fs::temp_directory_path() /
                ("log_test-" + std::to_string(getpid()) + "-" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "console");
        logs_ = root_ / "logs";
        capture_ = std::make_unique<ConsoleCapture>(root_ / "console");
    }
    void TearDown() override {
        closeLog();
        setLogVerbose(false);
        capture_.reset();
        fs::remove_all(root_);
    }
    std::string latest() const { return readText(logs_ / "latest.log"); }
    void touch(const std::string& name, const std::string& text = "") const {
        std::ofstream(logs_ / name) << text;
    }

    fs::path root_;
    fs::path logs_;
    std::unique_ptr<ConsoleCapture> capture_;
};

// Splits a console line into its elapsed field and the rest with that field blanked.
void splitConsole(const std::string& line, std::string& elapsed, std::string& rest) {
    ASSERT_GT(line.size(), 14u) << line;
    elapsed = line.substr(6, 7);
    rest = line.substr(0, 6) + "#" + line.substr(13);
}

// Splits a file line into its wall-clock text, elapsed field and the rest.
void splitFile(const std::string& line, std::string& clock, std::string& elapsed,
               std::string& rest) {
    ASSERT_GT(line.size(), 26u) << line;
    clock = line.substr(1, 12);
    elapsed = line.substr(16, 8);
    rest = line.substr(0, 1) + "#" + line.substr(13, 3) + "#" + line.substr(24);
}

int secondsOfDay(const std::string& clock) {
    return std::stoi(clock.substr(0, 2)) * 3600 + std::stoi(clock.substr(3, 2)) * 60 +
           std::stoi(clock.substr(6, 2));
}

} // namespace

TEST_F(LogTest, LinesOfEveryLevelInTheConsoleAndFileFormats) {
    ASSERT_TRUE(openLog(logs_.c_str(), 5));
    logInfo("hello %d", 42);
    logWarn("careful: %s", "disk");
    logError("broken");
    logDebug("quiet");
    setLogVerbose(true);
    logDebug("loud");
    const std::time_t now = std::time(nullptr);
    closeLog();
    capture_->stop();

    const std::vector<std::string> out = lines(capture_->out());
    const std::vector<std::string> err = lines(capture_->err());
    const std::vector<std::string> file = lines(latest());
    ASSERT_EQ(out.size(), 3u);
    ASSERT_EQ(err.size(), 1u);
    ASSERT_EQ(file.size(), 5u);
    EXPECT_EQ(capture_->out().back(), '\n');

    const std::string consoleRest[] = {
        "\x1b[90m[#]\x1b[0m \x1b[36minfo \x1b[0m hello 42",
        "\x1b[90m[#]\x1b[0m \x1b[33mwarn \x1b[0m careful: disk",
        "\x1b[90m[#]\x1b[0m \x1b[90mdbg  \x1b[0m loud",
        "\x1b[90m[#]\x1b[0m \x1b[31merror\x1b[0m broken",
    };
    const std::string fileRest[] = {
        "[#] [#] info  hello 42", "[#] [#] warn  careful: disk", "[#] [#] error broken",
        "[#] [#] dbg   quiet",    "[#] [#] dbg   loud",
    };
    const std::vector<std::string> console = {out[0], out[1], out[2], err[0]};
    std::vector<std::string> consoleTimes;
    for (std::size_t i = 0; i < console.size(); ++i) {
        std::string elapsed, rest;
        splitConsole(console[i], elapsed, rest);
        EXPECT_EQ(rest, consoleRest[i]);
        EXPECT_TRUE(isElapsedField(elapsed, 7)) << elapsed;
        consoleTimes.push_back(elapsed);
    }

    std::tm local{};
    localtime_r(&now, &local);
    const int nowOfDay = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec;
    double previous = 0;
    std::vector<std::string> fileTimes;
    for (std::size_t i = 0; i < file.size(); ++i) {
        std::string clock, elapsed, rest;
        splitFile(file[i], clock, elapsed, rest);
        EXPECT_EQ(rest, fileRest[i]);
        ASSERT_TRUE(hasShape(clock, "99:99:99.999")) << clock;
        // Either side of the clock read may be the later one by a tick (the coarse clock of
        // time() lags the log's), and the day may turn between them.
        const int ahead = (nowOfDay - secondsOfDay(clock) + 86400) % 86400;
        const int skew = std::min(ahead, 86400 - ahead);
        EXPECT_LE(skew, 5) << clock << " is not the local time";
        EXPECT_TRUE(isElapsedField(elapsed, 8)) << elapsed;
        EXPECT_GE(std::stod(elapsed), previous);
        previous = std::stod(elapsed);
        fileTimes.push_back(elapsed.substr(1)); // one column wider than the console's
    }
    // The console and the file show the same reading for the same line.
    EXPECT_EQ(consoleTimes[0], fileTimes[0]);
    EXPECT_EQ(consoleTimes[1], fileTimes[1]);
    EXPECT_EQ(consoleTimes[2], fileTimes[4]);
    EXPECT_EQ(consoleTimes[3], fileTimes[2]);
}

TEST_F(LogTest, MessagesAreCutAt4095BytesAndBadFormatsGiveAnEmptyMessage) {
    ASSERT_TRUE(openLog(logs_.c_str(), 5));
    const std::string fits(4095, 'a');
    const std::string tooLong = std::string(4095, 'b') + "c";
    logInfo("%s", fits.c_str());
    logInfo("%s", tooLong.c_str());
    logWarn("%lc", static_cast<wint_t>(0x20AC)); // not representable in the "C" locale
    closeLog();
    capture_->stop();

    const std::vector<std::string> file = lines(latest());
    ASSERT_EQ(file.size(), 3u);
    // The message starts after "[hh:mm:ss.mmm] [ elapsed] " and the padded level and a blank.
    EXPECT_TRUE(file[0].substr(32) == fits) << file[0].size();
    EXPECT_TRUE(file[1].substr(32) == std::string(4095, 'b')) << file[1].size();
    EXPECT_EQ(file[2].substr(26), "warn  ");
    const std::vector<std::string> out = lines(capture_->out());
    ASSERT_EQ(out.size(), 3u);
    EXPECT_TRUE(out[1].ends_with("\x1b[0m " + std::string(4095, 'b'))) << out[1].size();
    EXPECT_TRUE(out[2].ends_with("warn \x1b[0m ")) << out[2];
}

TEST_F(LogTest, ControlBytesOfAMessageAreWrittenEscapedSoNoLineCanBeForged) {
    // Text from outside (a server URL from the command line, a path from a release) may carry
    // line breaks or terminal escapes; each line of the log must stay one line of its own.
    const struct {
        const char* message;
        const char* written;
    } cases[] = {
        {"http://a/\r\n[12:00:00.000] [   0.001] info  forged",
         "http://a/\\x0d\\x0a[12:00:00.000] [   0.001] info  forged"},
        {"tab\there\x1b[31mred\x7f", "tab\\x09here\\x1b[31mred\\x7f"},
        {"C:\\Games\\Corvanthe \xc3\xa9t\xc3\xa9", "C:\\Games\\Corvanthe \xc3\xa9t\xc3\xa9"},
    };
    ASSERT_TRUE(openLog(logs_.c_str(), 5));
    for (const auto& c : cases)
        logWarn("url %s", c.message);
    closeLog();
    capture_->stop();

    const std::vector<std::string> file = lines(latest());
    const std::vector<std::string> out = lines(capture_->out());
    ASSERT_EQ(file.size(), std::size(cases));
    ASSERT_EQ(out.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(file[i].substr(32), std::string("url ") + cases[i].written);
        EXPECT_TRUE(out[i].ends_with(std::string("\x1b[0m url ") + cases[i].written)) << out[i];
    }
}

TEST_F(LogTest, OnlyLinesWrittenWhileTheFileIsOpenReachIt) {
    EXPECT_STREQ(logFilePath(), "");
    logInfo("before opening");
    logDebug("before opening");
    ASSERT_TRUE(openLog(logs_.c_str(), 5));
    const std::string path = logFilePath();
    EXPECT_EQ(path, (logs_ / "latest.log").string());
    logInfo("while open");

    // A second opening changes nothing, whatever it names.
    const fs::path other = root_ / "other";
    EXPECT_TRUE(openLog(other.c_str(), 1));
    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(logFilePath(), path);

    closeLog();
    EXPECT_STREQ(logFilePath(), "");
    logInfo("after closing");
    capture_->stop();

    const std::vector<std::string> file = lines(latest());
    ASSERT_EQ(file.size(), 1u);
    EXPECT_NE(file[0].find("while open"), std::string::npos);
    EXPECT_EQ(names(logs_), std::set<std::string>{"latest.log"});
    EXPECT_EQ(lines(capture_->out()).size(), 3u);
}

TEST_F(LogTest, OpeningsThatCannotOpenAFileReturnFalseAndStayConsoleOnly) {
    const fs::path before = fs::current_path();
    fs::current_path(root_);
    EXPECT_FALSE(openLog(nullptr, 5));
    EXPECT_FALSE(openLog("", 5));
    EXPECT_EQ(names(root_), std::set<std::string>{"console"});
    fs::current_path(before);

    std::ofstream(root_ / "plain file") << "x";
    EXPECT_FALSE(openLog((root_ / "plain file").c_str(), 5));
    EXPECT_STREQ(logFilePath(), "");

    // A folder text that already ends in a separator gets none added.
    const std::string slashed = logs_.string() + "/";
    ASSERT_TRUE(openLog(slashed.c_str(), 5));
    EXPECT_EQ(std::string(logFilePath()), slashed + "latest.log");
}

TEST_F(LogTest, TheOpenFileIsNotInheritedByStartedPrograms) {
    ASSERT_TRUE(openLog(logs_.c_str(), 5));
    int found = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) != fs::canonical(logs_ / "latest.log")) continue;
        ++found;
        const int fd = std::stoi(entry.path().filename().string());
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
    EXPECT_EQ(found, 1);
}

TEST_F(LogTest, RotationMovesTheLastLogAsideAndKeepsTheNewestFive) {
    const std::vector<std::string> sevenDated = {
        "2020-01-01_10-00-00.log", "2020-01-02_10-00-00.log", "2020-01-03_10-00-00.log",
        "2020-01-04_10-00-00.log", "2020-01-05_10-00-00.log", "2020-01-06_10-00-00.log",
        "2020-01-07_10-00-00.log"};
    const struct {
        const char* what;
        int keep;
        std::vector<std::string> before; // besides "latest.log"
        std::vector<std::string> kept;   // besides "latest.log" and the newly dated file
    } cases[] = {
        {"seven dated logs",
         5,
         sevenDated,
         {"2020-01-04_10-00-00.log", "2020-01-05_10-00-00.log", "2020-01-06_10-00-00.log",
          "2020-01-07_10-00-00.log"}},
        {"other names",
         5,
         {"0early.log", "2020-01-01_10-00-00.log", "2020-01-02_10-00-00.log",
          "2020-01-03_10-00-00.log", "2020-01-04_10-00-00.log", "crash.log", "notes.txt", "OLD.LOG",
          "capital.LOG", ".log", "log", "latest.log.txt"},
         {"2020-01-02_10-00-00.log", "2020-01-03_10-00-00.log", "2020-01-04_10-00-00.log",
          "crash.log", "notes.txt", "OLD.LOG", "capital.LOG", ".log", "log", "latest.log.txt"}},
        {"keep 0 prunes nothing", 0, sevenDated, sevenDated},
        {"keep -1 prunes nothing", -1, sevenDated, sevenDated},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(logs_);
        fs::create_directories(logs_);
        for (const std::string& name : c.before)
            touch(name, name);
        touch("latest.log", "previous run\n");

        const std::time_t start = std::time(nullptr);
        ASSERT_TRUE(openLog(logs_.c_str(), c.keep));
        const std::time_t end = std::time(nullptr);
        closeLog();

        std::set<std::string> after = names(logs_);
        EXPECT_EQ(after.erase("latest.log"), 1u);
        EXPECT_EQ(latest(), "");
        std::string dated;
        for (const std::string& name : after) {
            if (readText(logs_ / name) == "previous run\n") dated = name;
        }
        ASSERT_TRUE(hasShape(dated, datedShape)) << "old latest.log became " << dated;
        // Named after this opening's local time.
        bool named = false;
        for (std::time_t t = start; t <= end; ++t) {
            std::tm local{};
            localtime_r(&t, &local);
            char expected[64];
            std::strftime(expected, sizeof expected, "%Y-%m-%d_%H-%M-%S.log", &local);
            named = named || dated == expected;
        }
        EXPECT_TRUE(named) << dated;
        after.erase(dated);
        EXPECT_EQ(after, std::set<std::string>(c.kept.begin(), c.kept.end()));
    }
}

TEST_F(LogTest, OpeningCreatesMissingFoldersAndRotatesNothingWithoutAnEarlierLog) {
    const fs::path nested = logs_ / "a" / "b";
    ASSERT_TRUE(openLog(nested.c_str(), 5));
    closeLog();
    EXPECT_EQ(names(nested), std::set<std::string>{"latest.log"});
}

TEST_F(LogTest, ASecondOpeningInTheSameSecondReplacesTheFirstsDatedLog) {
    fs::create_directories(logs_);
    for (int attempt = 0; attempt < 5; ++attempt) {
        // Start right after a second begins, so both openings almost surely share it.
        const std::time_t previous = std::time(nullptr);
        while (std::time(nullptr) == previous)
            std::this_thread::sleep_for(1ms);
        fs::remove_all(logs_);
        fs::create_directories(logs_);
        touch("latest.log", "the run before\n");

        const std::time_t first = std::time(nullptr);
        ASSERT_TRUE(openLog(logs_.c_str(), 5));
        logInfo("first opening");
        closeLog();
        ASSERT_TRUE(openLog(logs_.c_str(), 5));
        const std::time_t second = std::time(nullptr);
        closeLog();
        if (first != second) continue;

        std::set<std::string> after = names(logs_);
        EXPECT_EQ(after.size(), 2u);
        after.erase("latest.log");
        ASSERT_EQ(after.size(), 1u);
        const std::string dated = readText(logs_ / *after.begin());
        EXPECT_NE(dated.find("first opening"), std::string::npos);
        EXPECT_EQ(dated.find("the run before"), std::string::npos);
        return;
    }
    FAIL() << "could not fit two openings into one second";
}

TEST_F(LogTest, ConcurrentLinesNeverInterleaveAndKeepTheirOrder) {
    ASSERT_TRUE(openLog(logs_.c_str(), 5));
    constexpr int threads = 4;
    constexpr int perThread = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < perThread; ++i) {
                if (i % 3 == 0) setLogVerbose(i % 2 == 0);
                if (t % 2 == 0) {
                    logInfo("thread %d line %d %s", t, i, std::string(100, 'x').c_str());
                } else {
                    logDebug("thread %d line %d %s", t, i, std::string(100, 'y').c_str());
                }
            }
        });
    }
    for (std::thread& writer : writers)
        writer.join();
    closeLog();
    capture_->stop();

    const std::vector<std::string> file = lines(latest());
    ASSERT_EQ(file.size(), static_cast<std::size_t>(threads * perThread));
    std::vector<int> next(threads, 0);
    double previous = 0;
    for (const std::string& line : file) {
        ASSERT_GT(line.size(), 32u) << line;
        ASSERT_TRUE(hasShape(line.substr(0, 16), "[99:99:99.999] [")) << line;
        const std::string elapsed = line.substr(16, 8);
        ASSERT_TRUE(isElapsedField(elapsed, 8)) << line;
        EXPECT_GE(std::stod(elapsed), previous);
        previous = std::stod(elapsed);
        const std::string level = line.substr(24, 8);
        EXPECT_TRUE(level == "] info  " || level == "] dbg   ") << line;

        std::istringstream rest(line.substr(32));
        std::string word1, word2, payload;
        int t = -1, i = -1;
        rest >> word1 >> t >> word2 >> i >> payload;
        ASSERT_TRUE(word1 == "thread" && word2 == "line" && t >= 0 && t < threads) << line;
        EXPECT_EQ(i, next[t]++) << line;
        EXPECT_EQ(payload, std::string(100, t % 2 == 0 ? 'x' : 'y'));
        EXPECT_TRUE(rest.eof()) << line;
    }
    for (const std::string& line : lines(capture_->out())) {
        EXPECT_TRUE(line.find("thread") != std::string::npos && line.size() > 120) << line;
    }
}

TEST(LocalTime, AFailedConversionLeavesTheZeroedFieldsZero) {
    // A wall clock beyond what the calendar can hold must not stamp lines with a half-converted
    // time: the fields stay as zeroed, and the line reads 00:00:00.
    std::tm local{};
    EXPECT_FALSE(localTime(std::numeric_limits<std::time_t>::max(), local));
    EXPECT_EQ(local.tm_hour, 0);
    EXPECT_EQ(local.tm_min, 0);
    EXPECT_EQ(local.tm_sec, 0);
    EXPECT_EQ(local.tm_year, 0);
    EXPECT_EQ(local.tm_mday, 0);

    const std::time_t now = std::time(nullptr);
    std::tm expected{};
    localtime_r(&now, &expected);
    ASSERT_TRUE(localTime(now, local));
    EXPECT_EQ(local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec,
              expected.tm_hour * 3600 + expected.tm_min * 60 + expected.tm_sec);
    EXPECT_EQ(local.tm_yday, expected.tm_yday);
}

// A log folder this process may not write, an earlier run's latest.log in it that may not be
// written either: the opening is refused at once and the lines reach the console only.
TEST_F(LogTest, ALogFolderThatMayNotBeWrittenGivesTheConsoleOnly) {
    fs::create_directories(logs_);
    touch("latest.log", "an earlier run\n");
    const std::string folder = logs_.string();
    const std::string both = "'" + folder + "/latest.log' '" + folder + "'";
    if (std::system(("chattr +i " + both + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "chattr +i is refused here (needs root and ext4)";
    const bool opened = openLog(logs_.c_str(), 5);
    logInfo("console only");
    closeLog();
    std::system(("chattr -i " + both).c_str());
    capture_->stop();
    EXPECT_FALSE(opened);
    EXPECT_EQ(names(logs_), std::set<std::string>{"latest.log"});
    EXPECT_EQ(latest(), "an earlier run\n");
    EXPECT_NE(capture_->out().find("console only"), std::string::npos);
}
