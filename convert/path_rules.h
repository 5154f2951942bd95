#pragma once
// Windows path rules as pure string functions, identical on every host. Both "\" and "/"
// separate elements; where we insert a separator ourselves it is "\".
#include <cstddef>
#include <string>
#include <string_view>

bool IsPathSeparator(wchar_t c);

// Length of the root name: "C:" (2), "\\?\" "\\.\" "\??\" (3), "\\server" (up to the next
// separator), or 0 when the path has none.
std::size_t RootNameLength(std::wstring_view path);

// Everything after the root name and the separators that directly follow it.
std::wstring_view RelativePart(std::wstring_view path);

// The last element; empty for a path that ends in a separator or is a root alone.
std::wstring_view FinalElement(std::wstring_view path);

// Extension and stem of a path's final element, cut at its first ":" (alternate data stream).
std::wstring_view ExtensionOf(std::wstring_view path);
std::wstring_view StemOf(std::wstring_view path);

// The path without its final element and the separators before it, never shorter than the root
// name with the separators that follow it.
std::wstring_view ParentOf(std::wstring_view path);

// folder + "\" + name, without doubling a separator and without one after a bare drive ("D:").
std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// A folder path as Windows makes it, level by level: the spaces and dots that end any element
// are dropped ("D:\out \sub" and "D:\out. \" name D:\out\sub and D:\out\), and an element of
// spaces alone goes with its separator. An element of dots alone ("..", "...") keeps its meaning,
// and a path in the "\\?\" form, which Windows takes literally, is left as it is.
std::wstring FolderAsWindowsMakesIt(std::wstring_view path);
