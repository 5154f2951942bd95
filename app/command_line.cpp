#include "app/command_line.h"

#include <string_view>

namespace {

int ClampedQuality(int value) {
    return value < 1 ? 1 : value > 100 ? 100 : value;
}

// The quality as std::stoi reads it: blanks and a sign first, digits up to the first other
// character. Anything it refuses (no digits, outside int) refuses the command line.
bool ReadQuality(const std::wstring& value, int& quality) {
    try {
        quality = ClampedQuality(std::stoi(value));
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace

bool ParseCommandLine(int argumentCount, const wchar_t* const* arguments,
                      ConversionOptions& options, std::vector<std::wstring>& inputs) {
    const auto argument = [&](int index) -> std::wstring {
        const wchar_t* text = arguments[index];
        return text != nullptr ? std::wstring(text) : std::wstring();
    };
    for (int i = 1; i < argumentCount; ++i) {
        const std::wstring a = argument(i);
        const bool hasValue = i + 1 < argumentCount;
        if (a == L"--quiet") {
            options.quiet = true;
        } else if (a == L"--no-gui") {
            options.noGui = true;
        } else if (a == L"--self-test") {
            options.selfTest = true;
        } else if (a == L"--overwrite") {
            options.overwrite = true;
        } else if (a == L"--quality" && hasValue) {
            if (!ReadQuality(argument(++i), options.quality)) return false;
        } else if (a == L"--output-dir" && hasValue) {
            options.outputDir = argument(++i);
        } else if (!a.empty() && a.front() == L'-') {
            return false;
        } else {
            inputs.push_back(a);
        }
    }
    return true;
}
