#pragma once
// What the Windows file-system tests share: a stand-in put into one of the primitives' seams for
// one scope, an old JPEG that can be renamed but not deleted, and the files a removal moved aside.
#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

// Puts a stand-in into a seam of platform/win32/file_system_seams.h and the system's own call
// back when the scope ends.
template <typename Function>
class SeamScope {
  public:
    SeamScope(Function& slot, Function standIn) : slot_(slot), saved_(slot) { slot_ = standIn; }
    ~SeamScope() { slot_ = saved_; }
    SeamScope(const SeamScope&) = delete;
    SeamScope& operator=(const SeamScope&) = delete;

  private:
    Function& slot_;
    Function saved_;
};

// A copy of this test program mapped as an image, as Windows maps a running program: the file can
// be renamed but not deleted while the view stands, on Windows and under Wine alike.
class ImageInUse {
  public:
    explicit ImageInUse(const std::wstring& path) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (!CopyFileW(self, path.c_str(), FALSE)) throw std::runtime_error("CopyFileW failed");
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
        mapping_ = CreateFileMappingW(file, nullptr, PAGE_READONLY | SEC_IMAGE, 0, 0, nullptr);
        CloseHandle(file);
        view_ = mapping_ != nullptr ? MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0) : nullptr;
        if (view_ == nullptr) throw std::runtime_error("the image could not be mapped");
    }
    ~ImageInUse() {
        UnmapViewOfFile(view_);
        CloseHandle(mapping_);
    }
    ImageInUse(const ImageInUse&) = delete;
    ImageInUse& operator=(const ImageInUse&) = delete;

  private:
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
};

// The full paths of the files a removal left aside in the folder.
inline std::vector<std::wstring> AsideFiles(const TempFolder& folder) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data{};
    const HANDLE search = FindFirstFileW((folder / L"~heic-to-jpeg-*.deleting").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return found;
    do {
        found.push_back(folder / data.cFileName);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return found;
}

// A move that the system refuses, for the move back of a removal.
inline BOOL WINAPI RefusedMove(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Asks the folder's file system what the removal of an old JPEG first asks of it: a deletion with
// POSIX semantics through a handle, read-only attribute ignored; `inUse`: of a copy of this
// program mapped as an image. NTFS on recent Windows grants it, Wine and FAT refuse it.
inline bool PosixDeletionGranted(const TempFolder& folder, bool inUse) {
    const std::wstring probe = folder / L"posix-probe";
    std::unique_ptr<ImageInUse> image;
    if (inUse) {
        image = std::make_unique<ImageInUse>(probe);
    } else {
        WriteTestFile(probe, "x");
    }
    const HANDLE file = CreateFileW(probe.c_str(), DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD flags = 0x1 | 0x2 | 0x10;  // delete, POSIX semantics, ignore the read-only attribute
    const bool granted =
        file != INVALID_HANDLE_VALUE &&
        SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &flags,
                                   sizeof flags) != FALSE;
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    image.reset();
    DeleteFileW(probe.c_str());
    return granted;
}
