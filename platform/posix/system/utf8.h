#pragma once
// Wide strings (UTF-32 on this host) meet the operating system as UTF-8. Names on this host are
// bytes and need not be UTF-8: a byte that is not part of a well-formed sequence travels as the
// lone surrogate U+DC80..U+DCFF and is written back as that byte, so every name read from the
// system names the same file when handed back.
#include <string>
#include <string_view>

// Lone surrogates U+DC80..U+DCFF become the byte they carry; any other code point that is not a
// scalar value (another surrogate, a value past U+10FFFF) becomes U+FFFD.
std::string ToUtf8(std::wstring_view text);
// Each byte outside a well-formed, shortest-form sequence becomes U+DC00 + that byte.
std::wstring FromUtf8(std::string_view text);
// For people rather than the file system: a carried byte shows as U+FFFD.
std::string ToDisplayUtf8(std::wstring_view text);
