#pragma once
// The one place where a path of the program (read by the Windows path rules) becomes the name
// this host's kernel is given. Every file call of the stand-in goes through it, so the file that
// is checked, claimed and locked is the file that is written.
#include <cstdint>
#include <string>
#include <string_view>

// The full path as GetFullPathNameW makes it, by the text alone: "\" and "/" separate, "." goes,
// ".." takes back the element before it (a link is not followed first, and nothing needs to
// exist), and the last element loses its trailing dots and spaces. A relative path is taken from
// the current folder, asked afresh on every call. Answers 0 or the Windows code of the failure
// to read the current folder.
std::uint32_t FullHostPath(std::wstring_view path, std::wstring& full);

// The bytes of that full path for the kernel. When the current folder cannot be read, an empty
// name, which every call refuses as not found: no second reading of the path as typed.
std::string HostPath(std::wstring_view path);
