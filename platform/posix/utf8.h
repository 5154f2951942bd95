#pragma once
// Wide strings (UTF-32 on this host) meet the operating system as UTF-8.
#include <string>
#include <string_view>

// Invalid code points (lone surrogates, values past U+10FFFF) become U+FFFD.
std::string ToUtf8(std::wstring_view text);
// Malformed sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);
