#pragma once
// How Windows reads the text of a path, where the path rules do not say it: pure text, the same on
// every host, for the hosts' own path calls.
#include <string>
#include <string_view>

// A last element as Windows reads it, without the dots and spaces that end it: "a.jpg. " names
// a.jpg. The elements "." and ".." stay.
std::wstring_view ElementAsWindowsReadsIt(std::wstring_view element);

// The "\\?\" form of a full path: Windows then takes the path as it stands, so a path of 260
// characters or more is not refused without the long-path policy, and a name such as nul.jpg or
// aux.heic names a file rather than a device.

// "C:\a" gives "\\?\C:\a", "\\server\share\a" gives "\\?\UNC\server\share\a"; a path already in
// the "\\?\" or "\\.\" namespace, and anything that is not a full path, stays as it is.
std::wstring ExtendedLengthPath(std::wstring_view fullPath);

// The usual form of a "\\?\" path, as the user reads it: "\\?\C:\a" gives "C:\a" and
// "\\?\UNC\server\share\a" gives "\\server\share\a"; any other path stays as it is.
std::wstring UsualPathForm(std::wstring_view systemPath);
