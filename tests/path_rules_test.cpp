#include "convert/path_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

struct RootCase {
    std::wstring_view path;
    std::size_t rootLength;
};

TEST(PathRulesTest, RootNameLengthFollowsTheRulesInOrder) {
    const RootCase cases[] = {
        {L"", 0},
        {L"C", 0},
        {L"\\", 0},
        {L"C:", 2},
        {L"z:\\x", 2},
        {L"1:\\x", 0},       // only ASCII letters name a drive
        {L"\u00C4:\\x", 0},  // a non-ASCII letter does not either
        {L"C:\\", 2},
        {L"a\\b", 0},          // no leading separator
        {L"\\x", 0},           // a root directory, not a root name
        {L"\\\\?\\C:\\x", 3},  // device prefixes
        {L"\\\\.\\pipe", 3},
        {L"\\??\\C:\\x", 3},
        {L"//?/C:/x", 3},
        {L"\\\\?\\", 3},
        {L"\\??\\\\x", 0},   // fifth character a separator: no device prefix, no server
        {L"\\\\?\\\\x", 3},  // ... but "\\?" is still a server prefix
        {L"\\\\server", 8},
        {L"\\\\server\\share\\x", 8},
        {L"//server/share", 8},
        {L"\\\\s", 3},
        {L"\\\\", 0},
        {L"\\\\\\server", 0},  // third character a separator
        {L"\\?x", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RootNameLength(c.path), c.rootLength) << std::wstring(c.path);
    }
}

struct SplitCase {
    std::wstring_view path;
    std::wstring_view relative;
    std::wstring_view finalElement;
    std::wstring_view parent;
};

TEST(PathRulesTest, SplitsIntoRelativePartFinalElementAndParent) {
    const SplitCase cases[] = {
        {L"C:\\Pictures\\a.heic", L"Pictures\\a.heic", L"a.heic", L"C:\\Pictures"},
        {L"C:a.heic", L"a.heic", L"a.heic", L"C:"},
        {L"pics/a.heic", L"pics/a.heic", L"a.heic", L"pics"},
        {L"a.heic", L"a.heic", L"a.heic", L""},
        {L"C:\\a.heic", L"a.heic", L"a.heic", L"C:\\"},
        {L"C:\\\\/a.heic", L"a.heic", L"a.heic", L"C:\\\\/"},
        {L"C:\\Pictures\\", L"Pictures\\", L"", L"C:\\Pictures"},
        {L"C:\\Pictures\\\\", L"Pictures\\\\", L"", L"C:\\Pictures"},
        {L"C:\\", L"", L"", L"C:\\"},
        {L"C:", L"", L"", L"C:"},
        {L"\\\\server", L"", L"", L"\\\\server"},
        {L"\\\\server\\", L"", L"", L"\\\\server\\"},
        {L"\\\\server\\share\\x.heic", L"share\\x.heic", L"x.heic", L"\\\\server\\share"},
        {L"\\\\?\\C:\\x.heic", L"C:\\x.heic", L"x.heic", L"\\\\?\\C:"},
        {L"\\x.heic", L"x.heic", L"x.heic", L"\\"},
        {L"a\\\\b", L"a\\\\b", L"b", L"a"},
        {L"", L"", L"", L""},
        {L"dir.d\\photo", L"dir.d\\photo", L"photo", L"dir.d"},
    };
    for (const auto& c : cases) {
        const std::wstring path(c.path);
        EXPECT_EQ(RelativePart(c.path), c.relative) << path;
        EXPECT_EQ(FinalElement(c.path), c.finalElement) << path;
        EXPECT_EQ(ParentOf(c.path), c.parent) << path;
    }
}

struct NameCase {
    std::wstring_view path;
    std::wstring_view extension;
    std::wstring_view stem;
};

TEST(PathRulesTest, ExtensionAndStemOfTheFinalElement) {
    const NameCase cases[] = {
        {L"IMG.HEIC", L".HEIC", L"IMG"},
        {L"C:\\Pictures\\my.photo.heic", L".heic", L"my.photo"},
        {L"archive.tar.heic", L".heic", L"archive.tar"},
        {L"a.heic:stream", L".heic", L"a"},
        {L"ab:c.heic", L"", L"ab"},     // the cut comes before the last dot
        {L"a:b.heic", L".heic", L"b"},  // "a:" is a drive, not a stream
        {L"a.b:c.d", L".b", L"a"},
        {L"a.", L".", L"a"},
        {L"photo..", L".", L"photo."},
        {L".", L"", L"."},
        {L"..", L"", L".."},
        {L"x", L"", L"x"},
        {L"C:\\pics\\.", L"", L"."},
        {L".heic", L"", L".heic"},
        {L"..heic", L".heic", L"."},
        {L"noext", L"", L"noext"},
        {L"C:\\dir.d\\photo", L"", L"photo"},  // a dot in a folder is not the file's
        {L"C:\\dir\\", L"", L""},
        {L"C:a.heic", L".heic", L"a"},
        {L"\\\\server", L"", L""},
        {L"\uC0AC\uC9C4.heif", L".heif", L"\uC0AC\uC9C4"},
    };
    for (const auto& c : cases) {
        const std::wstring path(c.path);
        EXPECT_EQ(ExtensionOf(c.path), c.extension) << path;
        EXPECT_EQ(StemOf(c.path), c.stem) << path;
    }
}

struct JoinCase {
    std::wstring_view folder;
    std::wstring_view name;
    std::wstring_view joined;
};

TEST(PathRulesTest, JoinAddsOneBackslashOnlyWhereNeeded) {
    const JoinCase cases[] = {
        {L"D:\\out", L"x.jpg", L"D:\\out\\x.jpg"},
        {L"D:\\out\\", L"x.jpg", L"D:\\out\\x.jpg"},
        {L"D:\\out/", L"x.jpg", L"D:\\out/x.jpg"},
        {L"D:", L"x.jpg", L"D:x.jpg"},
        {L"D:\\", L"x.jpg", L"D:\\x.jpg"},
        {L"", L"x.jpg", L"x.jpg"},
        {L"out", L"x.jpg", L"out\\x.jpg"},
        {L"\\\\server", L"x.jpg", L"\\\\server\\x.jpg"},
        {L"\\\\?\\", L"x.jpg", L"\\\\?\\x.jpg"},
        {L"/tmp/a", L"x (1).jpg", L"/tmp/a\\x (1).jpg"},
        // Rooted names, which the program never joins, follow the standard join.
        {L"D:\\out", L"C:\\x.jpg", L"C:\\x.jpg"},
        {L"D:\\out", L"\\x.jpg", L"D:\\x.jpg"},
        {L"D:\\out", L"D:x.jpg", L"D:\\out\\x.jpg"},
        {L"D:\\out", L"C:x.jpg", L"C:x.jpg"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JoinPath(c.folder, c.name), c.joined)
            << std::wstring(c.folder) << L" + " << std::wstring(c.name);
    }
}

}  // namespace
