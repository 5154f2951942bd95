// The UTF-8 reading and writing of names, checked against bytes and code points written out here,
// not made by the code under test: every name read from the system must be handed back as the
// same bytes, and two different names must never read as one.
#include "platform/posix/system/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Wide(std::u32string codePoints) {
    return std::wstring(codePoints.begin(), codePoints.end());
}

TEST(Utf8, BytesAndCodePointsRoundTrip) {
    struct Case {
        const char* label;
        std::string bytes;
        std::u32string codePoints;
    };
    const Case cases[] = {
        {"1-byte end", "\x7F", U"\x7F"},
        {"2-byte start", "\xC2\x80", U"\x80"},
        {"2-byte end", "\xDF\xBF", U"\x7FF"},
        {"3-byte start", "\xE0\xA0\x80", U"\x800"},
        {"3-byte end", "\xEF\xBF\xBF", U"\xFFFF"},
        {"4-byte start", "\xF0\x90\x80\x80", U"\x10000"},
        {"largest", "\xF4\x8F\xBF\xBF", U"\x10FFFF"},
        {"emoji", "\xEC\x82\xAC\xEC\xA7\x84 \xF0\x9F\x98\x80.heic", U"\xC0AC\xC9C4 \x1F600.heic"},
        // Bytes that are not UTF-8 travel one by one as U+DC80..U+DCFF.
        {"lone bytes", "\xFF.heic\x80", U"\xDCFF.heic\xDC80"},
        {"over-long 2", "\xC0\xAF", U"\xDCC0\xDCAF"},
        {"over-long 3 below U+0800", "\xE0\x9F\xBF", U"\xDCE0\xDC9F\xDCBF"},
        {"over-long 4", "\xF0\x8F\xBF\xBF", U"\xDCF0\xDC8F\xDCBF\xDCBF"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", U"\xDCF4\xDC90\xDC80\xDC80"},
        {"lead bytes F8-FF", "\xF8\x90\x80\x80\xFC\xFE", U"\xDCF8\xDC90\xDC80\xDC80\xDCFC\xDCFE"},
        {"encoded surrogate", "\xED\xB2\x80", U"\xDCED\xDCB2\xDC80"},
        {"cut off", "a\xF0\x9F\x98", U"a\xDCF0\xDC9F\xDC98"},
        {"continuation missing", "\xC3(\xE2\x82z", U"\xDCC3(\xDCE2\xDC82z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(FromUtf8(c.bytes), Wide(c.codePoints));
        EXPECT_EQ(ToUtf8(Wide(c.codePoints)), c.bytes);
    }
}

TEST(Utf8, WhatNoNameCanHoldBecomesTheReplacementCharacter) {
    const std::string replacement = "\xEF\xBF\xBD";
    for (const char32_t c : {U'\xD800', U'\xDC7F', U'\xDD00', U'\x110000'}) {
        EXPECT_EQ(ToUtf8(Wide({c})), replacement) << std::hex << static_cast<unsigned>(c);
    }
    // Shown to a person, a carried byte is a replacement character too.
    EXPECT_EQ(ToDisplayUtf8(Wide(U"a\xDCFF\x1F600")), "a" + replacement + "\xF0\x9F\x98\x80");
}

}  // namespace
