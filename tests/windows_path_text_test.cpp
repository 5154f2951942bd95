#include "platform/windows_path_text.h"

#include <gtest/gtest.h>

#include <string_view>

namespace {

TEST(ExtendedLengthPathTest, FullPathsTakeTheFormThatWindowsReadsAsItStands) {
    struct Case {
        std::wstring_view fullPath, expected;
    };
    const Case cases[] = {
        {L"C:\\Pictures\\nul.jpg", L"\\\\?\\C:\\Pictures\\nul.jpg"},
        {L"c:\\", L"\\\\?\\c:\\"},
        {L"C:\\a/b.jpg", L"\\\\?\\C:\\a\\b.jpg"},
        {L"\\\\server\\share\\a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
        {L"//server/share/a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
        // A third separator leaves the server name empty: no share to name, the text stays.
        {L"\\\\\\server\\share", L"\\\\\\server\\share"},
        {L"\\\\?\\C:\\a.jpg", L"\\\\?\\C:\\a.jpg"},
        {L"\\\\?\\UNC\\server\\share\\a.jpg", L"\\\\?\\UNC\\server\\share\\a.jpg"},
        {L"\\\\.\\C:\\a.jpg", L"\\\\.\\C:\\a.jpg"},
        {L"\\\\.\\nul", L"\\\\.\\nul"},
        {L"relative\\a.jpg", L"relative\\a.jpg"},
        {L"C:a.jpg", L"C:a.jpg"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExtendedLengthPath(c.fullPath), c.expected) << std::wstring(c.fullPath);
    }
}

// A path named to the user (a file left aside) is shown as it was before its "\\?\" form.
TEST(ExtendedLengthPathTest, TheUsualFormUndoesIt) {
    for (const std::wstring_view path :
         {L"C:\\a\\b.jpg", L"\\\\server\\share\\a.jpg", L"\\\\.\\nul", L"a.jpg"}) {
        EXPECT_EQ(UsualPathForm(ExtendedLengthPath(path)), path) << std::wstring(path);
    }
}

}  // namespace
