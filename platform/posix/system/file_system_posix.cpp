// The file-system primitives on POSIX hosts, answering with the Windows codes of the same
// outcomes (see errno_mapping.h). Every path reaches the kernel through HostPath, read as Windows
// reads it; the price: a name that holds a real "\" cannot be reached.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "platform/file_system_host.h"
#include "platform/posix/system/errno_mapping.h"
#include "platform/posix/system/host_path.h"
#include "platform/posix/system/utf8.h"
#include "platform/posix/system/write_lock.h"

namespace {

bool NameLeadsTo(const std::string& hostPath, const struct stat& file) {
    struct stat named {};
    return lstat(hostPath.c_str(), &named) == 0 && named.st_dev == file.st_dev &&
           named.st_ino == file.st_ino;
}

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

// O_EXCL also refuses a link, even one that leads nowhere: nothing is created through it. The lock
// is Windows' sharing for this host: while the JPEG is written, no other run opens or removes it.
std::uint32_t host::CreateNewFile(const std::wstring& path, FileHandle& file) {
    const int created =
        open(HostPath(path).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (created < 0) {
        // As CreateFileW answers: a name taken by anything, or a folder that is not there.
        if (errno == EEXIST) return kErrorFileExists;
        if (errno == ENOENT) return kErrorPathNotFound;
        return LastWindowsError();
    }
    if (flock(created, LOCK_EX | LOCK_NB) != 0) {
        close(created);
        return kErrorSharingViolation;
    }
    file = created;
    return 0;
}

// Names can change under an open descriptor here: the file is finished only while its name still
// leads to it, so that a JPEG is never reported written where a link or another file now stands.
std::uint32_t host::FinishNewFile(FileHandle& file, const std::wstring& path) {
    struct stat held {};
    if (fstat(static_cast<int>(file), &held) != 0) return LastWindowsError();
    const std::string hostPath = HostPath(path);
    if (!NameLeadsTo(hostPath, held)) return kErrorFileNotFound;
    const int descriptor = static_cast<int>(std::exchange(file, kNoFile));
    if (close(descriptor) == 0 || errno == EINTR) return 0;
    // The system reported a failure only at the close (a full share, say): the file is cut short.
    const std::uint32_t error = LastWindowsError();
    if (NameLeadsTo(hostPath, held)) unlink(hostPath.c_str());
    return error;
}

void host::DiscardNewFile(FileHandle& file, const std::wstring& path) noexcept {
    if (file == kNoFile) return;
    const int descriptor = static_cast<int>(std::exchange(file, kNoFile));
    struct stat held {};
    try {
        const std::string hostPath = HostPath(path);
        if (fstat(descriptor, &held) == 0 && NameLeadsTo(hostPath, held)) unlink(hostPath.c_str());
    } catch (...) {
        // Without memory for the name the file stays; it is never someone else's.
    }
    close(descriptor);
}

// A read-only file needs no special care here: removal depends on the folder, not the file.
// A file that an output stream is writing is refused, as Windows refuses it; the lock is held
// through the unlink, so that no writer starts in between. A link goes itself, never its target.
// Nothing is ever moved aside here.
std::uint32_t host::RemoveEntry(const std::wstring& path, std::wstring* /*aside*/) {
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
    if (stat(HostPath(second).c_str(), &b) != 0) return !IsNotFoundError(LastWindowsError());
    if (stat(HostPath(first).c_str(), &a) != 0) return true;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// This host's file systems give a file no second, short name.
bool host::IsOwnName(const std::wstring& /*path*/) {
    return true;
}

// The stand-in's calls translate every path themselves, through HostPath.
std::wstring host::SystemPath(const std::wstring& path) {
    return path;
}

std::filesystem::path host::ErrorPath(const std::wstring& path) {
    return std::filesystem::path(ToUtf8(path));
}

std::wstring host::ErrorPathText(const std::filesystem::path& path) {
    return FromUtf8(path.native());
}
