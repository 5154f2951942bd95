#include "platform/posix/system/write_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system_host.h"
#include "platform/posix/system/errno_mapping.h"

namespace {

// A name removed or replaced between our open and our lock is opened again; racing removals
// that keep winning end as a sharing violation.
constexpr int kOpenAttempts = 8;

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::uint32_t LockError() {
    return errno == EWOULDBLOCK ? host::kErrorSharingViolation : WindowsErrorFromErrno(errno);
}

}  // namespace

std::uint32_t OpenLockedForWriting(const std::string& path, int& descriptor) {
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // No O_TRUNC: until the lock is ours, the file may be another writer's. No link is
        // followed: a JPEG is never written through one into a file elsewhere.
        const int opened = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (opened < 0) {
            return errno == ENOENT ? host::kErrorPathNotFound : WindowsErrorFromErrno(errno);
        }
        struct stat held {};
        struct stat named {};
        std::uint32_t error = 0;
        if (::flock(opened, LOCK_EX | LOCK_NB) != 0) {
            error = LockError();
        } else if (::fstat(opened, &held) != 0) {
            error = WindowsErrorFromErrno(errno);
        } else if (::lstat(path.c_str(), &named) != 0 || !SameFile(held, named)) {
            ::close(opened);  // the name leads elsewhere now: open what it names
            continue;
        } else if (S_ISREG(held.st_mode) && ::ftruncate(opened, 0) != 0) {
            error = WindowsErrorFromErrno(errno);
        }
        if (error != 0) {
            ::close(opened);
            return error;
        }
        descriptor = opened;
        return 0;
    }
    return host::kErrorSharingViolation;
}

RemovalLock::~RemovalLock() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

std::uint32_t RemovalLock::Take(const std::string& path) {
    descriptor_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor_ < 0) return 0;
    return ::flock(descriptor_, LOCK_EX | LOCK_NB) == 0 ? 0 : LockError();
}
