// Another program's open handle on a file, as the tests meet it: a virus scanner or indexer has a
// file open for a moment, sharing reading only, so that no one may write, rename or delete it
// meanwhile; a log viewer keeps one open sharing reading and writing, but not deletion.
#pragma once

#include <windows.h>

#include <filesystem>
#include <thread>

namespace qv::launcher::test {

class FileHold {
  public:
    explicit FileHold(const std::filesystem::path& file, DWORD sharing = FILE_SHARE_READ)
        : handle_(CreateFileW(file.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~FileHold() {
        if (releaser_.joinable()) releaser_.join();
        release();
    }
    FileHold(const FileHold&) = delete;
    FileHold& operator=(const FileHold&) = delete;

    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void release() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
    // Lets go after a moment, well within the time the operations wait for a holder.
    void releaseSoon() {
        releaser_ = std::thread([this] {
            Sleep(300);
            release();
        });
    }

  private:
    HANDLE handle_;
    std::thread releaser_;
};

} // namespace qv::launcher::test
