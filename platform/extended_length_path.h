#pragma once
// The "\\?\" form of a full Windows path: Windows then takes the path as it stands, so a path of
// 260 characters or more is not refused without the long-path policy, and a name such as nul.jpg
// or aux.heic names a file rather than a device. Pure text, the same on every host.
#include <string>
#include <string_view>

// "C:\a" gives "\\?\C:\a", "\\server\share\a" gives "\\?\UNC\server\share\a"; a path already in
// the "\\?\" or "\\.\" namespace, and anything that is not a full path, stays as it is.
std::wstring ExtendedLengthPath(std::wstring_view fullPath);
