#include "convert/path_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PathRulesTest, RootNameLength) {
    // \??\\x: a separator fifth makes no device prefix, nor a server; \\?\\x still has the
    // server name \\?.
    const std::pair<std::size_t, std::vector<std::wstring_view>> groups[] = {
        {0,
         {L"", L"C", L"1:\\x", L"\u00C4:\\x", L"a\\b", L"\\x", L"\\\\", L"\\\\\\s", L"\\?x",
          L"\\??\\\\x"}},
        {2, {L"C:", L"z:\\x"}},
        {3,
         {L"\\\\?\\C:\\x", L"\\\\.\\pipe", L"\\??\\C:\\x", L"//?/C:/x", L"\\\\?\\\\x", L"\\\\s"}},
        {8, {L"\\\\server", L"\\\\server\\share\\x", L"//server/share"}},
    };
    for (const auto& [length, paths] : groups) {
        for (const auto path : paths) EXPECT_EQ(RootNameLength(path), length) << std::wstring(path);
    }
}

TEST(PathRulesTest, RelativePartFinalElementAndParent) {
    struct Case {
        std::wstring_view path, relative, finalElement, parent;
    };
    const Case cases[] = {
        {L"C:\\Pictures\\a.heic", L"Pictures\\a.heic", L"a.heic", L"C:\\Pictures"},
        {L"C:a.heic", L"a.heic", L"a.heic", L"C:"},
        {L"a.heic", L"a.heic", L"a.heic", L""},
        {L"C:\\a.heic", L"a.heic", L"a.heic", L"C:\\"},
        {L"C:\\\\/a.heic", L"a.heic", L"a.heic", L"C:\\\\/"},
        {L"C:\\Pictures\\\\", L"Pictures\\\\", L"", L"C:\\Pictures"},
        {L"C:\\", L"", L"", L"C:\\"},
        {L"\\\\server", L"", L"", L"\\\\server"},
        {L"\\\\server\\share\\x.heic", L"share\\x.heic", L"x.heic", L"\\\\server\\share"},
        {L"\\\\?\\C:\\x.heic", L"C:\\x.heic", L"x.heic", L"\\\\?\\C:"},
        {L"\\x.heic", L"x.heic", L"x.heic", L"\\"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RelativePart(c.path), c.relative) << std::wstring(c.path);
        EXPECT_EQ(FinalElement(c.path), c.finalElement) << std::wstring(c.path);
        EXPECT_EQ(ParentOf(c.path), c.parent) << std::wstring(c.path);
    }
}

TEST(PathRulesTest, ExtensionAndStem) {
    struct Case {
        std::wstring_view path, extension, stem;
    };
    const Case cases[] = {
        {L"IMG.HEIC", L".HEIC", L"IMG"},
        {L"C:\\p\\my.photo.heic", L".heic", L"my.photo"},
        {L"a.heic:stream", L".heic", L"a"},
        {L"ab:c.heic", L"", L"ab"},
        {L"a:b.heic", L".heic", L"b"},  // "a:" is a drive, not a stream
        {L"a.", L".", L"a"},
        {L"photo..", L".", L"photo."},
        {L"C:\\p\\.", L"", L"."},
        {L".heic", L"", L".heic"},
        {L"..heic", L".heic", L"."},
        {L"C:\\dir.d\\photo", L"", L"photo"},
        {L"C:\\dir\\", L"", L""},
        {L"\uC0AC\uC9C4.heif", L".heif", L"\uC0AC\uC9C4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExtensionOf(c.path), c.extension) << std::wstring(c.path);
        EXPECT_EQ(StemOf(c.path), c.stem) << std::wstring(c.path);
    }
}

TEST(PathRulesTest, Join) {
    struct Case {
        std::wstring_view folder, name, joined;
    };
    const Case cases[] = {
        {L"D:\\out", L"x.jpg", L"D:\\out\\x.jpg"},
        {L"D:\\out\\", L"x.jpg", L"D:\\out\\x.jpg"},
        {L"D:\\out/", L"x.jpg", L"D:\\out/x.jpg"},
        {L"D:", L"x.jpg", L"D:x.jpg"},
        {L"", L"x.jpg", L"x.jpg"},
        {L"\\\\server", L"x.jpg", L"\\\\server\\x.jpg"},
        {L"out", L"x.jpg", L"out\\x.jpg"},
        {L"\\\\?\\", L"x.jpg", L"\\\\?\\x.jpg"},
        // Rooted names, which the program never joins, follow the standard join.
        {L"D:\\out", L"C:\\x.jpg", L"C:\\x.jpg"},
        {L"D:\\out", L"\\x.jpg", L"D:\\x.jpg"},
        {L"D:\\out", L"D:x.jpg", L"D:\\out\\x.jpg"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JoinPath(c.folder, c.name), c.joined)
            << std::wstring(c.folder) << L" + " << std::wstring(c.name);
    }
}

}  // namespace
