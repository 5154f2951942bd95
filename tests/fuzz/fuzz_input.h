#pragma once
// What the fuzz targets share: the fuzzer's bytes read as UTF-16 code units, the way Windows
// hands out wide text, and a check that stops the fuzzer with the broken rule and its input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

// Little-endian pairs of bytes, one code unit each; an odd last byte is dropped. Every unit
// arrives unchanged, lone surrogates included.
inline std::wstring WideFromUtf16Bytes(const std::uint8_t* data, std::size_t size) {
    std::wstring text;
    text.reserve(size / 2);
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    return text;
}

// The text cut at every U+0000, as an argument array holds its strings.
inline std::vector<std::wstring> SplitAtNul(std::wstring_view text) {
    std::vector<std::wstring> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L'\0', start);
        parts.emplace_back(text.substr(start, end - start));
        if (end == std::wstring_view::npos) return parts;
        start = end + 1;
    }
}

// Printable form of a wide string for a failure report: ASCII as is, everything else as \uXXXX.
inline std::string Printable(std::wstring_view text) {
    std::string out;
    for (const wchar_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        }
    }
    return out;
}

// Aborts (libFuzzer then saves the input as a crash) when a rule does not hold.
#define FUZZ_REQUIRE(condition, subject)                                        \
    do {                                                                        \
        if (!(condition)) {                                                     \
            std::fprintf(stderr, "broken rule: %s\n  for \"%s\"\n", #condition, \
                         Printable(subject).c_str());                           \
            std::abort();                                                       \
        }                                                                       \
    } while (false)
