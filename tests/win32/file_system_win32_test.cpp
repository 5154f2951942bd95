// What only the Windows host shows: device-prefixed paths and device names, removal through a
// handle or aside, and the answers of the system that only a seam can give under Wine.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "convert/file_system.h"
#include "convert/output_file.h"
#include "platform/file_system_host.h"
#include "platform/win32/file_system_seams.h"
#include "tests/support/file_system_checks.h"
#include "tests/support/test_files.h"
#include "tests/win32/file_system_win32_support.h"

namespace {

TEST(FileSystemWin32Test, DevicePrefixedPathsWork) {
    // The level "\\?\C:" cannot be created; only the deepest level decides.
    TempFolder folder;
    const std::wstring prefixed = L"\\\\?\\" + folder.path() + L"\\out\\deep";
    EXPECT_NO_THROW(CreateDirectories(prefixed));
    WriteTestFile(folder / L"out\\deep\\a.jpg", "x");
    EXPECT_TRUE(IsRegularFile(prefixed + L"\\a.jpg"));
    EXPECT_TRUE(IsSameFile(prefixed + L"\\a.jpg", folder / L"out\\deep\\a.jpg"));
    RemovePath(prefixed + L"\\a.jpg");
    EXPECT_FALSE(TestEntryExists(folder / L"out\\deep\\a.jpg"));
}

}  // namespace

// Windows 10 reads aux.heic or nul.jpg in any folder as a device; a photo of that name is a file,
// made absolute, created, found and removed as any other.
TEST(FileSystemWin32Test, DeviceNamesAreFileNames) {
    TempFolder folder;
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {{L"aux.heic", L"aux.heic"},
                                                               {L"nul.jpg", L"nul.jpg"},
                                                               {L"COM1.jpg", L"COM1.jpg"},
                                                               {L"lpt1", L"lpt1"},
                                                               {L"con.jpg. ", L"con.jpg"}};
    for (const auto& [typed, name] : cases) {
        const std::wstring path = folder / name;
        EXPECT_EQ(AbsolutePath(folder / typed), path);
        host::FileHandle claimed = host::kNoFile;
        ASSERT_EQ(host::CreateNewFile(path, claimed), 0u) << name;
        EXPECT_EQ(host::FinishNewFile(claimed, path), 0u);
        EXPECT_TRUE(IsRegularFile(path)) << name;
        RemovePath(path);
        EXPECT_FALSE(PathExists(path)) << name;
    }
}

// A drive-relative device name keeps the drive's current folder, which the system names.
TEST(FileSystemWin32Test, DriveRelativeDeviceNamesKeepTheDrivesFolder) {
    for (const std::wstring drive : {L"C:", L"z:"}) {
        wchar_t folder[MAX_PATH] = {};
        const DWORD length = GetFullPathNameW((drive + L"x").c_str(), MAX_PATH, folder, nullptr);
        ASSERT_GT(length, 1u);
        EXPECT_EQ(AbsolutePath(drive + L"aux.heic"),
                  std::wstring(folder, length - 1) + L"aux.heic");
    }
}

namespace {

DWORD answeredType = FILE_TYPE_DISK;
DWORD answeredError = ERROR_SUCCESS;

DWORD WINAPI AnsweredFileType(HANDLE) {
    SetLastError(answeredError);
    return answeredType;
}

// A name the disk check refuses after CREATE_NEW made the file: the empty file goes, and a failed
// check answers its own error. The system's own \\.\nul is refused without a seam.
TEST(FileSystemWin32Test, ARefusedClaimLeavesNoFile) {
    const std::tuple<DWORD, DWORD, std::uint32_t> cases[] = {
        {FILE_TYPE_CHAR, ERROR_SUCCESS, ERROR_INVALID_NAME},
        {FILE_TYPE_UNKNOWN, ERROR_IO_DEVICE, ERROR_IO_DEVICE},
        {FILE_TYPE_UNKNOWN, ERROR_SUCCESS, ERROR_INVALID_NAME}};
    TempFolder folder;
    host::FileHandle file = host::kNoFile;
    {
        const SeamScope seam(host::seams::fileType, &AnsweredFileType);
        for (const auto& [type, lastError, expected] : cases) {
            std::tie(answeredType, answeredError) = std::tie(type, lastError);
            EXPECT_EQ(host::CreateNewFile(folder / L"claimed.jpg", file), expected) << type;
            EXPECT_EQ(file, host::kNoFile);
            EXPECT_FALSE(TestEntryExists(folder / L"claimed.jpg")) << type;
        }
    }
    EXPECT_NE(host::CreateNewFile(L"\\\\.\\nul", file), 0u);
    EXPECT_EQ(file, host::kNoFile);
}

enum class Held { no, readOnly, byViewer, byWriter, asImage };

// Each removal frees the name at once, or fails with the file still under its name; none leaves a
// file aside. Where POSIX semantics are refused (Wine too), a file a viewer holds stays aside until
// the viewer lets go, and a program in use is renamed but not deleted, so it goes back.
TEST(FileSystemWin32Test, RemovalFreesTheNameOrLeavesTheFileWhereItWas) {
    const std::tuple<Held, std::uint32_t> cases[] = {{Held::no, 0},
                                                     {Held::readOnly, 0},
                                                     {Held::byViewer, 0},
                                                     {Held::byWriter, ERROR_SHARING_VIOLATION},
                                                     {Held::asImage, ERROR_ACCESS_DENIED}};
    for (const auto& [held, refusal] : cases) {
        SCOPED_TRACE(static_cast<int>(held));
        TempFolder folder;
        const std::wstring path = folder / L"old.jpg";
        const bool posix = PosixDeletionGranted(folder, false);
        const std::uint32_t error =
            held == Held::asImage && PosixDeletionGranted(folder, true) ? 0 : refusal;
        std::unique_ptr<ImageInUse> image;
        if (held == Held::asImage) image = std::make_unique<ImageInUse>(path);
        if (held != Held::asImage) WriteTestFile(path, "old");
        if (held == Held::readOnly) MakeReadOnly(path);
        const bool viewer = held == Held::byViewer;
        const HANDLE holder =
            viewer || held == Held::byWriter
                ? CreateFileW(path.c_str(), viewer ? GENERIC_READ : GENERIC_WRITE,
                              viewer ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                     : FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr)
                : INVALID_HANDLE_VALUE;

        std::wstring aside;
        EXPECT_EQ(host::RemoveEntry(path, &aside), error);
        EXPECT_EQ(aside, L"");
        EXPECT_EQ(TestEntryExists(path), error != 0);
        EXPECT_EQ(AsideFiles(folder).size(), viewer && !posix ? 1u : 0u);
        host::FileHandle file = host::kNoFile;
        EXPECT_EQ(host::CreateNewFile(path, file) == 0, error == 0);
        if (file != host::kNoFile) {
            EXPECT_EQ(host::FinishNewFile(file, path), 0u);
        }
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
        EXPECT_EQ(AsideFiles(folder).size(), 0u);
    }
}

// A file link goes through its own handle and its target stays. Wine makes no link with
// CreateSymbolicLinkW, Windows only for an administrator or in Developer Mode.
TEST(FileSystemWin32Test, RemovingALinkLeavesItsTarget) {
    TempFolder folder;
    WriteTestFile(folder / L"target.jpg", "target");
    CreateSymbolicLinkW((folder / L"link.jpg").c_str(), L"target.jpg",
                        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = GetFileAttributesW((folder / L"link.jpg").c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "no symbolic link can be made here";
    }
    EXPECT_NO_THROW(RemovePath(folder / L"link.jpg"));
    EXPECT_FALSE(TestEntryExists(folder / L"link.jpg"));
    EXPECT_EQ(ReadTestFile(folder / L"target.jpg"), "target");
}

DWORD WINAPI UnqueryableAttributes(LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
}

// Windows answers every query of a file being deleted with access denied and still lists it: its
// name is taken. Wine answers such queries, so the seam answers for it.
TEST(FileSystemWin32Test, AListedNameThatAnswersNoQueryIsTaken) {
    TempFolder folder;
    WriteTestFile(folder / L"deleting.jpg", "x");
    const SeamScope seam(host::seams::ownAttributes, &UnqueryableAttributes);
    EXPECT_TRUE(NameTaken(folder / L"deleting.jpg"));
    const std::wstring unlisted = folder / L"unlisted.jpg";
    ExpectFileSystemError([&] { NameTaken(unlisted); }, "exists", unlisted, ERROR_ACCESS_DENIED);
}

std::wstring unopenable;
DWORD unopenableError = ERROR_SUCCESS;
HANDLE (*systemOpen)(const std::wstring&) = nullptr;

HANDLE OpenUnlessUnopenable(const std::wstring& systemPath) {
    if (systemPath != L"\\\\?\\" + unopenable) return systemOpen(systemPath);
    SetLastError(unopenableError);
    return INVALID_HANDLE_VALUE;
}

// Two different files, the second of which cannot be opened (on Windows, a file being deleted;
// Wine opens it, so the seam refuses): only its absence tells them apart.
TEST(FileSystemWin32Test, AnUnopenableSecondPathMayBeTheFirst) {
    TempFolder folder;
    WriteTestFile(folder / L"a.jpg", "a");
    WriteTestFile(folder / L"b.jpg", "b");
    systemOpen = host::seams::openForQuery;
    const SeamScope seam(host::seams::openForQuery, &OpenUnlessUnopenable);
    for (const auto& [error, same] : {std::pair<DWORD, bool>{ERROR_SUCCESS, false},
                                      {ERROR_ACCESS_DENIED, true},
                                      {ERROR_FILE_NOT_FOUND, false}}) {
        unopenable = error == ERROR_SUCCESS ? L"" : folder / L"b.jpg";
        unopenableError = error;
        EXPECT_EQ(IsSameFile(folder / L"a.jpg", folder / L"b.jpg"), same) << error;
    }
}

// Names ignore case on Windows: an old PHOTO.JPG is Photo.heic's own output and is replaced, while
// the input itself, in another spelling, never is.
TEST(FileSystemWin32Test, OverwritingReplacesAnOutputSpelledInAnotherCase) {
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> cases[] = {
        {L"PHOTO.JPG", L"Photo.heic", L"Photo.jpg"},
        {L"PHOTO.JPG", L"photo.jpg", L"photo (1).jpg"}};
    for (const auto& [existing, input, output] : cases) {
        TempFolder folder;
        WriteTestFile(folder / existing, "old");
        if (!TestEntryExists(folder / input)) WriteTestFile(folder / input, "input");
        ConversionOptions options;
        options.overwrite = true;
        OutputFile file(folder / input, options);
        EXPECT_EQ(file.path(), folder / output);
        file.PrepareLocation();
        ASSERT_EQ(file.Claim(), S_OK);
        ASSERT_EQ(file.Commit(), S_OK);
        WIN32_FIND_DATAW data{};
        FindClose(FindFirstFileW((folder / output).c_str(), &data));
        EXPECT_EQ(std::wstring(data.cFileName), output);
        EXPECT_EQ(data.nFileSizeLow, 0u);
    }
}

}  // namespace
