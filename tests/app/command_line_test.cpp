// The command line as the launcher reads it, and the arguments a self-update restart hands on.
#include "app/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace qv::launcher {
namespace {

using Args = std::vector<std::string>;

struct Case {
    const char* name;
    Args args;
    bool serverGiven;
    std::string server;
    bool install;
    bool verify;
    bool selfUpdate;
    double shotTime;
    std::string shotPath;
};

// A case reads as its arguments in ctest's and the test's own output, not as a memory dump.
void PrintTo(const Case& c, std::ostream* out) {
    *out << "[";
    for (std::size_t i = 0; i < c.args.size(); ++i)
        *out << (i ? " " : "") << c.args[i];
    *out << "]";
}

class CommandLineTable : public testing::TestWithParam<Case> {};

TEST_P(CommandLineTable, ReadsOptions) {
    const Case& c = GetParam();
    const CommandLine line = parseCommandLine(c.args);
    EXPECT_EQ(line.serverGiven, c.serverGiven);
    EXPECT_EQ(line.server, c.server);
    EXPECT_EQ(line.installRequested, c.install);
    EXPECT_EQ(line.verifyPending, c.verify);
    EXPECT_EQ(line.allowSelfUpdate, c.selfUpdate);
    EXPECT_DOUBLE_EQ(line.shotTime, c.shotTime);
    EXPECT_EQ(line.shotPath, c.shotPath);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CommandLineTable,
    testing::Values(
        Case{"none", {}, false, "", false, false, true, -1.0, ""},
        Case{"server",
             {"--server", "http://127.0.0.1:9/x/"},
             true,
             "http://127.0.0.1:9/x/",
             false,
             false,
             true,
             -1.0,
             ""},
        Case{"serverLastIsIgnored",
             {"--install", "--server"},
             false,
             "",
             true,
             false,
             true,
             -1.0,
             ""},
        Case{"serverTakesNextWhateverItIs",
             {"--server", "--install"},
             true,
             "--install",
             false,
             false,
             true,
             -1.0,
             ""},
        Case{"emptyServerValue", {"--server", ""}, true, "", false, false, true, -1.0, ""},
        Case{"lastServerWins",
             {"--server", "a", "--server", "b"},
             true,
             "b",
             false,
             false,
             true,
             -1.0,
             ""},
        Case{"installAndVerify", {"--verify", "--install"}, false, "", true, true, true, -1.0, ""},
        Case{"noSelfUpdate", {"--no-self-update"}, false, "", false, false, false, -1.0, ""},
        Case{"updated", {"--updated"}, false, "", false, false, false, -1.0, ""},
        Case{"shotSeconds", {"--shot", "5"}, false, "", false, false, true, 5.0, "launcher.png"},
        Case{"shotSecondsAndFile",
             {"--shot", "2.5:out.png"},
             false,
             "",
             false,
             false,
             true,
             2.5,
             "out.png"},
        Case{"shotFileOnly", {"--shot", ":x.png"}, false, "", false, false, true, 0.0, "x.png"},
        Case{"shotNotANumber",
             {"--shot", "abc"},
             false,
             "",
             false,
             false,
             true,
             0.0,
             "launcher.png"},
        Case{"shotFileKeepsLaterColons",
             {"--shot", "1:a:b.png"},
             false,
             "",
             false,
             false,
             true,
             1.0,
             "a:b.png"},
        Case{"shotColonWithoutFile",
             {"--shot", "3:"},
             false,
             "",
             false,
             false,
             true,
             3.0,
             "launcher.png"},
        Case{"shotLastIsIgnored", {"--shot"}, false, "", false, false, true, -1.0, ""},
        Case{"lastShotWins",
             {"--shot", "1:a.png", "--shot", "2"},
             false,
             "",
             false,
             false,
             true,
             2.0,
             "launcher.png"},
        Case{"caseAndPrefixMatter",
             {"--INSTALL", "--install-now", "-install", "--fast"},
             false,
             "",
             false,
             false,
             true,
             -1.0,
             ""}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(RestartArguments, DropEveryUpdatedAndKeepTheRestInOrder) {
    EXPECT_EQ(restartArguments({"a", "--updated", "b", "--updated"}), (Args{"a", "b"}));
    EXPECT_EQ(restartArguments({"--fast", "--server", "--updated", "--shot", "1:x.png"}),
              (Args{"--fast", "--server", "--shot", "1:x.png"}));
    EXPECT_EQ(restartArguments({}), Args{});
}

TEST(RestartArguments, KeepEmptyArgumentsInPlace) {
    EXPECT_EQ(restartArguments({"--install", "--updated", ""}), (Args{"--install", ""}));
}

} // namespace
} // namespace qv::launcher
