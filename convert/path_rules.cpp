#include "convert/path_rules.h"

#include "platform/windows_path_text.h"

namespace {

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool IsDriveDesignator(std::wstring_view path) {
    return path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == L':';
}

// Index of the first character after the root name and the separators that follow it.
std::size_t RelativeStart(std::wstring_view path) {
    std::size_t start = RootNameLength(path);
    while (start < path.size() && IsPathSeparator(path[start])) ++start;
    return start;
}

// The final element cut at its first ":"; what follows names an alternate data stream.
std::wstring_view StreamlessFinalElement(std::wstring_view path) {
    std::wstring_view element = FinalElement(path);
    return element.substr(0, element.find(L':'));
}

std::size_t ExtensionLength(std::wstring_view element) {
    if (element.size() <= 1 || element == L"..") return 0;
    if (element.back() == L'.') return 1;
    const std::size_t dot = element.rfind(L'.');
    if (dot == std::wstring_view::npos || dot == 0) return 0;
    return element.size() - dot;
}

}  // namespace

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::size_t RootNameLength(std::wstring_view path) {
    if (path.size() < 2) return 0;
    if (IsDriveDesignator(path)) return 2;
    if (!IsPathSeparator(path[0])) return 0;
    if (path.size() >= 4 && IsPathSeparator(path[3]) &&
        (path.size() == 4 || !IsPathSeparator(path[4]))) {
        const bool devicePrefix =
            (IsPathSeparator(path[1]) && (path[2] == L'?' || path[2] == L'.')) ||
            (path[1] == L'?' && path[2] == L'?');
        if (devicePrefix) return 3;
    }
    if (path.size() >= 3 && IsPathSeparator(path[1]) && !IsPathSeparator(path[2])) {
        std::size_t end = 3;
        while (end < path.size() && !IsPathSeparator(path[end])) ++end;
        return end;
    }
    return 0;
}

std::wstring_view RelativePart(std::wstring_view path) {
    return path.substr(RelativeStart(path));
}

std::wstring_view FinalElement(std::wstring_view path) {
    const std::wstring_view relative = RelativePart(path);
    std::size_t start = relative.size();
    while (start > 0 && !IsPathSeparator(relative[start - 1])) --start;
    return relative.substr(start);
}

std::wstring_view ExtensionOf(std::wstring_view path) {
    const std::wstring_view element = StreamlessFinalElement(path);
    return element.substr(element.size() - ExtensionLength(element));
}

std::wstring_view StemOf(std::wstring_view path) {
    const std::wstring_view element = StreamlessFinalElement(path);
    return element.substr(0, element.size() - ExtensionLength(element));
}

std::wstring_view ParentOf(std::wstring_view path) {
    // The final element lies within the relative part, so the root and its separators stay.
    const std::size_t floor = RelativeStart(path);
    std::size_t end = path.size() - FinalElement(path).size();
    while (end > floor && IsPathSeparator(path[end - 1])) --end;
    return path.substr(0, end);
}

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name) {
    // Rooted names replace or re-root the folder, as the standard path join does; the program
    // itself only ever joins plain names.
    const std::size_t nameRoot = RootNameLength(name);
    const bool nameHasRootDirectory = nameRoot < name.size() && IsPathSeparator(name[nameRoot]);
    if (nameRoot > 0) {
        const std::size_t folderRoot = RootNameLength(folder);
        if (nameHasRootDirectory || name.substr(0, nameRoot) != folder.substr(0, folderRoot)) {
            return std::wstring(name);
        }
        name.remove_prefix(nameRoot);
    } else if (nameHasRootDirectory) {
        std::wstring rerooted(folder.substr(0, RootNameLength(folder)));
        rerooted += name;
        return rerooted;
    }

    std::wstring joined(folder);
    const bool needsSeparator = !folder.empty() && !IsPathSeparator(folder.back()) &&
                                !(folder.size() == 2 && IsDriveDesignator(folder));
    if (needsSeparator) joined += L'\\';
    joined += name;
    return joined;
}

std::wstring FolderAsWindowsMakesIt(std::wstring_view path) {
    const std::size_t root = RootNameLength(path);
    if (root == 3 && (path[1] == L'?' || path[2] == L'?')) return std::wstring(path);

    std::wstring folder(path.substr(0, root));
    std::size_t position = root;
    while (position < path.size()) {
        if (IsPathSeparator(path[position])) {
            folder += path[position++];
            continue;
        }
        std::size_t end = position;
        while (end < path.size() && !IsPathSeparator(path[end])) ++end;
        const std::wstring_view element = path.substr(position, end - position);
        const std::wstring_view kept = ElementAsWindowsReadsIt(element);
        if (element.find_first_not_of(L'.') == std::wstring_view::npos) {
            folder += element;
        } else if (!kept.empty()) {
            folder += kept;
        } else {
            // Spaces alone, or dots and spaces: no folder is made for it, so its separator goes too.
            while (end < path.size() && IsPathSeparator(path[end])) ++end;
        }
        position = end;
    }
    return folder;
}
