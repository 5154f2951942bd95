#include "platform/posix/system/host_path.h"

#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "platform/posix/system/errno_mapping.h"
#include "platform/windows_path_text.h"
#include "platform/posix/system/utf8.h"

namespace {

bool IsSlash(wchar_t c) {
    return c == L'/' || c == L'\\';
}

// An absolute path read element by element; the kernel never sees a "." or "..".
std::wstring Normalised(std::wstring_view path) {
    std::vector<std::wstring_view> elements;
    std::size_t position = 0;
    while (position < path.size()) {
        std::size_t end = position;
        while (end < path.size() && !IsSlash(path[end])) ++end;
        std::wstring_view element = path.substr(position, end - position);
        if (end == path.size()) element = ElementAsWindowsReadsIt(element);
        if (element == L"..") {
            if (!elements.empty()) elements.pop_back();  // the root's parent is the root
        } else if (!element.empty() && element != L".") {
            elements.push_back(element);
        }
        position = end + 1;
    }
    std::wstring result;
    for (const std::wstring_view element : elements) {
        result += L'/';
        result += element;
    }
    if (result.empty()) return L"/";
    // A trailing separator says "a folder"; it stays.
    if (IsSlash(path.back())) result += L'/';
    return result;
}

}  // namespace

std::uint32_t FullHostPath(std::wstring_view path, std::wstring& full) {
    if (!path.empty() && IsSlash(path.front())) {
        full = Normalised(path);
        return 0;
    }
    // Asked on every call, so that it follows chdir; an absolute path asks nothing, so it still
    // works when the current folder has been deleted.
    const std::unique_ptr<char, decltype(&free)> current(getcwd(nullptr, 0), &free);
    if (current == nullptr) return LastWindowsError();
    std::wstring joined = FromUtf8(current.get());
    joined += L'/';
    joined += path;
    full = Normalised(joined);
    return 0;
}

std::string HostPath(std::wstring_view path) {
    std::wstring full;
    if (FullHostPath(path, full) != 0) return {};
    return ToUtf8(full);
}
