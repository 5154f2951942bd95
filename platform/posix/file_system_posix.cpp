// The file-system primitives on POSIX hosts, answering with the Windows codes of the same
// outcomes (see errno_mapping.h).
//
// Separators: the program joins paths with "\", which this host's calls would read as part of a
// name. Where a path meets the operating system, every "\" becomes "/", so out\x.jpg names x.jpg
// in the folder out here as on Windows. The price: a name that holds a real "\" cannot be reached.
#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string_view>
#include <vector>

#include "platform/file_system_host.h"
#include "platform/posix/errno_mapping.h"
#include "platform/posix/utf8.h"

std::uint32_t WindowsErrorFromErrno(int errorNumber) {
    switch (errorNumber) {
        case 0:
            return 0;
        case ENOENT:
            return 2;
        case ENOTDIR:
            return 3;
        case EILSEQ:
            return 123;
        case EACCES:
        case EPERM:
        case EISDIR:
            return 5;
        case EEXIST:
            return 183;
        case ENAMETOOLONG:
            return 206;
        case ENOTEMPTY:
            return 145;
        case ELOOP:
            return 1921;
        case EROFS:
            return 19;
        case ENOSPC:
            return 112;
        case EDQUOT:
            return 1295;
        case EBUSY:
            return 170;
        case ETXTBSY:
            return 32;
        case EMFILE:
        case ENFILE:
            return 4;
        case ENOMEM:
            return 8;
        case EINVAL:
            return 87;
        case EIO:
            return 1117;
        case EXDEV:
            return 17;
        case ERANGE:
            return 122;
        default:
            return 31;
    }
}

namespace {

constexpr std::uint32_t kGeneralFailure = 31;

std::wstring WithSlashes(std::wstring_view path) {
    std::wstring converted(path);
    for (wchar_t& c : converted) {
        if (c == L'\\') c = L'/';
    }
    return converted;
}

std::string OsPath(const std::wstring& path) {
    return ToUtf8(WithSlashes(path));
}

// errno after a failed call, never 0: a failure must not read as success.
std::uint32_t LastError() {
    const int error = errno;
    return error != 0 ? WindowsErrorFromErrno(error) : kGeneralFailure;
}

// "." and ".." are resolved by the text alone and ".." stops at the root, as GetFullPathNameW
// does; no link is followed and nothing needs to exist. Repeated separators fold into one; a
// trailing one is kept.
std::wstring NormalisedAbsolute(std::wstring_view absolute) {
    std::vector<std::wstring_view> elements;
    std::size_t position = 0;
    while (position < absolute.size()) {
        std::size_t end = absolute.find(L'/', position);
        if (end == std::wstring_view::npos) end = absolute.size();
        const std::wstring_view element = absolute.substr(position, end - position);
        if (element == L"..") {
            if (!elements.empty()) elements.pop_back();
        } else if (!element.empty() && element != L".") {
            elements.push_back(element);
        }
        position = end + 1;
    }
    std::wstring result;
    for (const std::wstring_view element : elements) {
        result += L'/';
        result += element;
    }
    if (result.empty() || absolute.back() == L'/') result += L'/';
    return result;
}

}  // namespace

// A relative path is taken from the current directory, asked afresh on every call so that it
// follows chdir like GetFullPathNameW does; an absolute path asks the system nothing, so it
// still works when the current directory has been deleted (then a relative one raises
// "absolute").
std::uint32_t host::FullPath(const std::wstring& path, std::wstring& result) {
    std::wstring absolute = WithSlashes(path);
    if (absolute.front() != L'/') {
        const std::unique_ptr<char, decltype(&free)> current(getcwd(nullptr, 0), &free);
        if (current == nullptr) return LastError();
        absolute = FromUtf8(current.get()) + L'/' + absolute;
    }
    result = NormalisedAbsolute(absolute);
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

// A read-only file needs no special care here: removal depends on the folder, not the file.
std::uint32_t host::RemoveEntry(const std::wstring& path) {
    const std::string osPath = OsPath(path);
    struct stat information {};
    if (lstat(osPath.c_str(), &information) != 0) {
        const std::uint32_t error = LastError();
        return IsNotFoundError(error) ? 0 : error;
    }
    const int outcome =
        S_ISDIR(information.st_mode) ? rmdir(osPath.c_str()) : unlink(osPath.c_str());
    return outcome == 0 ? 0 : LastError();
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
