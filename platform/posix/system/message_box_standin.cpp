#include <cstdio>
#include <string>

#include "platform/posix/system/user_standin.h"
#include "platform/posix/system/utf8.h"

namespace {

constexpr UINT kIconMask = 0x000000F0u;

}  // namespace

// No windows here: the box's text goes to the terminal, errors where errors go. Paths in it are
// shown in this host's own form: "/" for the "\" the program joins with, and U+FFFD for a byte
// of a name that is not UTF-8.
int MessageBoxW(HWND, LPCWSTR text, LPCWSTR, UINT type) {
    std::FILE* stream = (type & kIconMask) == MB_ICONERROR ? stderr : stdout;
    std::string line = ToDisplayUtf8(text != nullptr ? text : L"");
    for (char& c : line) {
        if (c == '\\') c = '/';
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
    return IDOK;
}
