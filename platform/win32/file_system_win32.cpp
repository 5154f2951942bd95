// The Windows file-system primitives: the system's own calls, answered by their error codes.
#include <windows.h>

#include <vector>

#include "platform/file_system_host.h"

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

// Opens whatever the path finally leads to (links followed), for its attributes and identity
// only: no access asked, every sharing allowed, folders too.
HANDLE OpenForQuery(const std::wstring& path) {
    return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

EntryKind KindOf(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::directory
                                                        : EntryKind::regularFile;
}

BOOL DeleteEntry(const std::wstring& path, DWORD attributes) {
    // A folder link is removed as a folder, which removes the link and leaves its target.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? RemoveDirectoryW(path.c_str())
                                                        : DeleteFileW(path.c_str());
}

}  // namespace

std::uint32_t host::FullPath(const std::wstring& path, std::wstring& result) {
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

std::uint32_t host::QueryKind(const std::wstring& path, EntryKind& kind) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return LastError();
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        kind = KindOf(data.dwFileAttributes);
        return ERROR_SUCCESS;
    }
    // A link: what counts is its final target.
    const HandleOwner target(OpenForQuery(path));
    if (!target.valid()) return LastError();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(target.get(), &information)) return LastError();
    kind = KindOf(information.dwFileAttributes);
    return ERROR_SUCCESS;
}

// The attributes of the name itself: a link, even one that leads nowhere, is not followed.
std::uint32_t host::QueryOwnKind(const std::wstring& path, EntryKind& kind) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
    kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? EntryKind::link : KindOf(attributes);
    return ERROR_SUCCESS;
}

std::uint32_t host::CreateOneDirectory(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) ? ERROR_SUCCESS : LastError();
}

// FILE_FLAG_OPEN_REPARSE_POINT: a link at the name, even a dangling one, is the name taken;
// CREATE_NEW would otherwise follow it and create its target.
std::uint32_t host::CreateNewFile(const std::wstring& path) {
    const HandleOwner created(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    if (created.valid()) return ERROR_SUCCESS;
    const std::uint32_t error = LastError();
    // Whatever stands there (a folder may answer access denied), the name is taken.
    if (error != ERROR_FILE_EXISTS && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return ERROR_FILE_EXISTS;
    }
    return error;
}

// A file held open without delete sharing (the imaging stream writes that way) refuses deletion
// with ERROR_SHARING_VIOLATION by itself.
std::uint32_t host::RemoveEntry(const std::wstring& path) {
    // The link's own attributes, not its target's.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const std::uint32_t error = LastError();
        return IsNotFoundError(error) ? ERROR_SUCCESS : error;
    }
    if (DeleteEntry(path, attributes)) return ERROR_SUCCESS;
    const std::uint32_t error = LastError();
    if (error != ERROR_ACCESS_DENIED || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return error;

    // Read-only entries are removed too: clear the attribute, retry, and put it back if the
    // entry still stands.
    DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
    if (writable == 0) writable = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileAttributesW(path.c_str(), writable)) return error;
    if (DeleteEntry(path, attributes)) return ERROR_SUCCESS;
    const std::uint32_t retryError = LastError();
    SetFileAttributesW(path.c_str(), attributes);
    return retryError;
}

bool host::SameFile(const std::wstring& first, const std::wstring& second) {
    const HandleOwner a(OpenForQuery(first));
    const HandleOwner b(OpenForQuery(second));
    if (!a.valid() || !b.valid()) return false;
    BY_HANDLE_FILE_INFORMATION infoA{};
    BY_HANDLE_FILE_INFORMATION infoB{};
    if (!GetFileInformationByHandle(a.get(), &infoA) ||
        !GetFileInformationByHandle(b.get(), &infoB)) {
        return false;
    }
    return infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
           infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
           infoA.nFileIndexLow == infoB.nFileIndexLow;
}

std::filesystem::path host::ErrorPath(const std::wstring& path) {
    return std::filesystem::path(path);
}
