#pragma once
// POSIX errors read as the Windows error codes the rest of the program understands.
#include <cstdint>

// The Windows code for an errno value, chosen by what the program does with the answer:
//   ENOENT -> 2 (ERROR_FILE_NOT_FOUND), ENOTDIR -> 3 (ERROR_PATH_NOT_FOUND) and
//   EILSEQ -> 123 (ERROR_INVALID_NAME) are not-found answers of a status query;
//   EACCES, EPERM and EISDIR -> 5 (ERROR_ACCESS_DENIED) are failures, as on Windows;
//   EEXIST -> 183 (ERROR_ALREADY_EXISTS), so that folder creation can tell "already there";
//   ENAMETOOLONG -> 206 (ERROR_FILENAME_EXCED_RANGE), a failure and not "missing";
//   ENOTEMPTY -> 145, ELOOP -> 1921 (ERROR_CANT_RESOLVE_FILENAME), EROFS -> 19, ENOSPC -> 112,
//   EDQUOT -> 1295, EBUSY -> 170, ETXTBSY -> 32, EMFILE/ENFILE -> 4, ENOMEM -> 8, EINVAL -> 87,
//   EIO -> 1117, EXDEV -> 17, ERANGE -> 122;
//   0 -> 0, and any other value -> 31 (ERROR_GEN_FAILURE), a plain failure.
std::uint32_t WindowsErrorFromErrno(int errorNumber);

inline constexpr std::uint32_t kErrorGenFailure = 31;

// The Windows code of errno after a failed call, never 0: a failure must not read as success.
std::uint32_t LastWindowsError();
