// The Win32 process and shell helpers against the system itself: the command line that
// startProcess writes is split back by CommandLineToArgvW, a real child reports what it
// received, a program that cannot start gives the system's error number, and opening a folder
// reaches the handler registered for folders without waiting for it.
#include "base/platform.h"
#include "base/platform_os.h"

#include "../../support/temp_dir.h"
#include "report_file.h"

#include <windows.h>

#include <objbase.h>

#include <shellapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::launcher;

namespace {

// The helper programs are built beside the test program.
fs::path helperProgram(const wchar_t* name) {
    std::wstring own(32768, L'\0');
    own.resize(GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
    return fs::path(own).parent_path() / name;
}

struct ChildReport {
    std::vector<std::string> arguments;
    std::string cwd;
    std::string self;
    bool inherited = true;
};

bool readChildReport(const fs::path& folder, ChildReport& report) {
    std::string text;
    if (!test::readReport(folder / L"report", text)) return false;
    std::istringstream lines(text);
    std::string key;
    std::string value;
    while (lines >> key) {
        if (lines.peek() == ' ') lines.get();
        std::getline(lines, value);
        if (key == "arg") report.arguments.push_back(test::unhexText(value));
        if (key == "cwd") report.cwd = test::unhexText(value);
        if (key == "self") report.self = test::unhexText(value);
        if (key == "inherited") report.inherited = value != "0";
    }
    return true;
}

// A copy of the report child in a folder whose name needs quoting and is not ASCII, so the
// application name and the first element of the command line are tested with it.
fs::path copyChild(const fs::path& folder) {
    const fs::path place = folder / u8"child dir \u00fc";
    fs::create_directories(place);
    const fs::path child = place / L"process_report_child.exe";
    fs::copy_file(helperProgram(L"process_report_child.exe"), child);
    return child;
}

void setVariable(const wchar_t* name, const std::wstring& value) {
    SetEnvironmentVariableW(name, value.empty() ? nullptr : value.c_str());
}

} // namespace

TEST(QuoteArgument, TheSystemSplitsTheCommandLineBackIntoTheArguments) {
    const std::vector<std::wstring> arguments = {
        L"",
        L"plain",
        L"two words",
        L"tab\there",
        L"ends in\\",
        L"ends in two\\\\",
        L"C:\\Program Files\\Corvanthe\\",
        L"say \"hi\"",
        L"a\\\"b",
        L"\"",
        L"\\\\server\\share",
        L"line\nbreak",
        L"  ",
        L"\u6587\u5b57 \u00fc",
        L"--server=http://127.0.0.1:8080/x y/",
    };
    std::wstring line = L"prog.exe";
    for (const std::wstring& argument : arguments)
        line += L" " + quoteArgument(argument);

    int count = 0;
    LPWSTR* split = CommandLineToArgvW(line.c_str(), &count);
    ASSERT_NE(split, nullptr);
    const std::unique_ptr<LPWSTR, decltype(&LocalFree)> owned(split, &LocalFree);
    ASSERT_EQ(count, static_cast<int>(arguments.size()) + 1) << "line: " << line.size();
    for (std::size_t i = 0; i < arguments.size(); ++i)
        EXPECT_EQ(split[i + 1], arguments[i]) << "argument " << i;
}

TEST(StartProcess, TheChildReceivesEveryArgumentInTheWorkingFolderAndNoHandle) {
    test::TempDir temp("platform_win32_test-");
    const fs::path child = copyChild(temp.path());
    const fs::path folder = temp.path() / u8"w\u00f6rk \u6587";
    fs::create_directories(folder);

    // An inheritable handle of ours that the child must not receive.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    const fs::path probe = temp.path() / L"probe-handle.txt";
    const HANDLE handle = CreateFileW(probe.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    setVariable(L"CORVANTHE_PROBE_HANDLE",
                std::to_wstring(reinterpret_cast<std::uintptr_t>(handle)));
    setVariable(L"CORVANTHE_PROBE_NAME", L"probe-handle.txt");

    const std::vector<std::string> arguments = {
        "",
        "two words",
        "say \"hi\"",
        "ends in\\",
        "ends in two\\\\",
        "tab\there",
        "\"\\\"",
        "a\\\\b\\\"c",
        "--updated",
        reinterpret_cast<const char*>(u8"\u6587\u5b57-\u00fc \U0001F600"),
    };
    std::string error = "untouched";
    const bool started = startProcess(child, arguments, folder, error);
    setVariable(L"CORVANTHE_PROBE_HANDLE", L"");
    setVariable(L"CORVANTHE_PROBE_NAME", L"");
    ASSERT_TRUE(started) << error;
    EXPECT_EQ(error, "untouched");

    ChildReport report;
    ASSERT_TRUE(readChildReport(folder, report));
    CloseHandle(handle);
    EXPECT_EQ(report.arguments, arguments);
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(report.cwd), folder)) << report.cwd;
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(report.self), child)) << report.self;
    EXPECT_FALSE(report.inherited);
}

TEST(SelfPath, StaysTheStartPathAfterTheRunningProgramIsRenamed) {
    // Windows lets a running program be renamed though not deleted, which is what self-update
    // relies on; the launcher's own path must not follow the rename.
    test::TempDir temp("platform_win32_test-");
    const fs::path child = copyChild(temp.path());
    setVariable(L"CORVANTHE_CHILD_RENAME_SELF", L".old");
    std::string error;
    const bool started = startProcess(child, {}, temp.path(), error);
    setVariable(L"CORVANTHE_CHILD_RENAME_SELF", L"");
    ASSERT_TRUE(started) << error;

    ChildReport report;
    ASSERT_TRUE(readChildReport(temp.path(), report));
    EXPECT_EQ(pathFromUtf8(report.self), child);
    EXPECT_FALSE(fs::exists(child));
    EXPECT_TRUE(fs::exists(fs::path(child) += L".old"));
}

TEST(SelfPath, IsTheLongFormWhenStartedThroughAShortPath) {
    // A self-update renames the files named after the launcher's own path: the short form
    // would leave the new launcher under the 8.3 name alone. In the user's profile, on the
    // system's drive, where the system keeps 8.3 names (wine keeps them there, not on drives
    // it maps to the host's folders).
    std::wstring profile(32768, L'\0');
    profile.resize(GetEnvironmentVariableW(L"USERPROFILE", profile.data(),
                                           static_cast<DWORD>(profile.size())));
    ASSERT_FALSE(profile.empty());
    test::TempDir temp("platform_win32_test-", profile);
    const fs::path child = copyChild(temp.path() / L"a folder with a long name");
    std::wstring shortForm(32768, L'\0');
    shortForm.resize(
        GetShortPathNameW(child.c_str(), shortForm.data(), static_cast<DWORD>(shortForm.size())));
    ASSERT_FALSE(shortForm.empty());
    ASSERT_NE(fs::path(shortForm).filename(), child.filename()) << "no 8.3 names here";
    std::string error;
    ASSERT_TRUE(startProcess(shortForm, {}, temp.path(), error)) << error;

    ChildReport report;
    ASSERT_TRUE(readChildReport(temp.path(), report));
    const fs::path self = pathFromUtf8(report.self);
    EXPECT_EQ(self.filename(), child.filename()) << report.self;
    EXPECT_EQ(self.parent_path().filename(), child.parent_path().filename()) << report.self;
    EXPECT_TRUE(fs::equivalent(self, child)) << report.self;
}

TEST(StartProcess, TellsAFileTheSystemRefusesAsAProgramFromOtherFailures) {
    test::TempDir temp("platform_win32_test-");
    const fs::path text = temp.path() / L"not a program.exe";
    {
        std::FILE* file = _wfopen(text.c_str(), L"wb");
        ASSERT_NE(file, nullptr);
        std::fputs("a text, not a program\n", file);
        std::fclose(file);
    }
    const struct {
        fs::path executable;
        std::vector<std::string> arguments;
        const char* error;
        bool refused;
    } cases[] = {
        {text, {}, "could not start not a program.exe (error 193)", true},
        // Taken away (as a scanner's quarantine does) between its placing and its start.
        {temp.path() / L"missing.exe", {}, "could not start missing.exe (error 2)", true},
        // Not the file's fault: a bad argument.
        {helperProgram(L"process_report_child.exe"),
         {std::string("cut\0short", 9)},
         "could not start process_report_child.exe (error 87)",
         false},
    };
    for (const auto& c : cases) {
        std::string error;
        bool refused = !c.refused;
        EXPECT_FALSE(startProcess(c.executable, c.arguments, temp.path(), error, &refused));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(refused, c.refused) << c.error;
    }
}

// The refusals that no later start gets past (a policy's, a program for another system or one
// that asks for elevation, which a player's launcher cannot give), and ones that pass.
TEST(StartProcess, OnlyRefusalsThatLastAreTheFilesFault) {
    for (const unsigned long lasting :
         {2ul, 5ul, 129ul, 193ul, 740ul, 1260ul, 4551ul, 4559ul, 4580ul, 4581ul, 4582ul, 14001ul})
        EXPECT_TRUE(osRefusesProgram(lasting)) << lasting;
    // Held for a moment, short of memory or handles, a bad argument.
    for (const unsigned long passing : {8ul, 14ul, 32ul, 87ul, 1450ul})
        EXPECT_FALSE(osRefusesProgram(passing)) << passing;
}

TEST(StartProcess, FailuresNameTheFileAndTheSystemsErrorNumber) {
    test::TempDir temp("platform_win32_test-");
    const fs::path child = helperProgram(L"process_report_child.exe");
    const struct {
        fs::path executable;
        std::vector<std::string> arguments;
        fs::path folder;
        std::string error;
    } cases[] = {
        {temp.path() / L"missing.exe", {}, temp.path(), "could not start missing.exe (error 2)"},
        {temp.path() / L"no folder" / L"missing.exe",
         {},
         temp.path(),
         "could not start missing.exe (error 3)"},
        // A NUL would cut the command line short and drop the arguments after it.
        {child,
         {std::string("cut\0short", 9), "next"},
         temp.path(),
         "could not start process_report_child.exe (error 87)"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(startProcess(c.executable, c.arguments, c.folder, error));
        EXPECT_EQ(error, c.error);
    }
    // A working folder that does not exist: the start fails, whatever the system calls it.
    std::string error;
    EXPECT_FALSE(startProcess(child, {}, temp.path() / L"gone", error));
    EXPECT_EQ(error.rfind("could not start process_report_child.exe (error ", 0), 0u) << error;
    EXPECT_FALSE(fs::exists(temp.path() / L"gone" / L"report"));
}

// Registers the recorder as the handler for opening folders for the test's lifetime, in place
// of the file manager, which would stay running after the test. Windows reads a user's own
// handler from HKCU; wine's class root is HKLM's alone, and there the keys belong to the test's
// own prefix. Wine also offers a folder to its file manager by DDE first, which asks every
// window on the desktop and can take many seconds while other tests have windows open; that
// key is set aside while the test runs.
class FolderHandler {
  public:
    FolderHandler() {
        const bool wine =
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
        root_ = wine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        // A handler set up by someone else is left alone; the test then has nothing to record
        // with.
        HKEY existing = nullptr;
        if (RegOpenKeyExW(root_, kCommand, 0, KEY_READ, &existing) == ERROR_SUCCESS) {
            RegCloseKey(existing);
            return;
        }
        const std::wstring command =
            L"\"" + helperProgram(L"folder_recorder_child.exe").native() + L"\" \"%1\"";
        registered_ = RegSetKeyValueW(root_, kCommand, nullptr, REG_SZ, command.c_str(),
                                      static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) ==
                      ERROR_SUCCESS;
        if (registered_ && wine) ddeSetAside_ = moveKey(kDde, kDdeKept);
    }
    ~FolderHandler() {
        if (ddeSetAside_ && moveKey(kDdeKept, kDde)) {
            RegDeleteKeyW(root_, L"Software\\Corvanthe tests");
        }
        if (registered_) RegDeleteKeyW(root_, kCommand);
    }
    bool registered() const { return registered_; }

  private:
    bool moveKey(const wchar_t* from, const wchar_t* to) {
        HKEY source = nullptr;
        if (RegOpenKeyExW(root_, from, 0, KEY_READ, &source) != ERROR_SUCCESS) return false;
        HKEY target = nullptr;
        bool moved = RegCreateKeyExW(root_, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target,
                                     nullptr) == ERROR_SUCCESS;
        moved = moved && RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
        if (target != nullptr) RegCloseKey(target);
        RegCloseKey(source);
        return moved && RegDeleteTreeW(root_, from) == ERROR_SUCCESS;
    }

    static constexpr const wchar_t* kCommand = L"Software\\Classes\\Folder\\shell\\open\\command";
    static constexpr const wchar_t* kDde = L"Software\\Classes\\Folder\\shell\\open\\ddeexec";
    static constexpr const wchar_t* kDdeKept = L"Software\\Corvanthe tests\\folder ddeexec";
    HKEY root_ = nullptr;
    bool registered_ = false;
    bool ddeSetAside_ = false;
};

TEST(OpenFolder, HandsTheFolderToTheRegisteredHandlerAndReturns) {
    FolderHandler handler;
    if (!handler.registered()) GTEST_SKIP() << "a folder handler is set up already";
    test::TempDir temp("platform_win32_test-");
    const fs::path folder = temp.path() / u8"open me \u00e9";
    fs::create_directories(folder);

    openFolder(folder);
    std::string text;
    ASSERT_TRUE(test::readReport(folder / L"opened", text));
    EXPECT_TRUE(fs::equivalent(pathFromUtf8(test::unhexText(text)), folder));
    // The shell's call found COM initialized on this thread as a single-threaded apartment: a
    // second initialization in that mode is only counted (S_FALSE).
    const HRESULT again =
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    EXPECT_EQ(again, S_FALSE);
    if (SUCCEEDED(again)) CoUninitialize();
}
