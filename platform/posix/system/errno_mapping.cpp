#include "platform/posix/system/errno_mapping.h"

#include <errno.h>

namespace {

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
    return kErrorGenFailure;
}

std::uint32_t LastWindowsError() {
    const int error = errno;
    return error != 0 ? WindowsErrorFromErrno(error) : kErrorGenFailure;
}
