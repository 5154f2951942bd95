// The file-system primitives on POSIX hosts, answering with the Windows codes of the same
// outcomes (see errno_mapping.h).
//
// Where a path meets the operating system it is first read as Windows reads it (see Normalised):
// the program joins with "\", which this host would take as part of a name, so every "\" becomes
// "/" and out\x.jpg names x.jpg in the folder out here as on Windows. The price: a name that
// holds a real "\" cannot be reached.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string_view>
#include <vector>

#include "platform/file_system_host.h"
#include "platform/posix/errno_mapping.h"
#include "platform/posix/utf8.h"
#include "platform/posix/write_lock.h"

namespace {

constexpr std::uint32_t kGeneralFailure = 31;

struct ErrnoReading {
    int errorNumber;
    std::uint32_t windowsError;
};

constexpr ErrnoReading kErrnoReadings[] = {
    {0, 0},        {ENOENT, 2}, {ENOTDIR, 3},  {EILSEQ, 123},       {EACCES, 5},
    {EPERM, 5},    {EISDIR, 5}, {EEXIST, 183}, {ENAMETOOLONG, 206}, {ENOTEMPTY, 145},
    {ELOOP, 1921}, {EROFS, 19}, {ENOSPC, 112}, {EDQUOT, 1295},      {EBUSY, 170},
    {ETXTBSY, 32}, {EMFILE, 4}, {ENFILE, 4},   {ENOMEM, 8},         {EINVAL, 87},
    {EIO, 1117},   {EXDEV, 17}, {ERANGE, 122},
};

}  // namespace

std::uint32_t WindowsErrorFromErrno(int errorNumber) {
    for (const auto& reading : kErrnoReadings) {
        if (reading.errorNumber == errorNumber) return reading.windowsError;
    }
    return kGeneralFailure;
}

namespace {

// errno after a failed call, never 0: a failure must not read as success.
std::uint32_t LastError() {
    const int error = errno;
    return error != 0 ? WindowsErrorFromErrno(error) : kGeneralFailure;
}

bool IsSlash(wchar_t c) {
    return c == L'/' || c == L'\\';
}

// The path as Windows hands it to its file system: "\" read as a separator, repeated separators
// folded, "." dropped and ".." taken back by the text alone (stopping at the root of an absolute
// path; kept at the front of a relative one). No link is followed and nothing needs to exist, so
// missing\..\a.jpg names a.jpg here as it does on Windows. A trailing separator is kept.
std::wstring Normalised(std::wstring_view path) {
    const bool absolute = !path.empty() && IsSlash(path.front());
    std::vector<std::wstring_view> elements;
    std::size_t position = 0;
    while (position < path.size()) {
        std::size_t end = position;
        while (end < path.size() && !IsSlash(path[end])) ++end;
        const std::wstring_view element = path.substr(position, end - position);
        if (element == L"..") {
            if (!elements.empty() && elements.back() != L"..") {
                elements.pop_back();
            } else if (!absolute) {
                elements.push_back(element);
            }
        } else if (!element.empty() && element != L".") {
            elements.push_back(element);
        }
        position = end + 1;
    }
    std::wstring result;
    for (const std::wstring_view element : elements) {
        if (!result.empty() || absolute) result += L'/';
        result += element;
    }
    if (result.empty()) result = absolute ? L"/" : L".";
    if (!path.empty() && IsSlash(path.back()) && result.back() != L'/') result += L'/';
    return result;
}

std::string OsPath(const std::wstring& path) {
    return ToUtf8(Normalised(path));
}

}  // namespace

// Lexical like GetFullPathNameW, not realpath: links stay as written and nothing needs to exist.
// A relative path is taken from the current directory, asked afresh on every call so that it
// follows chdir; an absolute one asks the system nothing, so it still works when the current
// directory has been deleted (a relative one then raises "absolute").
std::uint32_t host::FullPath(const std::wstring& path, std::wstring& result) {
    if (IsSlash(path.front())) {
        result = Normalised(path);
        return 0;
    }
    const std::unique_ptr<char, decltype(&free)> current(getcwd(nullptr, 0), &free);
    if (current == nullptr) return LastError();
    result = Normalised(FromUtf8(current.get()) + L'/' + path);
    return 0;
}

std::uint32_t host::QueryKind(const std::wstring& path, EntryKind& kind) {
    struct stat information {};
    if (stat(OsPath(path).c_str(), &information) != 0) return LastError();
    kind = S_ISREG(information.st_mode)   ? EntryKind::regularFile
           : S_ISDIR(information.st_mode) ? EntryKind::directory
                                          : EntryKind::other;
    return 0;
}

std::uint32_t host::CreateOneDirectory(const std::wstring& path) {
    return mkdir(OsPath(path).c_str(), 0777) == 0 ? 0 : LastError();
}

// O_EXCL also refuses a link, even one that leads nowhere: nothing is created through it.
std::uint32_t host::CreateNewFile(const std::wstring& path) {
    const int created = open(OsPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (created >= 0) {
        close(created);
        return 0;
    }
    // As CreateFileW answers: a name taken by anything, or a folder that is not there.
    if (errno == EEXIST) return kErrorFileExists;
    if (errno == ENOENT) return kErrorPathNotFound;
    return LastError();
}

// A read-only file needs no special care here: removal depends on the folder, not the file.
// A file that an output stream is writing is refused, as Windows refuses it; the lock is held
// through the unlink, so that no writer starts in between.
std::uint32_t host::RemoveEntry(const std::wstring& path) {
    const std::string osPath = OsPath(path);
    struct stat information {};
    if (lstat(osPath.c_str(), &information) != 0) {
        const std::uint32_t error = LastError();
        return IsNotFoundError(error) ? 0 : error;
    }
    if (S_ISDIR(information.st_mode)) return rmdir(osPath.c_str()) == 0 ? 0 : LastError();

    RemovalLock lock;
    if (S_ISREG(information.st_mode)) {
        const std::uint32_t error = lock.Take(osPath);
        if (error != 0) return error;
    }
    return unlink(osPath.c_str()) == 0 ? 0 : LastError();
}

bool host::SameFile(const std::wstring& first, const std::wstring& second) {
    struct stat a {};
    struct stat b {};
    if (stat(OsPath(first).c_str(), &a) != 0 || stat(OsPath(second).c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::filesystem::path host::ErrorPath(const std::wstring& path) {
    return std::filesystem::path(ToUtf8(path));
}
