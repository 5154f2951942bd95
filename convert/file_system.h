#pragma once
// The file-system services every conversion uses, with the same outcomes on every host.
// Failures raise std::filesystem::filesystem_error carrying the operation name ("absolute",
// "exists", "status", "create_directories", "remove"), the path and a Windows error code.
#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/file_system_host.h"

// The full path (GetFullPathNameW on Windows). An empty path gives an empty result, asking nothing.
std::wstring AbsolutePath(const std::wstring& path);

// One status query that follows links. Not-found errors answer EntryKind::notFound; any other
// error raises the filesystem error with the operation name given.
EntryKind QueryEntryKind(const std::wstring& path, const char* operation);

// Any kind of entry counts, a link by what it leads to; a failing query raises "exists".
bool PathExists(const std::wstring& path);

// Whether anything stands under the name itself: a file, a folder, or a link, even one that
// leads nowhere. A name is taken by what is there, never by what a link points to; a failing
// query raises "exists".
bool NameTaken(const std::wstring& path);

// A separate query for the regular-file test; a failing query raises "status".
bool IsRegularFile(const std::wstring& path);

// Creates every missing level of path, judged by the deepest; raises "create_directories".
void CreateDirectories(const std::wstring& path);

// Removes a file (read-only too), an empty folder, or a link itself; raises "remove". When the
// failed removal left the entry under another name, that name is the error's second path.
void RemovePath(const std::wstring& path);

// The same removal answering its Windows error (0 when removed); only an entry left under another
// name raises, as RemovePath does.
std::uint32_t RemovePathAnswering(const std::wstring& path);

// The same removal, with its outcome ignored; true when the entry is gone.
bool TryRemovePath(const std::wstring& path) noexcept;

// Whether two paths may name the same file (same volume and file id, whatever the spelling).
// False only when they are known to differ: the second names nothing, or both were opened and
// differ. When that cannot be told (a share that drops, an entry that cannot be opened), true.
bool IsSameFile(const std::wstring& first, const std::wstring& second) noexcept;

// Raises the filesystem error for a Windows error code; secondPath, when given, is where the
// entry now stands (an old JPEG left aside).
[[noreturn]] void ThrowFileSystemError(const char* operation, const std::wstring& path,
                                       std::uint32_t windowsError,
                                       const std::wstring& secondPath = {});

// The user's text for a filesystem error: the path failure, and where the old JPEG went when a
// removal left it under another name (the error's second path).
std::wstring PathFailureText(const std::filesystem::filesystem_error& error);
