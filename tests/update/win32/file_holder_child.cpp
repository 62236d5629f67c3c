// Holds a file the way a virus scanner or an indexer holds a new or changed file for a moment:
// open for reading, sharing reading only, so that no other program may write, rename or delete
// it meanwhile.
//
//   file_holder_child FILE REPORT TRIGGER EXTRA_MS
//
// Once FILE is held, REPORT says "held"; the hold lasts until TRIGGER exists and EXTRA_MS
// milliseconds more, then REPORT says "released". Exit code 1 when FILE cannot be opened.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void report(const char* path, const char* text) {
    if (std::FILE* file = std::fopen(path, "wb")) {
        std::fputs(text, file);
        std::fclose(file);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: file_holder_child FILE REPORT TRIGGER EXTRA_MS\n");
        return 2;
    }
    const HANDLE held = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        report(argv[2], ("cannot open: error " + std::to_string(GetLastError())).c_str());
        return 1;
    }
    report(argv[2], "held");
    while (GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES)
        Sleep(5);
    Sleep(static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10)));
    CloseHandle(held);
    report(argv[2], "released");
    return 0;
}
