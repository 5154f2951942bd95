// The Windows file-system primitives: the system's own calls, answered by their error codes.
// Every path reaches them through SystemPath, in the "\\?\" form of its full path.
#include <windows.h>

#include <string_view>
#include <vector>

#include "platform/file_system_host.h"
#include "platform/win32/file_system_seams.h"
#include "platform/windows_path_text.h"

namespace {

// GetLastError after a failure, never 0: a failure must not read as success.
std::uint32_t LastError() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

class HandleOwner {
  public:
    explicit HandleOwner(HANDLE handle) : handle_(handle) {}
    ~HandleOwner() {
        if (valid()) CloseHandle(handle_);
    }
    HandleOwner(const HandleOwner&) = delete;
    HandleOwner& operator=(const HandleOwner&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

class FindOwner {
  public:
    explicit FindOwner(const std::wstring& path) : handle_(FindFirstFileW(path.c_str(), &data_)) {}
    ~FindOwner() {
        if (found()) FindClose(handle_);
    }
    FindOwner(const FindOwner&) = delete;
    FindOwner& operator=(const FindOwner&) = delete;

    bool found() const { return handle_ != INVALID_HANDLE_VALUE; }
    const WIN32_FIND_DATAW& data() const { return data_; }

  private:
    WIN32_FIND_DATAW data_{};
    HANDLE handle_;
};

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Typed in the "\\?\" or "\\.\" namespace: only such a path may name a device on purpose.
bool IsNamespacePath(std::wstring_view path) {
    return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
           (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]);
}

HANDLE ToHandle(host::FileHandle file) {
    return reinterpret_cast<HANDLE>(file);
}

// Opens whatever the path finally leads to (links followed), for its attributes and identity
// only: no access asked, every sharing allowed, folders too.
HANDLE OpenForQuery(const std::wstring& systemPath) {
    return CreateFileW(systemPath.c_str(), 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The information class of FILE_DISPOSITION_INFO_EX, which mingw-w64 names only for a newer
// _WIN32_WINNT than ours; Microsoft's FILE_INFO_BY_HANDLE_CLASS numbers it 21.
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;
struct DispositionEx {
    DWORD flags;
};

// POSIX semantics take the name away as soon as this handle closes, even while other programs
// still hold the file open, so nothing is moved aside. NTFS on Windows 10 1809 and later does
// it; FAT32, exFAT, network shares, older Windows and Wine refuse it.
bool DeleteWithPosixSemantics(HANDLE file, DWORD moreFlags) {
    DispositionEx disposition{kDispositionDelete | kDispositionPosixSemantics | moreFlags};
    return SetFileInformationByHandle(file, kFileDispositionInfoEx, &disposition,
                                      sizeof disposition) != FALSE;
}

// Marks a file that this run created for deletion through its own handle, before that handle
// closes: its name is free at once where POSIX semantics are granted, otherwise once the last
// handle lets go. Nothing else that came to stand under the name is touched.
void DeleteOwnFile(HANDLE file) {
    if (DeleteWithPosixSemantics(file, 0)) return;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

EntryKind KindOf(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::directory
                                                        : EntryKind::regularFile;
}

std::uint32_t FullPathName(const std::wstring& path, std::wstring& result) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD room = static_cast<DWORD>(buffer.size());
        const DWORD answer = GetFullPathNameW(path.c_str(), room, buffer.data(), nullptr);
        if (answer == 0) return LastError();
        if (answer < room) {
            result.assign(buffer.data(), answer);
            return ERROR_SUCCESS;
        }
        // Too small: the answer is the room needed, its terminating NUL included.
        buffer.assign(answer, L'\0');
    }
}

// The last element of a full path in the "\\?\" form, where "\" alone separates.
std::wstring_view LastElement(std::wstring_view systemPath) {
    return systemPath.substr(systemPath.find_last_of(L'\\') + 1);
}

BOOL DeleteEntry(const std::wstring& path, DWORD attributes) {
    // A folder link is removed as a folder, which removes the link and leaves its target.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str())
                                                        : DeleteFileW(path.c_str());
}

// Read-only entries are removed too: the attribute is cleared for the retry and put back if the
// entry still stands.
std::uint32_t DeleteEvenReadOnly(const std::wstring& path, DWORD attributes) {
    if (DeleteEntry(path, attributes)) return ERROR_SUCCESS;
    const std::uint32_t error = LastError();
    if (error != ERROR_ACCESS_DENIED || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return error;
    DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable == 0) writable = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileAttributesW(path.c_str(), writable)) return error;
    if (DeleteEntry(path, attributes)) return ERROR_SUCCESS;
    const std::uint32_t retryError = LastError();
    SetFileAttributesW(path.c_str(), attributes);
    return retryError;
}

// Where the file system refuses POSIX semantics, a file that another program holds open with
// delete sharing (a viewer, the indexer, a sync client) is only marked for deletion, and its name
// stays taken until that program lets go. Moved aside first, under a name of its own in the same
// folder, it frees the name at once and still goes away once it is let go. One that cannot be
// deleted goes back under its name; when that fails too, `aside` tells where it is.
std::uint32_t MoveAsideAndDelete(const std::wstring& systemPath, DWORD attributes,
                                 std::wstring* aside) {
    static unsigned counter = 0;
    const std::wstring folder(systemPath.substr(0, systemPath.find_last_of(L'\\') + 1));
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::wstring asidePath = folder + L"~heic-to-jpeg-" +
                                       std::to_wstring(GetCurrentProcessId()) + L"-" +
                                       std::to_wstring(++counter) + L".deleting";
        if (!MoveFileExW(systemPath.c_str(), asidePath.c_str(), 0)) {
            const std::uint32_t error = LastError();
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) continue;
            return error;
        }
        const std::uint32_t error = DeleteEvenReadOnly(asidePath, attributes);
        if (error != ERROR_SUCCESS &&
            !host::seams::moveBack(asidePath.c_str(), systemPath.c_str(), 0) && aside != nullptr) {
            *aside = UsualPathForm(asidePath);
        }
        return error;
    }
    return ERROR_ALREADY_EXISTS;
}

// The entry itself is opened (a link, not its target), with every sharing, so that a viewer's
// open file does not refuse it; one that another program writes refuses the open with
// ERROR_SHARING_VIOLATION.
std::uint32_t RemoveFile(const std::wstring& systemPath, DWORD attributes, std::wstring* aside) {
    {
        const HandleOwner entry(CreateFileW(
            systemPath.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!entry.valid()) {
            const std::uint32_t error = LastError();
            return host::IsNotFoundError(error) ? ERROR_SUCCESS : error;
        }
        if (DeleteWithPosixSemantics(entry.get(), kDispositionIgnoreReadOnly)) {
            return ERROR_SUCCESS;  // the name goes as the handle closes
        }
    }
    return MoveAsideAndDelete(systemPath, attributes, aside);
}

}  // namespace

// GetFullPathNameW reads a last element such as aux.heic or nul.jpg as a device (\\.\aux) in any
// folder on Windows 10. A photo of that name is a file like any other: its folder is made full
// without it, and the name is put back as Windows reads any last element.
std::uint32_t host::FullPath(const std::wstring& path, std::wstring& result) {
    if (const std::uint32_t error = FullPathName(path, result); error != ERROR_SUCCESS)
        return error;
    if (!IsNamespacePath(result) || IsNamespacePath(path)) return ERROR_SUCCESS;

    std::size_t cut = path.size();
    while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
    if (cut == 0 && path.size() >= 2 && path[1] == L':') cut = 2;  // "C:aux.heic"
    std::wstring probe = path.substr(0, cut) + L"x";
    if (const std::uint32_t error = FullPathName(probe, result); error != ERROR_SUCCESS) {
        return error;
    }
    result.pop_back();
    result += ElementAsWindowsReadsIt(std::wstring_view(path).substr(cut));
    return ERROR_SUCCESS;
}

std::wstring host::SystemPath(const std::wstring& path) {
    std::wstring full;
    if (path.empty() || FullPath(path, full) != ERROR_SUCCESS) return {};
    return ExtendedLengthPath(full);
}

std::uint32_t host::QueryKind(const std::wstring& path, EntryKind& kind) {
    const std::wstring systemPath = SystemPath(path);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(systemPath.c_str(), GetFileExInfoStandard, &data)) {
        return LastError();
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        kind = KindOf(data.dwFileAttributes);
        return ERROR_SUCCESS;
    }
    // A link: what counts is its final target.
    const HandleOwner target(seams::openForQuery(systemPath));
    if (!target.valid()) return LastError();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(target.get(), &information)) return LastError();
    kind = KindOf(information.dwFileAttributes);
    return ERROR_SUCCESS;
}

// The attributes of the name itself: a link, even one that leads nowhere, is not followed. A file
// that is being deleted answers access denied to every query but is still listed in its folder:
// its name is taken.
std::uint32_t host::QueryOwnKind(const std::wstring& path, EntryKind& kind) {
    const std::wstring systemPath = SystemPath(path);
    const DWORD attributes = host::seams::ownAttributes(systemPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        kind =
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::link : KindOf(attributes);
        return ERROR_SUCCESS;
    }
    const std::uint32_t error = LastError();
    if (IsNotFoundError(error) || !FindOwner(systemPath).found()) return error;
    kind = EntryKind::other;
    return ERROR_SUCCESS;
}

std::uint32_t host::CreateOneDirectory(const std::wstring& path) {
    return CreateDirectoryW(SystemPath(path).c_str(), nullptr) ? ERROR_SUCCESS : LastError();
}

// FILE_FLAG_OPEN_REPARSE_POINT: a link at the name, even a dangling one, is the name taken;
// CREATE_NEW would otherwise follow it and create its target. Readers may share the file, no
// writer and no removal: the JPEG is written and, if it fails, removed through this handle.
std::uint32_t host::CreateNewFile(const std::wstring& path, FileHandle& file) {
    const std::wstring systemPath = SystemPath(path);
    const HANDLE created = CreateFileW(
        systemPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
        CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        const std::uint32_t error = LastError();
        // Whatever stands there (a folder may answer access denied), the name is taken.
        if (error != ERROR_FILE_EXISTS &&
            GetFileAttributesW(systemPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return ERROR_FILE_EXISTS;
        }
        return error;
    }
    // A JPEG is never reported written into a device, and a refused claim leaves no empty file.
    // FILE_TYPE_UNKNOWN with an error is a failed call, whose error is the answer.
    SetLastError(ERROR_SUCCESS);
    const DWORD type = host::seams::fileType(created);
    if (type != FILE_TYPE_DISK) {
        const DWORD error = type == FILE_TYPE_UNKNOWN ? GetLastError() : ERROR_SUCCESS;
        DeleteOwnFile(created);
        CloseHandle(created);
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_NAME;
    }
    file = reinterpret_cast<FileHandle>(created);
    return ERROR_SUCCESS;
}

// Nobody else may remove or rename the file while it is open, so its name is still its own.
std::uint32_t host::FinishNewFile(FileHandle& file, const std::wstring& /*path*/) {
    const HANDLE handle = ToHandle(file);
    file = kNoFile;
    return CloseHandle(handle) ? ERROR_SUCCESS : LastError();
}

void host::DiscardNewFile(FileHandle& file, const std::wstring& /*path*/) noexcept {
    if (file == kNoFile) return;
    DeleteOwnFile(ToHandle(file));
    CloseHandle(ToHandle(file));
    file = kNoFile;
}

// A file held open without delete sharing (our own JPEG while it is written) refuses removal with
// ERROR_SHARING_VIOLATION by itself.
std::uint32_t host::RemoveEntry(const std::wstring& path, std::wstring* aside) {
    const std::wstring systemPath = SystemPath(path);
    // The link's own attributes, not its target's.
    const DWORD attributes = GetFileAttributesW(systemPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const std::uint32_t error = LastError();
        return IsNotFoundError(error) ? ERROR_SUCCESS : error;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return DeleteEvenReadOnly(systemPath, attributes);
    }
    return RemoveFile(systemPath, attributes, aside);
}

bool host::SameFile(const std::wstring& first, const std::wstring& second) {
    const HandleOwner b(seams::openForQuery(SystemPath(second)));
    if (!b.valid()) return !IsNotFoundError(LastError());
    const HandleOwner a(seams::openForQuery(SystemPath(first)));
    BY_HANDLE_FILE_INFORMATION infoA{};
    BY_HANDLE_FILE_INFORMATION infoB{};
    if (!a.valid() || !GetFileInformationByHandle(a.get(), &infoA) ||
        !GetFileInformationByHandle(b.get(), &infoB)) {
        return true;
    }
    return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

// The folder lists the entry under its long name and its short alias; the name asked for must be
// the long one (names compare as NTFS compares them, ignoring case).
bool host::IsOwnName(const std::wstring& path) {
    const std::wstring systemPath = SystemPath(path);
    const FindOwner entry(systemPath);
    if (!entry.found()) return IsNotFoundError(LastError());
    const std::wstring_view asked = LastElement(systemPath);
    return CompareStringOrdinal(asked.data(), static_cast<int>(asked.size()),
                                entry.data().cFileName, -1, TRUE) == CSTR_EQUAL;
}

std::filesystem::path host::ErrorPath(const std::wstring& path) {
    return std::filesystem::path(path);
}

std::wstring host::ErrorPathText(const std::filesystem::path& path) {
    return path.native();
}

DWORD(WINAPI* host::seams::fileType)(HANDLE) = GetFileType;
DWORD(WINAPI* host::seams::ownAttributes)(LPCWSTR) = GetFileAttributesW;
HANDLE (*host::seams::openForQuery)(const std::wstring&) = OpenForQuery;
BOOL(WINAPI* host::seams::moveBack)(LPCWSTR, LPCWSTR, DWORD) = MoveFileExW;
