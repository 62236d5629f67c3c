// The Win32 side of the platform helpers: CreateProcessW with one quoted command line for new
// processes, GetModuleFileNameW for the launcher's own path, ShellExecuteW for the file manager,
// and the command line read back as UTF-16, since the narrow argv is in the ANSI code page.
#include "base/platform_os.h"

#include "base/win32/wide_text.h"

#include <windows.h>

#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>

namespace qv::launcher {

namespace {

// Frees what the shell allocated with LocalAlloc.
struct LocalBlock {
    void operator()(LPWSTR* block) const { LocalFree(block); }
};

bool holdsNul(const std::wstring& text) {
    return text.find(L'\0') != std::wstring::npos;
}

// The path with every name in its long form; the path itself when the system cannot tell.
std::wstring longForm(const std::wstring& path) {
    std::wstring buffer(path.size() + 1, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = GetLongPathNameW(path.c_str(), buffer.data(), size);
        if (n == 0) return path;
        if (n < size) {
            buffer.resize(n);
            return buffer;
        }
        buffer.assign(n, L'\0'); // n counts the final NUL here
    }
}

std::filesystem::path readSelfPath() {
    std::wstring buffer(1024, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (n == 0) return {};
        if (n < size) {
            buffer.resize(n);
            // Started through a short (8.3) path, the system names the program that way; a
            // self-update would then leave the new launcher under the short name alone.
            return std::filesystem::path(longForm(buffer));
        }
        // A result that fills the buffer was cut: try again with twice the room.
        buffer.assign(buffer.size() * 2, L'\0');
    }
}

} // namespace

unsigned long osStartProcess(const std::filesystem::path& executable,
                             const std::vector<std::filesystem::path>& arguments,
                             const std::filesystem::path& workingFolder, std::intptr_t* watched) {
    // A NUL would end the command line early and silently drop every argument after it.
    if (holdsNul(executable.native()) || holdsNul(workingFolder.native())) {
        return ERROR_INVALID_PARAMETER;
    }
    std::wstring line = quoteArgument(executable.native());
    for (const std::filesystem::path& argument : arguments) {
        if (holdsNul(argument.native())) return ERROR_INVALID_PARAMETER;
        line += L' ';
        line += quoteArgument(argument.native());
    }

    // CreateProcessW may write into the command line, so it gets a buffer of its own. The
    // application name is the exact file, so no search of the program path takes place; with
    // inheritance off the game receives none of the launcher's handles.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(executable.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_PROCESS_GROUP, nullptr, workingFolder.c_str(), &startup,
                        &process)) {
        const DWORD code = GetLastError();
        // The caller reads 0 as success; a failure without a code must not look like one.
        return code != 0 ? code : ERROR_GEN_FAILURE;
    }
    CloseHandle(process.hThread);
    if (watched != nullptr) {
        *watched = reinterpret_cast<std::intptr_t>(process.hProcess);
    } else {
        CloseHandle(process.hProcess);
    }
    return 0;
}

std::string osWatchProcess(std::intptr_t process, std::chrono::milliseconds bound) {
    const HANDLE handle = reinterpret_cast<HANDLE>(process);
    const auto milliseconds = bound.count() <= 0 ? 0 : bound.count();
    // INFINITE is a value of its own; a bound that long is kept just below it.
    const DWORD wait = milliseconds >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(milliseconds);
    DWORD code = 0;
    const bool ended =
        WaitForSingleObject(handle, wait) == WAIT_OBJECT_0 && GetExitCodeProcess(handle, &code);
    CloseHandle(handle);
    // A process the loader cannot finish (a DLL or an import that is not there, a bad image)
    // or that an exception ends carries the NTSTATUS error as its exit code: 0xC0000000 and
    // above. Programs' own exit codes stay below.
    if (!ended || code < 0xC0000000UL) return {};
    char text[32];
    std::snprintf(text, sizeof text, "status 0x%08lX", static_cast<unsigned long>(code));
    return text;
}

bool osRefusesProgram(unsigned long code) {
    // What CreateProcessW answers when the image itself will not run, now or at any later start:
    // not a program for this system, a file a scanner has found infected or has taken away,
    // no permission to run it, or blocked by a policy (Software Restriction, AppLocker,
    // Application Control, Smart App Control, a compatibility block), or a program that asks for
    // elevation: the launcher runs as the invoker, so a standard player could never start it.
    // Resources that ran short and a file held for a moment (32) are not among them.
    switch (code) {
    case ERROR_FILE_NOT_FOUND:            // 2: quarantined between the move and the start
    case ERROR_ACCESS_DENIED:             // 5: no execute right, or a policy refusal
    case ERROR_BAD_FORMAT:                // 11
    case 129:                             // ERROR_CHILD_NOT_COMPLETE: not a Win32 program
    case ERROR_INVALID_EXE_SIGNATURE:     // 191
    case ERROR_EXE_MARKED_INVALID:        // 192
    case ERROR_BAD_EXE_FORMAT:            // 193: not a Win32 application
    case ERROR_EXE_MACHINE_TYPE_MISMATCH: // 216: built for another processor
    case 225:                             // ERROR_VIRUS_INFECTED
    case 226:                             // ERROR_VIRUS_DELETED
    case 577:                             // ERROR_INVALID_IMAGE_HASH: code integrity
    case 740:                             // ERROR_ELEVATION_REQUIRED
    case ERROR_APPHELP_BLOCK:             // 1259
    case ERROR_ACCESS_DISABLED_BY_POLICY: // 1260: Software Restriction Policies, AppLocker
    case ERROR_FILE_CORRUPT:              // 1392
    case 4551:                            // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION
    case 4556:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_MALICIOUS
    case 4557:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_PUA
    case 4558:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_DANGEROUS_EXT
    case 4559:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_OFFLINE
    case 4580:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_UNFRIENDLY_FILE
    case 4581:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_UNATTAINABLE
    case 4582:                            // ERROR_SYSTEM_INTEGRITY_REPUTATION_EXPLICIT_DENY_FILE
    case ERROR_SXS_CANT_GEN_ACTCTX:       // 14001: a broken application manifest
        return true;
    default:
        return false;
    }
}

std::filesystem::path osSelfPath() {
    // Read once: self-update renames the running file, and the launcher's path must stay the
    // one it was started under whatever the host reports afterwards.
    static const std::filesystem::path path = readSelfPath();
    return path;
}

void osOpenFolder(const std::filesystem::path& folder) {
    // ShellExecuteW may hand the folder to a shell extension through COM, which must be
    // initialized on the calling thread first, as a single-threaded apartment without OLE1 DDE.
    // Once per thread; the launcher's windows run on this thread and pump its messages. A thread
    // already initialized otherwise keeps its mode, and the call goes ahead all the same.
    static thread_local bool comInitialized = false;
    if (!comInitialized) {
        comInitialized = true;
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    }
    ShellExecuteW(nullptr, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void osIgnoreBrokenPipe() {
    // Windows has no signal for a reader that has gone: the write itself fails with an error.
}

void osMakeExecutable(const std::filesystem::path&) {
    // Windows runs any file whose name ends in ".exe"; there is no permission to add.
}

std::vector<std::string> osCommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalBlock> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    if (wide == nullptr) {
        // Only lack of memory gets here; the narrow arguments are better than none, even if
        // characters outside the ANSI code page arrive as "?".
        for (int i = 1; i < argc; ++i)
            arguments.emplace_back(argv[i]);
        return arguments;
    }
    for (int i = 1; i < count; ++i)
        arguments.push_back(utf8FromWide(wide.get()[i]));
    return arguments;
}

} // namespace qv::launcher
