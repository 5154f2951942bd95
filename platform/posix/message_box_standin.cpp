#include <cstdio>
#include <string>

#include "platform/posix/user_standin.h"
#include "platform/posix/utf8.h"

namespace {

constexpr UINT kIconMask = 0x000000F0u;

}  // namespace

// No windows here: the box's text goes to the terminal, errors where errors go.
int MessageBoxW(HWND, LPCWSTR text, LPCWSTR, UINT type) {
    std::FILE* stream = (type & kIconMask) == MB_ICONERROR ? stderr : stdout;
    std::string line = ToUtf8(text != nullptr ? text : L"");
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
    return IDOK;
}
