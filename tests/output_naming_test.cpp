#include "convert/output_naming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert/file_system.h"
#include "tests/support/file_system_checks.h"
#include "tests/support/test_files.h"

namespace {

ConversionOptions Options(std::wstring outputDir, bool overwrite) {
    ConversionOptions options;
    options.outputDir = std::move(outputDir);
    options.overwrite = overwrite;
    return options;
}

// With overwrite set nothing is probed, so these hold for paths that exist nowhere.
TEST(OutputNamingTest, NameFromStemAndFolderAsTyped) {
    struct Case {
        std::wstring_view input, outputDir, expected;
    };
    const Case cases[] = {
        {L"C:\\Pictures\\IMG_0001.HEIC", L"", L"C:\\Pictures\\IMG_0001.jpg"},
        {L"C:\\a.heic", L"", L"C:\\a.jpg"},
        {L"C:\\dir.d\\my.photo.heif", L"", L"C:\\dir.d\\my.photo.jpg"},
        {L"\\\\server\\share\\\uC0AC\uC9C4.heic", L"", L"\\\\server\\share\\\uC0AC\uC9C4.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out\\", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out/", L"D:\\out/IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:", L"D:IMG.jpg"},
        // Windows makes every level of "D:\out \sub" without its trailing spaces and dots; a
        // name of dots alone keeps its meaning, and the literal "\\?\" form stays as typed.
        {L"C:\\p\\IMG.HEIC", L"D:\\out ", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out. .", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out\\ ", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out \\", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out. \\", L"D:\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out \\sub", L"D:\\out\\sub\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\ \\out/. /sub.", L"D:\\out/sub\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"\\\\server\\share \\out.", L"\\\\server\\share\\out\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"...", L"...\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"D:\\out\\..\\x", L"D:\\out\\..\\x\\IMG.jpg"},
        {L"C:\\p\\IMG.HEIC", L"\\\\?\\D:\\out \\", L"\\\\?\\D:\\out \\IMG.jpg"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ChooseOutputPath(std::wstring(c.input), Options(std::wstring(c.outputDir), true)),
                  c.expected)
            << std::wstring(c.input) << L" in " << std::wstring(c.outputDir);
    }
}

TEST(OutputNamingTest, FirstFreeNameInARealFolder) {
    struct Case {
        std::wstring_view input;
        std::vector<std::wstring> files, folders;
        bool overwrite;
        std::wstring_view expected;
    };
    std::vector<std::wstring> upToNine{L"IMG.jpg"};
    for (int n = 1; n <= 9; ++n) upToNine.push_back(L"IMG (" + std::to_wstring(n) + L").jpg");
    const Case cases[] = {
        {L"IMG.HEIC", {}, {}, false, L"IMG.jpg"},
        {L"IMG.HEIC", {L"IMG.jpg"}, {}, false, L"IMG (1).jpg"},
        {L"IMG.HEIC", {L"IMG.jpg", L"IMG (1).jpg"}, {}, false, L"IMG (2).jpg"},
        {L"IMG.HEIC", {L"IMG.jpg", L"IMG (2).jpg"}, {}, false, L"IMG (1).jpg"},  // a gap is used
        {L"IMG.HEIC", {L"IMG.jpg", L"IMG(1).jpg", L"IMG (01).jpg"}, {}, false, L"IMG (1).jpg"},
        {L"IMG.HEIC", {}, {L"IMG.jpg"}, false, L"IMG (1).jpg"},  // a folder takes a name too
        {L"IMG.HEIC", {L"IMG.jpg"}, {}, true, L"IMG.jpg"},
        {L"IMG.heic", upToNine, {}, false, L"IMG (10).jpg"},
        {L"my.photo.heic", {L"my.photo.jpg"}, {}, false, L"my.photo (1).jpg"},
        {L"x.jpg", {L"x.jpg"}, {}, false, L"x (1).jpg"},  // a JPEG input never names itself
        {L"\uC0AC\uC9C4.heic", {L"\uC0AC\uC9C4.jpg"}, {}, false, L"\uC0AC\uC9C4 (1).jpg"},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        for (const auto& name : c.files) WriteTestFile(folder / name, "taken");
        for (const auto& name : c.folders) MakeTestFolder(folder / name);
        EXPECT_EQ(ChooseOutputPath(Under(folder.path(), c.input), Options(L"", c.overwrite)),
                  Under(folder.path(), c.expected))
            << std::wstring(c.expected);
    }
}

TEST(OutputNamingTest, MissingOutputFoldersAreCreatedBeforeTheJpeg) {
    TempFolder folder;
    TempFolder current;
    MakeTestFolder(current / L"out");
    WriteTestFile(current / L"out/a.jpg", "taken");
    const CurrentFolderScope scope(current.path());
    const struct {
        std::wstring outputDir, expected;
        std::wstring_view createdFolder;
    } cases[] = {
        {Under(folder.path(), L"new\\\uCD9C\uB825\\deep"),
         Under(folder.path(), L"new\\\uCD9C\uB825\\deep\\a.jpg"), L"new/\uCD9C\uB825/deep"},
        {L"out", L"out\\a (1).jpg", L"out"},  // relative to the current folder
        {L"new\\sub", L"new\\sub\\a.jpg", L"new/sub"},
    };
    for (const auto& c : cases) {
        const ConversionOptions options = Options(c.outputDir, false);
        const std::wstring output = ChooseOutputPath(Under(folder.path(), L"a.heic"), options);
        EXPECT_EQ(output, c.expected);
        PrepareOutputLocation(output, options.overwrite);
        EXPECT_EQ(QueryEntryKind(c.outputDir, "status"), EntryKind::directory) << c.outputDir;
        EXPECT_FALSE(PathExists(output)) << output;  // only the folders are made
    }
    EXPECT_TRUE(TestEntryExists(folder / L"new/\uCD9C\uB825/deep") &&
                TestEntryExists(current / L"new/sub"));
}

TEST(OutputNamingTest, OutputFolderThatIsAFileFailsAtPreparation) {
    TempFolder folder;
    WriteTestFile(folder / L"not-a-folder", "file");
    const ConversionOptions options = Options(Under(folder.path(), L"not-a-folder"), false);
    const std::wstring output = ChooseOutputPath(Under(folder.path(), L"a.heic"), options);
    EXPECT_EQ(output, Under(folder.path(), L"not-a-folder\\a.jpg"));
    ExpectFileSystemError([&] { PrepareOutputLocation(output, options.overwrite); },
                          "create_directories", options.outputDir, 183);
}

TEST(OutputNamingTest, PreparationRemovesTheOldOutputOnlyWhenOverwriting) {
    struct Case {
        bool overwrite, readOnly, folder;
    };
    for (const Case c : {Case{false, false, false}, Case{true, false, false},
                         Case{true, true, false}, Case{true, false, true}}) {
        TempFolder folder;
        const std::wstring name = L"\uC0AC\uC9C4.jpg";
        if (c.folder) MakeTestFolder(folder / name);
        if (!c.folder) WriteTestFile(folder / name, "old");
        if (c.readOnly) MakeReadOnly(folder / name);
        PrepareOutputLocation(Under(folder.path(), name), c.overwrite);
        EXPECT_EQ(TestEntryExists(folder / name), !c.overwrite)
            << c.overwrite << c.readOnly << c.folder;
    }

    TempFolder folder;
    MakeTestFolder(folder / L"a.jpg");
    WriteTestFile(folder / L"a.jpg/inside", "x");
    const std::wstring output = Under(folder.path(), L"a.jpg");
    ExpectFileSystemError([&] { PrepareOutputLocation(output, true); }, "remove", output, 145);
}

}  // namespace
