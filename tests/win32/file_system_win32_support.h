#pragma once
// Shared by the Windows file-system tests: a stand-in put into a seam for one scope, an old JPEG
// that can be renamed but not deleted, the files a removal left aside, and what the file system
// grants.
#include <windows.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

// A stand-in in a seam of platform/win32/file_system_seams.h until the scope ends.
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

// A copy of this test program mapped as an image, as Windows maps a running program.
class ImageInUse {
  public:
    explicit ImageInUse(const std::wstring& path) {
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        CopyFileW(self, path.c_str(), FALSE);
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
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

  private:
    HANDLE mapping_ = nullptr;
    void* view_ = nullptr;
};

inline std::vector<std::wstring> AsideFiles(const TempFolder& folder) {
    std::vector<std::wstring> found;
    WIN32_FIND_DATAW data{};
    const HANDLE search = FindFirstFileW((folder / L"~heic-to-jpeg-*.deleting").c_str(), &data);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &data)) {
        found.push_back(folder / data.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return found;
}

inline BOOL WINAPI RefusedMove(LPCWSTR, LPCWSTR, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// Whether the folder's file system grants what a removal asks first: deletion with POSIX
// semantics (read-only ignored) of a plain file, or of a program in use. NTFS on recent Windows
// grants it; Wine, FAT and shares refuse.
inline bool PosixDeletionGranted(const TempFolder& folder, bool inUse) {
    const std::wstring probe = folder / L"posix-probe";
    auto image = inUse ? std::make_unique<ImageInUse>(probe) : nullptr;
    if (!inUse) WriteTestFile(probe, "x");
    const HANDLE file = CreateFileW(probe.c_str(), DELETE, 7, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD flags = 0x13;  // delete, POSIX semantics, ignore the read-only attribute
    const bool granted =
        SetFileInformationByHandle(file, static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &flags,
                                   sizeof flags) != FALSE;
    CloseHandle(file);
    image.reset();
    DeleteFileW(probe.c_str());
    return granted;
}
