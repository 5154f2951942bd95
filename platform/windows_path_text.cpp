#include "platform/windows_path_text.h"

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// In the "\\?\\" form "/" is no separator; the system reads it as one only outside that form.
std::wstring WithBackslashes(std::wstring_view path) {
    std::wstring result(path);
    for (wchar_t& c : result) {
        if (c == L'/') c = L'\\';
    }
    return result;
}

}  // namespace

std::wstring_view ElementAsWindowsReadsIt(std::wstring_view element) {
    if (element == L"." || element == L"..") return element;
    while (!element.empty() && (element.back() == L'.' || element.back() == L' ')) {
        element.remove_suffix(1);
    }
    return element;
}

std::wstring UsualPathForm(std::wstring_view systemPath) {
    constexpr std::wstring_view unc = L"\\\\?\\UNC\\";
    constexpr std::wstring_view local = L"\\\\?\\";
    if (systemPath.starts_with(unc)) return L"\\\\" + std::wstring(systemPath.substr(unc.size()));
    if (systemPath.starts_with(local)) return std::wstring(systemPath.substr(local.size()));
    return std::wstring(systemPath);
}

std::wstring ExtendedLengthPath(std::wstring_view fullPath) {
    const std::wstring_view path = fullPath;
    if (path.size() >= 3 && IsAsciiLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
        return L"\\\\?\\" + WithBackslashes(path);
    }
    if (path.size() >= 3 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        // "\\?\" and "\\.\" are taken as they stand already.
        if ((path[2] == L'?' || path[2] == L'.') && (path.size() == 3 || IsSeparator(path[3]))) {
            return std::wstring(path);
        }
        if (!IsSeparator(path[2])) return L"\\\\?\\UNC\\" + WithBackslashes(path.substr(2));
    }
    return std::wstring(path);
}
