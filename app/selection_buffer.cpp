#include <algorithm>
#include <string_view>

#include "app/file_picker.h"
#include "convert/path_rules.h"

namespace {

// The NUL-terminated string at the start of rest; a string that runs into the end of the buffer
// ends there.
std::wstring_view NextString(std::wstring_view rest) {
    return rest.substr(0, std::min(rest.find(L'\0'), rest.size()));
}

}  // namespace

std::vector<std::wstring> ReadSelectionBuffer(const wchar_t* buffer, std::size_t bufferLength) {
    std::wstring_view rest(buffer, bufferLength);
    const std::wstring_view first = NextString(rest);
    if (first.empty()) return {};  // the dialog never reports success with nothing in the buffer
    rest.remove_prefix(std::min(first.size() + 1, rest.size()));

    const std::wstring_view firstName = NextString(rest);
    if (firstName.empty()) return {std::wstring(first)};

    // Several files: first is their folder, then one name per file up to an empty string.
    std::vector<std::wstring> paths;
    for (std::wstring_view name = firstName; !name.empty(); name = NextString(rest)) {
        paths.push_back(JoinPath(first, name));
        rest.remove_prefix(std::min(name.size() + 1, rest.size()));
    }
    return paths;
}
