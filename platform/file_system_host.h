#pragma once
// The few primitives each host supplies to the conversion's file-system services. They raise
// nothing but memory exhaustion: failures come back as Windows error codes (0 means success), so
// that the reading of those answers (not found or failure, which level decides) is written once,
// above the hosts.
#include <cstdint>
#include <filesystem>
#include <string>

enum class EntryKind { notFound, regularFile, directory, link, other };

namespace host {

// An open file of this run: a HANDLE on Windows, a descriptor elsewhere.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Windows error codes the common part needs to name.
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorSharingViolation = 32;
inline constexpr std::uint32_t kErrorBadNetPath = 53;
inline constexpr std::uint32_t kErrorNetNameDeleted = 64;
inline constexpr std::uint32_t kErrorFileExists = 80;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorDirectory = 267;

// Whether a failed status query means "nothing there" rather than a failure.
inline bool IsNotFoundError(std::uint32_t windowsError) {
    switch (windowsError) {
        case kErrorFileNotFound:
        case kErrorPathNotFound:
        case kErrorBadNetPath:
        case kErrorNetNameDeleted:
        case kErrorInvalidName:
        case kErrorDirectory:
            return true;
        default:
            return false;
    }
}

// The full path of a non-empty path, written to result.
std::uint32_t FullPath(const std::wstring& path, std::wstring& result);

// One status query that follows links to their final target (never answers link).
std::uint32_t QueryKind(const std::wstring& path, EntryKind& kind);

// What stands under the name itself: a link is not followed, even one that leads nowhere.
std::uint32_t QueryOwnKind(const std::wstring& path, EntryKind& kind);

// Creates one folder; an existing entry answers kErrorAlreadyExists.
std::uint32_t CreateOneDirectory(const std::wstring& path);

// Creates an empty file where no entry of any kind stands and keeps it open for writing, shared
// with readers only; anything there answers kErrorFileExists. A name that does not lead to a file
// on disk (a device) is refused.
std::uint32_t CreateNewFile(const std::wstring& path, FileHandle& file);

// Closes a file made by CreateNewFile once its last byte is written: 0 when it stands complete
// under its name. On failure `file` may still be open, for DiscardNewFile.
std::uint32_t FinishNewFile(FileHandle& file, const std::wstring& path);

// Removes a file made by CreateNewFile through its own handle, so that nothing else that came to
// stand under its name is removed, and closes it.
void DiscardNewFile(FileHandle& file, const std::wstring& path) noexcept;

// Removes a file (read-only too), an empty folder, or a link itself, and frees its name at once,
// even while another program still holds the file open. A path that names nothing counts as
// removed. A file that another program is writing is not removed: that answers
// kErrorSharingViolation. A failure may leave the entry under another name in its folder (on
// Windows, where it was moved aside to be deleted and could not be moved back); `aside` then
// receives that name's full path in its usual form, and is left alone otherwise.
std::uint32_t RemoveEntry(const std::wstring& path, std::wstring* aside = nullptr);

// False only when the two are known to differ: the second names nothing, or both open with
// different volume or file ids. Whatever cannot be opened may be the other file.
bool SameFile(const std::wstring& first, const std::wstring& second);

// Whether the entry under the name carries that very name. False when the name reaches it only
// as the short (8.3) alias of another long name; true where there is nothing to compare.
bool IsOwnName(const std::wstring& path);

// The one form of a path that this host's file calls and the imaging component's file-name calls
// are given. Empty when the path cannot be made full.
std::wstring SystemPath(const std::wstring& path);

// The path the filesystem error carries, in the host's own encoding.
std::filesystem::path ErrorPath(const std::wstring& path);

// The wide text of a path made by ErrorPath, as it was given.
std::wstring ErrorPathText(const std::filesystem::path& path);

}  // namespace host
