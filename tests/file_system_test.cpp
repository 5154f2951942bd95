#include "convert/file_system.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "platform/com_owner.h"
#include "platform/imaging_api.h"
#include "tests/support/file_system_checks.h"
#include "tests/support/test_files.h"

// Creation and removal of the usual kinds are exercised through the output preparation tests.
namespace {

// The separator style of a full path is the host's; these tests compare elements.
std::wstring Backslashed(std::wstring path) {
    for (wchar_t& c : path) c = c == L'/' ? L'\\' : c;
    return path;
}

TEST(FileSystemTest, AbsolutePath) {
    TempFolder folder;
    const CurrentFolderScope scope(folder.path());
    const std::wstring base = Backslashed(folder.path());
    EXPECT_EQ(Backslashed(AbsolutePath(L"sub/.\\..\\\uC0AC\uC9C4.heic")),
              base + L"\\\uC0AC\uC9C4.heic");
    EXPECT_EQ(Backslashed(AbsolutePath(L"sub\\..")), base);
    EXPECT_EQ(AbsolutePath(L""), L"");

    // Longer than the first request's 260 characters.
    std::wstring deep = folder.path();
    for (wchar_t c = L'a'; c < L'g'; ++c) deep += L"\\" + std::wstring(100, c);
    EXPECT_EQ(Backslashed(AbsolutePath(deep + L"\\x\\..\\y.heic")),
              Backslashed(deep + L"\\y.heic"));
}

TEST(FileSystemTest, NotFoundAnswersAreNotFailures) {
    TempFolder folder;
    WriteTestFile(folder / L"file.heic", "x");
    for (const std::wstring_view relative :
         {L"missing\\deeper\\x.heic", L"file.heic\\x.heic", L"bad<name>?.jpg"}) {
        const std::wstring path = Under(folder.path(), relative);
        EXPECT_EQ(QueryEntryKind(path, "status"), EntryKind::notFound) << path;
    }
    EXPECT_TRUE(IsRegularFile(Under(folder.path(), L"file.heic")));
    EXPECT_FALSE(IsRegularFile(folder.path() + L"\\"));
}

TEST(FileSystemTest, CreateDirectoriesIsJudgedByTheDeepestLevel) {
    TempFolder folder;
    WriteTestFile(folder / L"file", "x");
    const std::pair<std::wstring_view, int> cases[] = {
        {L"file", 183}, {L"file\\sub", 3}, {L"file\\sub\\deeper", 3}};
    for (const auto& [relative, code] : cases) {
        const std::wstring path = Under(folder.path(), relative);
        ExpectFileSystemError([&] { CreateDirectories(path); }, "create_directories", path, code);
    }
    ExpectFileSystemError([] { CreateDirectories(L""); }, "create_directories", L"", 3);

    // A root alone needs nothing: no folder named after it may appear.
    const CurrentFolderScope scope(folder.path());
    for (const std::wstring root : {L"Q:", L"Q:\\", L"\\"})
        EXPECT_NO_THROW(CreateDirectories(root));
    EXPECT_FALSE(TestEntryExists(folder / L"Q:"));
}

TEST(FileSystemTest, RemovePathRefusesAFolderThatHoldsSomething) {
    TempFolder folder;
    MakeTestFolder(folder / L"full");
    WriteTestFile(folder / L"full/inside.jpg", "x");
    const std::wstring full = Under(folder.path(), L"full");
    ExpectFileSystemError([&] { RemovePath(full); }, "remove", full, 145);
    EXPECT_FALSE(TryRemovePath(full));
    EXPECT_TRUE(TryRemovePath(Under(folder.path(), L"full\\inside.jpg")));
    EXPECT_NO_THROW(RemovePath(Under(folder.path(), L"never-there.jpg")));
}

// The claim of an output name: it succeeds only where nothing at all stands, so that a name
// another run took since the choice is never opened; the file it made is kept open until it is
// finished, or removed through its handle.
TEST(FileSystemTest, CreateNewFileTakesOnlyAFreeName) {
    TempFolder folder;
    WriteTestFile(folder / L"file.jpg", "someone else's");
    MakeTestFolder(folder / L"folder.jpg");
    const std::pair<std::wstring_view, std::uint32_t> cases[] = {
        {L"free.jpg", 0}, {L"file.jpg", 80}, {L"folder.jpg", 80}, {L"missing\\x.jpg", 3}};
    for (const auto& [relative, code] : cases) {
        host::FileHandle file = host::kNoFile;
        EXPECT_EQ(host::CreateNewFile(Under(folder.path(), relative), file), code)
            << testing::PrintToString(relative);
        EXPECT_EQ(file != host::kNoFile, code == 0);
        if (file != host::kNoFile) {
            EXPECT_EQ(host::FinishNewFile(file, Under(folder.path(), relative)), 0u);
        }
    }
    EXPECT_EQ(ReadTestFile(folder / L"free.jpg"), "");
    EXPECT_EQ(ReadTestFile(folder / L"file.jpg"), "someone else's");

    host::FileHandle discarded = host::kNoFile;
    ASSERT_EQ(host::CreateNewFile(Under(folder.path(), L"failed.jpg"), discarded), 0u);
    host::DiscardNewFile(discarded, Under(folder.path(), L"failed.jpg"));
    EXPECT_FALSE(TestEntryExists(folder / L"failed.jpg"));
}

// While the imaging component's stream writes a file, a second writer and a removal are refused,
// so two runs replacing one name never mix their bytes. Once the stream lets go, both succeed.
TEST(FileSystemTest, AFileBeingWrittenIsNeitherOpenedAgainForWritingNorRemoved) {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    {
        ComOwner<IWICImagingFactory> factory;
        ASSERT_GE(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())),
                  0);
        TempFolder folder;
        const std::wstring path = Under(folder.path(), L"out.jpg");
        ComOwner<IWICStream> writing;
        ComOwner<IWICStream> second;
        ASSERT_GE(factory->CreateStream(writing.put()), 0);
        ASSERT_GE(factory->CreateStream(second.put()), 0);
        ASSERT_EQ(writing->InitializeFromFilename(path.c_str(), GENERIC_WRITE), S_OK);

        EXPECT_EQ(second->InitializeFromFilename(path.c_str(), GENERIC_WRITE),
                  HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
        ExpectFileSystemError([&] { RemovePath(path); }, "remove", path, 32);
        EXPECT_TRUE(TestEntryExists(folder / L"out.jpg"));

        writing.reset();
        EXPECT_EQ(second->InitializeFromFilename(path.c_str(), GENERIC_WRITE), S_OK);
        second.reset();
        EXPECT_NO_THROW(RemovePath(path));
        EXPECT_FALSE(TestEntryExists(folder / L"out.jpg"));
    }
    CoUninitialize();
}

// An old JPEG that a removal left under another name is named in the user's text, as the host
// carried it in the error's second path; any other filesystem error reads as the plain text.
TEST(FileSystemTest, PathFailureTextNamesTheFileLeftAside) {
    const std::wstring plain = L"파일 경로를 읽거나 쓸 수 없습니다.";
    const std::wstring moved = plain + L" 이전 JPEG 파일은 다음 위치로 옮겨졌습니다: ";
    const std::wstring jpeg = L"C:\\사진\\IMG_0001.jpg";
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"", plain},
        {L"C:\\사진\\~heic-to-jpeg-4242-1.deleting",
         moved + L"C:\\사진\\~heic-to-jpeg-4242-1.deleting"},
    };
    const std::error_code denied(5, std::system_category());
    for (const auto& [aside, text] : cases) {
        const std::filesystem::filesystem_error error =
            aside.empty()
                ? std::filesystem::filesystem_error("remove", host::ErrorPath(jpeg), denied)
                : std::filesystem::filesystem_error("remove", host::ErrorPath(jpeg),
                                                    host::ErrorPath(aside), denied);
        EXPECT_EQ(PathFailureText(error), text) << testing::PrintToString(aside);
    }
}

TEST(FileSystemTest, IsSameFileComparesIdentityNotSpelling) {
    TempFolder folder;
    WriteTestFile(folder / L"a.jpg", "same");
    WriteTestFile(folder / L"b.jpg", "same");
    EXPECT_TRUE(IsSameFile(Under(folder.path(), L"a.jpg"), Under(folder.path(), L"x\\..\\a.jpg")));
    EXPECT_FALSE(IsSameFile(Under(folder.path(), L"a.jpg"), Under(folder.path(), L"b.jpg")));
    EXPECT_FALSE(IsSameFile(Under(folder.path(), L"none"), Under(folder.path(), L"none")));
    EXPECT_FALSE(IsSameFile(Under(folder.path(), L"a.jpg"), Under(folder.path(), L"none")));
    // Where one side cannot be opened, the two cannot be told apart.
    EXPECT_TRUE(IsSameFile(Under(folder.path(), L"none"), Under(folder.path(), L"a.jpg")));
}

}  // namespace
