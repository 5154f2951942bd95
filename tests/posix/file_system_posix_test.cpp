// What only this host shows: the errno reading, the lexical full path, links, and a failure that
// root is not spared (a name too long).
#include <errno.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "convert/file_system.h"
#include "convert/output_naming.h"
#include "platform/file_system_host.h"
#include "platform/posix/system/errno_mapping.h"
#include "tests/support/file_system_checks.h"
#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;

TEST(FileSystemPosixTest, ErrnoReadsAsTheWindowsCodeOfTheSameOutcome) {
    struct Case {
        int errorNumber;
        std::uint32_t windowsError;
        bool notFound;
    };
    const Case cases[] = {
        {0, 0, false},        {ENOENT, 2, true},          {ENOTDIR, 3, true},
        {EILSEQ, 123, true},  {EACCES, 5, false},         {EPERM, 5, false},
        {EEXIST, 183, false}, {ENAMETOOLONG, 206, false}, {ENOTEMPTY, 145, false},
        {ELOOP, 1921, false}, {ENOSPC, 112, false},       {EOPNOTSUPP, 31, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(WindowsErrorFromErrno(c.errorNumber), c.windowsError) << c.errorNumber;
        EXPECT_EQ(host::IsNotFoundError(c.windowsError), c.notFound) << c.errorNumber;
    }
}

TEST(FileSystemPosixTest, AbsoluteFormIsLexical) {
    const std::pair<std::wstring_view, std::wstring_view> cases[] = {
        {L"/..", L"/"},
        {L"/a/../../b", L"/b"},
        {L"/a//b/", L"/a/b/"},
        {L"/a/./b/.", L"/a/b"},
        {L"\\a\\b\\..\\c.heic", L"/a/c.heic"},
        {L"/a/...", L"/a"},
        {L"/a. /b.jpg. .", L"/a. /b.jpg"},  // only the last element loses its dots and spaces
    };
    for (const auto& [path, absolute] : cases)
        EXPECT_EQ(AbsolutePath(std::wstring(path)), absolute);

    // A relative path needs the current folder; an absolute one asks nothing of it.
    TempFolder folder;
    MakeTestFolder(folder / L"doomed");
    const CurrentFolderScope scope(folder / L"doomed");
    fs::remove(NativePath(folder / L"doomed"));
    ExpectFileSystemError([] { AbsolutePath(L"a.heic"); }, "absolute", L"a.heic", 2);
    EXPECT_EQ(AbsolutePath(L"/x/a.heic"), L"/x/a.heic");
}

TEST(FileSystemPosixTest, LinksAreFollowedForStatusAndRemovedThemselves) {
    TempFolder folder;
    WriteTestFile(folder / L"target.jpg", "target");
    MakeTestFolder(folder / L"target-dir");
    fs::create_symlink("target.jpg", NativePath(folder / L"file-link"));
    fs::create_directory_symlink("target-dir", NativePath(folder / L"dir-link"));
    fs::create_symlink("nowhere", NativePath(folder / L"dangling"));
    fs::create_symlink("loop", NativePath(folder / L"loop"));

    EXPECT_EQ(QueryEntryKind(folder / L"file-link", "status"), EntryKind::regularFile);
    EXPECT_EQ(QueryEntryKind(folder / L"dir-link", "status"), EntryKind::directory);
    EXPECT_EQ(QueryEntryKind(folder / L"dangling", "status"), EntryKind::notFound);
    EXPECT_EQ(QueryEntryKind(L"/dev/null", "status"), EntryKind::other);
    ExpectFileSystemError([&] { PathExists(folder / L"loop"); }, "exists", folder / L"loop", 1921);
    EXPECT_TRUE(IsSameFile(folder / L"file-link", folder / L"target.jpg"));

    for (const std::wstring_view link : {L"file-link", L"dir-link", L"dangling", L"loop"}) {
        EXPECT_NO_THROW(RemovePath(folder / link)) << std::wstring(link);
        EXPECT_FALSE(TestEntryExists(folder / link)) << std::wstring(link);
    }
    EXPECT_EQ(ReadTestFile(folder / L"target.jpg"), "target");
    EXPECT_TRUE(TestEntryExists(folder / L"target-dir"));
}

TEST(FileSystemPosixTest, NameTooLongIsAFailureNotAnAbsence) {
    TempFolder folder;
    const std::wstring stem = Under(folder.path(), std::wstring(300, L'x'));
    const std::wstring output = stem + L".jpg";
    ExpectFileSystemError([&] { PathExists(output); }, "exists", output, 206);
    ExpectFileSystemError([&] { IsRegularFile(output); }, "status", output, 206);

    // The naming raises the probe's failure; with overwrite it makes no probe at all.
    ExpectFileSystemError([&] { ChooseOutputPath(stem + L".heic", ConversionOptions{}); }, "exists",
                          output, 206);
    EXPECT_EQ(ChooseOutputPath(stem + L".heic",
                               [] {
                                   ConversionOptions o;
                                   o.overwrite = true;
                                   return o;
                               }()),
              output);
}

}  // namespace
