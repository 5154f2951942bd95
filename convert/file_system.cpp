#include "convert/file_system.h"

#include <filesystem>
#include <system_error>

#include "convert/path_rules.h"
#include "platform/file_system_host.h"

void ThrowFileSystemError(const char* operation, const std::wstring& path,
                          std::uint32_t windowsError, const std::wstring& secondPath) {
    const std::error_code code(static_cast<int>(windowsError), std::system_category());
    if (secondPath.empty()) {
        throw std::filesystem::filesystem_error(operation, host::ErrorPath(path), code);
    }
    throw std::filesystem::filesystem_error(operation, host::ErrorPath(path),
                                            host::ErrorPath(secondPath), code);
}

std::wstring AbsolutePath(const std::wstring& path) {
    if (path.empty()) return {};
    std::wstring result;
    if (const std::uint32_t error = host::FullPath(path, result); error != 0) {
        ThrowFileSystemError("absolute", path, error);
    }
    return result;
}

EntryKind QueryEntryKind(const std::wstring& path, const char* operation) {
    EntryKind kind = EntryKind::notFound;
    const std::uint32_t error = host::QueryKind(path, kind);
    if (error == 0) return kind;
    if (host::IsNotFoundError(error)) return EntryKind::notFound;
    ThrowFileSystemError(operation, path, error);
}

bool PathExists(const std::wstring& path) {
    return QueryEntryKind(path, "exists") != EntryKind::notFound;
}

bool NameTaken(const std::wstring& path) {
    EntryKind kind = EntryKind::notFound;
    const std::uint32_t error = host::QueryOwnKind(path, kind);
    if (error == 0) return true;
    if (host::IsNotFoundError(error)) return false;
    ThrowFileSystemError("exists", path, error);
}

bool IsRegularFile(const std::wstring& path) {
    return QueryEntryKind(path, "status") == EntryKind::regularFile;
}

void CreateDirectories(const std::wstring& path) {
    if (path.empty()) ThrowFileSystemError("create_directories", path, host::kErrorPathNotFound);
    // A root alone has no level to create.
    const std::size_t start = path.size() - RelativePart(path).size();

    // Every level is tried, even past a failure: only the deepest one decides, so a level we may
    // not create but which already exists (a share, a locked-down parent) does not stop us.
    std::uint32_t deepestError = 0;
    std::size_t end = start;
    while (end < path.size()) {
        while (end < path.size() && !IsPathSeparator(path[end])) ++end;
        deepestError = host::CreateOneDirectory(path.substr(0, end));
        while (end < path.size() && IsPathSeparator(path[end])) ++end;
    }
    if (deepestError == 0) return;
    if (deepestError == host::kErrorAlreadyExists) {
        EntryKind kind = EntryKind::notFound;
        if (host::QueryKind(path, kind) == 0 && kind == EntryKind::directory) return;
    }
    ThrowFileSystemError("create_directories", path, deepestError);
}

std::wstring PathFailureText(const std::filesystem::filesystem_error& error) {
    if (error.path2().empty()) return L"파일 경로를 읽거나 쓸 수 없습니다.";
    return L"파일 경로를 읽거나 쓸 수 없습니다. 이전 JPEG 파일은 다음 위치로 옮겨졌습니다: " +
           host::ErrorPathText(error.path2());
}

std::uint32_t RemovePathAnswering(const std::wstring& path) {
    std::wstring aside;
    const std::uint32_t error = host::RemoveEntry(path, &aside);
    if (error != 0 && !aside.empty()) ThrowFileSystemError("remove", path, error, aside);
    return error;
}

void RemovePath(const std::wstring& path) {
    if (const std::uint32_t error = RemovePathAnswering(path); error != 0) {
        ThrowFileSystemError("remove", path, error);
    }
}

bool TryRemovePath(const std::wstring& path) noexcept {
    try {
        return host::RemoveEntry(path) == 0;
    } catch (...) {
        return false;
    }
}

bool IsSameFile(const std::wstring& first, const std::wstring& second) noexcept {
    try {
        return host::SameFile(first, second);
    } catch (...) {
        return true;
    }
}
