// The file-system primitives on POSIX hosts, answering with the Windows codes of the same
// outcomes (see errno_mapping.h). Every path reaches the kernel through HostPath, read as Windows
// reads it; the price: a name that holds a real "\" cannot be reached.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system_host.h"
#include "platform/posix/system/errno_mapping.h"
#include "platform/posix/system/host_path.h"
#include "platform/posix/system/utf8.h"
#include "platform/posix/system/write_lock.h"

namespace {

EntryKind KindOf(mode_t mode) {
    return S_ISREG(mode)   ? EntryKind::regularFile
           : S_ISDIR(mode) ? EntryKind::directory
           : S_ISLNK(mode) ? EntryKind::link
                           : EntryKind::other;
}

}  // namespace

std::uint32_t host::FullPath(const std::wstring& path, std::wstring& result) {
    return FullHostPath(path, result);
}

std::uint32_t host::QueryKind(const std::wstring& path, EntryKind& kind) {
    struct stat information {};
    if (stat(HostPath(path).c_str(), &information) != 0) return LastWindowsError();
    kind = KindOf(information.st_mode);
    return 0;
}

std::uint32_t host::QueryOwnKind(const std::wstring& path, EntryKind& kind) {
    struct stat information {};
    if (lstat(HostPath(path).c_str(), &information) != 0) return LastWindowsError();
    kind = KindOf(information.st_mode);
    return 0;
}

std::uint32_t host::CreateOneDirectory(const std::wstring& path) {
    return mkdir(HostPath(path).c_str(), 0777) == 0 ? 0 : LastWindowsError();
}

// O_EXCL also refuses a link, even one that leads nowhere: nothing is created through it.
std::uint32_t host::CreateNewFile(const std::wstring& path) {
    const int created = open(HostPath(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (created >= 0) {
        close(created);
        return 0;
    }
    // As CreateFileW answers: a name taken by anything, or a folder that is not there.
    if (errno == EEXIST) return kErrorFileExists;
    if (errno == ENOENT) return kErrorPathNotFound;
    return LastWindowsError();
}

// A read-only file needs no special care here: removal depends on the folder, not the file.
// A file that an output stream is writing is refused, as Windows refuses it; the lock is held
// through the unlink, so that no writer starts in between. A link goes itself, never its target.
std::uint32_t host::RemoveEntry(const std::wstring& path) {
    const std::string hostPath = HostPath(path);
    struct stat information {};
    if (lstat(hostPath.c_str(), &information) != 0) {
        const std::uint32_t error = LastWindowsError();
        return IsNotFoundError(error) ? 0 : error;
    }
    if (S_ISDIR(information.st_mode)) return rmdir(hostPath.c_str()) == 0 ? 0 : LastWindowsError();

    RemovalLock lock;
    if (S_ISREG(information.st_mode)) {
        const std::uint32_t error = lock.Take(hostPath);
        if (error != 0) return error;
    }
    return unlink(hostPath.c_str()) == 0 ? 0 : LastWindowsError();
}

bool host::SameFile(const std::wstring& first, const std::wstring& second) {
    struct stat a {};
    struct stat b {};
    if (stat(HostPath(first).c_str(), &a) != 0 || stat(HostPath(second).c_str(), &b) != 0) {
        return false;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::filesystem::path host::ErrorPath(const std::wstring& path) {
    return std::filesystem::path(ToUtf8(path));
}
