#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/file_picker.h"

namespace {

using namespace std::string_literals;
using Paths = std::vector<std::wstring>;

struct SelectionCase {
    const char* name;
    std::wstring buffer;  // the dialog's answer, with its embedded NULs
    Paths paths;
};

class SelectionBufferTest : public testing::TestWithParam<SelectionCase> {};

TEST_P(SelectionBufferTest, ReadsPaths) {
    const SelectionCase& c = GetParam();
    // The dialog leaves the rest of its zero-filled buffer untouched.
    std::wstring buffer = c.buffer;
    buffer.resize(buffer.size() + 16, L'\0');
    EXPECT_EQ(ReadSelectionBuffer(buffer.data(), buffer.size()), c.paths);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SelectionBufferTest,
    testing::Values(
        SelectionCase{
            "OneFileTakenAsIs", L"C:\\Photos\\IMG 1.HEIC\0"s, {L"C:\\Photos\\IMG 1.HEIC"}},
        SelectionCase{
            "SeveralInFolderGetOneBackslash",
            L"C:\\Photos\\2024\0b.heic\0a.heif\0c.jpg\0"s,
            {L"C:\\Photos\\2024\\b.heic", L"C:\\Photos\\2024\\a.heif", L"C:\\Photos\\2024\\c.jpg"}},
        SelectionCase{"SeveralInRootNoDoubledBackslash",
                      L"C:\\\0a.heic\0b.heic\0"s,
                      {L"C:\\a.heic", L"C:\\b.heic"}},
        SelectionCase{
            "SeveralOnBareDriveNoBackslash", L"D:\0a.heic\0b.heic\0"s, {L"D:a.heic", L"D:b.heic"}},
        SelectionCase{"SeveralOnShare",
                      L"\\\\server\\share\0a.heic\0b.heic\0"s,
                      {L"\\\\server\\share\\a.heic", L"\\\\server\\share\\b.heic"}},
        SelectionCase{"NothingInBuffer", L""s, {}}),
    [](const testing::TestParamInfo<SelectionCase>& info) { return std::string(info.param.name); });

TEST(SelectionBufferBounds, StopsAtTheEndOfTheBuffer) {
    // A full buffer without its closing NULs: nothing is read past its length.
    const std::wstring full = L"C:\\in\0a.heic\0bb.heic"s;
    EXPECT_EQ(ReadSelectionBuffer(full.data(), full.size()),
              (Paths{L"C:\\in\\a.heic", L"C:\\in\\bb.heic"}));
    EXPECT_EQ(ReadSelectionBuffer(full.data(), 5), (Paths{L"C:\\in"}));
    EXPECT_EQ(ReadSelectionBuffer(full.data(), 8), (Paths{L"C:\\in\\a."}));
}

TEST(DialogFailure, OnlyATooLongSelectionIsTold) {
    EXPECT_EQ(DialogFailureText(0x3003),
              L"선택한 파일이 너무 많습니다. 한 번에 더 적은 파일을 선택하세요.");
    // Cancel (0), a bad file name (FNERR_INVALIDFILENAME), a dialog that could not be made
    // (CDERR_INITIALIZATION), no memory (CDERR_MEMALLOCFAILURE) and FNERR_SUBCLASSFAILURE stay
    // silent.
    for (std::uint32_t code : {0x0000u, 0x3002u, 0x0002u, 0x0009u, 0x3001u}) {
        EXPECT_EQ(DialogFailureText(code), L"") << std::hex << code;
    }
}

}  // namespace
