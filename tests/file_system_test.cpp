#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "tests/support/test_files.h"

namespace {

namespace fs = std::filesystem;

// Joins with "\" as the program does, whatever the host.
std::wstring Under(const TempFolder& folder, std::wstring_view relative) {
    return folder.path() + L"\\" + std::wstring(relative);
}

// Separator style is the host's business; these tests compare the elements.
std::wstring Backslashed(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

class CurrentFolderScope {
  public:
    explicit CurrentFolderScope(const std::wstring& folder) : saved_(fs::current_path()) {
        fs::current_path(NativePath(folder));
    }
    ~CurrentFolderScope() { fs::current_path(saved_); }
    CurrentFolderScope(const CurrentFolderScope&) = delete;
    CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

  private:
    fs::path saved_;
};

template <typename Action>
fs::filesystem_error CaughtError(Action action) {
    try {
        action();
    } catch (const fs::filesystem_error& error) {
        return error;
    }
    ADD_FAILURE() << "no filesystem error raised";
    return fs::filesystem_error("none", std::error_code());
}

void ExpectError(const fs::filesystem_error& error, std::string_view operation,
                 const std::wstring& path) {
    EXPECT_NE(std::string(error.what()).find(operation), std::string::npos) << error.what();
    EXPECT_EQ(error.path1(), NativePath(path));
    EXPECT_EQ(&error.code().category(), &std::system_category());
}

TEST(FileSystemTest, AbsolutePathResolvesAgainstTheCurrentFolder) {
    TempFolder folder;
    MakeTestFolder(folder / L"sub");
    const CurrentFolderScope scope(folder.path());
    struct Case {
        std::wstring_view path;
        std::wstring_view expectedUnderFolder;  // empty: the folder itself
    };
    const Case cases[] = {
        {L"a.heic", L"a.heic"},
        {L".\\a.heic", L"a.heic"},
        {L"sub\\..\\a.heic", L"a.heic"},
        {L"sub/./b/c.heic", L"sub\\b\\c.heic"},
        {L"missing\\x.heic", L"missing\\x.heic"},  // nothing needs to exist
        {L"\uC0AC\uC9C4\\\uC0AC\uC9C4.heic", L"\uC0AC\uC9C4\\\uC0AC\uC9C4.heic"},
        {L"sub\\..", L""},
    };
    const std::wstring base = Backslashed(folder.path());
    for (const auto& c : cases) {
        const std::wstring expected = c.expectedUnderFolder.empty()
                                          ? base
                                          : base + L"\\" + std::wstring(c.expectedUnderFolder);
        EXPECT_EQ(Backslashed(AbsolutePath(std::wstring(c.path))), expected)
            << std::wstring(c.path);
    }
    EXPECT_EQ(AbsolutePath(L""), L"");
}

TEST(FileSystemTest, AbsolutePathOfLongPathsIsComplete) {
    // Longer than the first request's 260 characters, so the answer must be asked for again.
    TempFolder folder;
    std::wstring path = folder.path();
    for (int level = 0; level < 6; ++level)
        path += L"\\" + std::wstring(100, static_cast<wchar_t>(L'a' + level));
    const std::wstring absolute = AbsolutePath(path);
    EXPECT_EQ(Backslashed(absolute), Backslashed(path));
    EXPECT_EQ(Backslashed(AbsolutePath(path + L"\\x\\..\\y.heic")),
              Backslashed(path + L"\\y.heic"));
}

TEST(FileSystemTest, EntryKindsAndExistence) {
    TempFolder folder;
    WriteTestFile(folder / L"file.heic", "x");
    MakeTestFolder(folder / L"dir.jpg");
    MakeTestFolder(folder / L"\uD3F4\uB354");
    WriteTestFile(folder / L"\uD3F4\uB354/\uC0AC\uC9C4.heic", "x");
    struct Case {
        std::wstring_view relative;
        EntryKind kind;
    };
    const Case cases[] = {
        {L"file.heic", EntryKind::regularFile},
        {L"dir.jpg", EntryKind::directory},
        {L"dir.jpg\\", EntryKind::directory},
        {L"\uD3F4\uB354\\\uC0AC\uC9C4.heic", EntryKind::regularFile},
        {L"\uD3F4\uB354/\uC0AC\uC9C4.heic", EntryKind::regularFile},
        {L"missing.heic", EntryKind::notFound},
        {L"missing\\deeper\\x.heic", EntryKind::notFound},
        {L"file.heic\\x.heic", EntryKind::notFound},  // a file in the middle
        {L"bad<name>?.jpg", EntryKind::notFound},
    };
    for (const auto& c : cases) {
        const std::wstring path = Under(folder, c.relative);
        EXPECT_EQ(QueryEntryKind(path, "status"), c.kind) << path;
        EXPECT_EQ(PathExists(path), c.kind != EntryKind::notFound) << path;
        EXPECT_EQ(IsRegularFile(path), c.kind == EntryKind::regularFile) << path;
    }
}

TEST(FileSystemTest, CreateDirectoriesMakesEveryMissingLevel) {
    TempFolder folder;
    MakeTestFolder(folder / L"existing");
    const std::wstring_view cases[] = {
        L"out\\a\\b",
        L"out\\a\\c\\",  // a trailing separator
        L"existing",     // already there: no error
        L"mixed/x\\y",  L"\uCD9C\uB825\\\uD3F4\uB354", L"dots\\.\\z\\..\\w",
    };
    for (const auto& relative : cases) {
        const std::wstring path = Under(folder, relative);
        EXPECT_NO_THROW(CreateDirectories(path)) << path;
        EXPECT_EQ(QueryEntryKind(path, "status"), EntryKind::directory) << path;
    }
    EXPECT_EQ(QueryEntryKind(folder / L"out", "status"), EntryKind::directory);
    EXPECT_EQ(QueryEntryKind(Under(folder, L"dots\\z"), "status"), EntryKind::directory);
}

TEST(FileSystemTest, CreateDirectoriesFailsWhereAFileStands) {
    TempFolder folder;
    WriteTestFile(folder / L"file", "x");
    const std::wstring_view cases[] = {L"file", L"file\\sub", L"file\\sub\\deeper"};
    for (const auto& relative : cases) {
        const std::wstring path = Under(folder, relative);
        const auto error = CaughtError([&] { CreateDirectories(path); });
        ExpectError(error, "create_directories", path);
        EXPECT_NE(error.code().value(), 0);
    }
    EXPECT_EQ(CaughtError([&] { CreateDirectories(Under(folder, L"file")); }).code().value(), 183);
    EXPECT_EQ(ReadTestFile(folder / L"file"), "x");
}

TEST(FileSystemTest, CreateDirectoriesOfEmptyPathAndRootsAlone) {
    EXPECT_EQ(CaughtError([] { CreateDirectories(L""); }).code().value(), 3);

    // A root alone needs nothing: no folder named after it may appear here.
    TempFolder folder;
    const CurrentFolderScope scope(folder.path());
    for (const std::wstring root : {L"Q:", L"Q:\\", L"\\", L"/"}) {
        EXPECT_NO_THROW(CreateDirectories(root)) << root;
    }
    EXPECT_FALSE(TestEntryExists(folder / L"Q:"));
}

TEST(FileSystemTest, RemovePathRemovesFilesReadOnlyFilesAndEmptyFolders) {
    TempFolder folder;
    WriteTestFile(folder / L"plain.jpg", "x");
    WriteTestFile(folder / L"\uC77D\uAE30\uC804\uC6A9.jpg", "x");
    MakeReadOnly(folder / L"\uC77D\uAE30\uC804\uC6A9.jpg");
    MakeTestFolder(folder / L"empty");
    const std::wstring_view cases[] = {L"plain.jpg", L"\uC77D\uAE30\uC804\uC6A9.jpg", L"empty",
                                       L"never-there.jpg"};
    for (const auto& relative : cases) {
        const std::wstring path = Under(folder, relative);
        EXPECT_NO_THROW(RemovePath(path)) << path;
        EXPECT_FALSE(TestEntryExists(folder / relative)) << path;
    }
}

TEST(FileSystemTest, RemovePathRefusesAFolderThatHoldsSomething) {
    TempFolder folder;
    MakeTestFolder(folder / L"full");
    WriteTestFile(folder / L"full/inside.jpg", "x");
    const std::wstring path = Under(folder, L"full");
    const auto error = CaughtError([&] { RemovePath(path); });
    ExpectError(error, "remove", path);
    EXPECT_EQ(error.code().value(), 145);
    EXPECT_FALSE(TryRemovePath(path));
    EXPECT_EQ(ReadTestFile(folder / L"full/inside.jpg"), "x");

    WriteTestFile(folder / L"gone.jpg", "x");
    EXPECT_TRUE(TryRemovePath(Under(folder, L"gone.jpg")));
    EXPECT_FALSE(TestEntryExists(folder / L"gone.jpg"));
}

TEST(FileSystemTest, IsSameFileComparesIdentityNotSpelling) {
    TempFolder folder;
    WriteTestFile(folder / L"a.jpg", "same");
    WriteTestFile(folder / L"b.jpg", "same");
    MakeTestFolder(folder / L"sub");
    struct Case {
        std::wstring_view first;
        std::wstring_view second;
        bool same;
    };
    const Case cases[] = {
        {L"a.jpg", L"a.jpg", true},        {L"a.jpg", L"sub\\..\\a.jpg", true},
        {L"a.jpg", L"b.jpg", false},  // equal bytes, different files
        {L"a.jpg", L"missing.jpg", false}, {L"missing.jpg", L"missing.jpg", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSameFile(Under(folder, c.first), Under(folder, c.second)), c.same)
            << std::wstring(c.first) << L" / " << std::wstring(c.second);
    }
}

TEST(FileSystemTest, ErrorCarriesOperationPathAndWindowsCode) {
    const std::wstring path = L"C:\\\uC0AC\uC9C4\\a.jpg";
    const auto error = CaughtError([&] { ThrowFileSystemError("remove", path, 5); });
    ExpectError(error, "remove", path);
    EXPECT_EQ(error.code().value(), 5);
}

}  // namespace
