#include "convert/failure_messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

#include "platform/user_api.h"

namespace {

constexpr wchar_t kCodecMissingText[] =
    L"HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEIF 이미지 확장이 설치되어 있는지 "
    L"확인하세요.";
constexpr wchar_t kHevcMissingText[] =
    L"HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEVC 비디오 확장이 설치되어 있는지 "
    L"확인하세요.";

// The system's own text for a code, untouched, or empty when it has none.
std::wstring RawSystemText(std::uint32_t code) {
    LPWSTR buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
        0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    return text;
}

TEST(FailureMessages, CodecMissingCodesAdviseInstallingTheExtension) {
    ASSERT_EQ(std::wstring(kCodecMissingText).size(), 65u);
    const std::pair<std::uint32_t, const wchar_t*> cases[] = {
        {0x88982F50u, kCodecMissingText},
        {0x88982F07u, kCodecMissingText},
        {0x80040154u, kCodecMissingText},
        {0xC00D5212u, kHevcMissingText},  // an iPhone photo without the HEVC extension
    };
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(FormatFailureMessage(static_cast<HRESULT>(code)), text);
    }
}

TEST(FailureMessages, NeighboursOfTheCodecMissingCodesAreNotMistakenForThem) {
    for (const std::uint32_t code :
         {0x88982F51u, 0x88982F06u, 0x80040155u, 0x08982F50u, 0xC00D5213u}) {
        SCOPED_TRACE(code);
        const std::wstring message = FormatFailureMessage(static_cast<HRESULT>(code));
        EXPECT_NE(message, kCodecMissingText);
        EXPECT_NE(message, kHevcMissingText);
    }
}

// Codes every host we run on can describe: Win32 errors in HRESULT form and E_FAIL. The system
// ends its texts in CR LF; the user reads them without, the character before it kept (a full
// stop, except in Windows' own "Unspecified error").
TEST(FailureMessages, SystemTextsLoseOnlyTheirTrailingLineBreak) {
    for (const std::uint32_t code :
         {0x80070002u, 0x80070005u, 0x80070020u, 0x80070057u, 0x80004005u}) {
        SCOPED_TRACE(code);
        const std::wstring raw = RawSystemText(code);
        ASSERT_GE(raw.size(), 3u) << "the host has no text for this code";
        ASSERT_EQ(raw.substr(raw.size() - 2), L"\r\n");

        const std::wstring message = FormatFailureMessage(static_cast<HRESULT>(code));
        EXPECT_EQ(message, raw.substr(0, raw.size() - 2));
        EXPECT_EQ(message.back(), raw[raw.size() - 3]);
    }
}

TEST(FailureMessages, CodesWithoutSystemTextShowUpperCaseHexWithoutLeadingZeros) {
    struct Case {
        std::uint32_t code;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {0xA0B0C0DEu, L"오류 코드 0xA0B0C0DE"},
        {0x8898FFFFu, L"오류 코드 0x8898FFFF"},
        {0x0000BEEFu, L"오류 코드 0xBEEF"},
        {0x0000FACEu, L"오류 코드 0xFACE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ASSERT_TRUE(RawSystemText(c.code).empty()) << "the host describes this code after all";
        EXPECT_EQ(FormatFailureMessage(static_cast<HRESULT>(c.code)), c.expected);
    }
}

}  // namespace
