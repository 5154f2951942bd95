// What only the Windows host shows: device-prefixed paths and device names, removal through a
// handle or aside, and the answers of the system that only a seam can give under Wine.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
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

// A drive-relative device name keeps the drive's current folder, as a drive-relative name does:
// the system says which folder that is.
TEST(FileSystemWin32Test, DriveRelativeDeviceNamesKeepTheDrivesFolder) {
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:", L"aux.heic"}, {L"z:", L"nul.jpg"}, {L"C:", L"COM1.jpg. "}};
    for (const auto& [drive, name] : cases) {
        wchar_t folder[MAX_PATH] = {};
        const DWORD length = GetFullPathNameW((std::wstring(drive) + L"x").c_str(), MAX_PATH,
                                              folder, nullptr);
        ASSERT_GT(length, 1u);
        const std::wstring expected = std::wstring(folder, length - 1) +
                                      std::wstring(name).substr(0, std::wstring(name).find(L". "));
        EXPECT_EQ(AbsolutePath(std::wstring(drive) + name), expected) << drive << name;
    }
}

namespace {

DWORD answeredType = FILE_TYPE_DISK;
DWORD answeredError = ERROR_SUCCESS;

DWORD WINAPI AnsweredFileType(HANDLE) {
    SetLastError(answeredError);
    return answeredType;
}

// A name that the disk check refuses after CREATE_NEW made the file: the empty file goes, and a
// failed check answers the system's own error.
TEST(FileSystemWin32Test, ARefusedClaimLeavesNoFile) {
    struct Case {
        const char* label;
        DWORD type;
        DWORD lastError;
        std::uint32_t expected;
    };
    const Case cases[] = {
        {"a character device", FILE_TYPE_CHAR, ERROR_SUCCESS, ERROR_INVALID_NAME},
        {"a pipe", FILE_TYPE_PIPE, ERROR_SUCCESS, ERROR_INVALID_NAME},
        {"a check that failed", FILE_TYPE_UNKNOWN, ERROR_IO_DEVICE, ERROR_IO_DEVICE},
        {"a type nobody knows", FILE_TYPE_UNKNOWN, ERROR_SUCCESS, ERROR_INVALID_NAME},
    };
    TempFolder folder;
    const SeamScope seam(host::seams::fileType, &AnsweredFileType);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        answeredType = c.type;
        answeredError = c.lastError;
        host::FileHandle file = host::kNoFile;
        EXPECT_EQ(host::CreateNewFile(folder / L"claimed.jpg", file), c.expected);
        EXPECT_EQ(file, host::kNoFile);
        EXPECT_FALSE(TestEntryExists(folder / L"claimed.jpg"));
    }
}

// The system's own device, without a seam: nothing is claimed in it.
TEST(FileSystemWin32Test, ADeviceIsNeverClaimed) {
    host::FileHandle file = host::kNoFile;
    EXPECT_NE(host::CreateNewFile(L"\\\\.\\nul", file), 0u);
    EXPECT_EQ(file, host::kNoFile);
    if (file != host::kNoFile) host::DiscardNewFile(file, L"\\\\.\\nul");
}

enum class Held { no, readOnly, byViewer, byWriter, asImage };

// Each removal frees the name at once or fails with the entry still under its name; none leaves
// a file aside. Where POSIX semantics are refused (Wine too), a file a viewer holds is moved aside
// until the viewer lets go, and a program in use is renamed but not deleted, so it goes back;
// NTFS deletes both at once.
TEST(FileSystemWin32Test, RemovalFreesTheNameOrLeavesTheFileWhereItWas) {
    struct Case {
        const char* label;
        Held held;
        std::uint32_t error;
    };
    const Case cases[] = {
        {"a plain file", Held::no, 0},
        {"a read-only file", Held::readOnly, 0},
        {"a file a viewer holds open", Held::byViewer, 0},
        {"a file another program writes", Held::byWriter, ERROR_SHARING_VIOLATION},
        {"a file that can be renamed but not deleted", Held::asImage, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::wstring path = folder / L"old.jpg";
        const bool posix = PosixDeletionGranted(folder, false);
        const std::uint32_t error =
            c.held == Held::asImage && PosixDeletionGranted(folder, true) ? 0 : c.error;
        HANDLE holder = INVALID_HANDLE_VALUE;
        {
            std::unique_ptr<ImageInUse> image;
            if (c.held == Held::asImage) {
                image = std::make_unique<ImageInUse>(path);
            } else {
                WriteTestFile(path, "old");
            }
            if (c.held == Held::readOnly) MakeReadOnly(path);
            if (c.held == Held::byViewer || c.held == Held::byWriter) {
                holder = CreateFileW(path.c_str(),
                                     c.held == Held::byViewer ? GENERIC_READ : GENERIC_WRITE,
                                     c.held == Held::byViewer
                                         ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
                                         : FILE_SHARE_READ,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
                ASSERT_NE(holder, INVALID_HANDLE_VALUE);
            }

            std::wstring aside;
            EXPECT_EQ(host::RemoveEntry(path, &aside), error);
            EXPECT_EQ(aside, L"");
            EXPECT_EQ(TestEntryExists(path), error != 0);
            if (c.held == Held::byViewer) {
                EXPECT_EQ(AsideFiles(folder).size(), posix ? 0u : 1u);
            } else {
                EXPECT_EQ(AsideFiles(folder).size(), 0u);
            }
            if (error == 0) {
                host::FileHandle file = host::kNoFile;
                EXPECT_EQ(host::CreateNewFile(path, file), 0u);
                if (file != host::kNoFile) {
                    EXPECT_EQ(host::FinishNewFile(file, path), 0u);
                }
            }
        }
        if (holder != INVALID_HANDLE_VALUE) CloseHandle(holder);
        EXPECT_EQ(AsideFiles(folder).size(), 0u);
    }
}

// A folder link goes as a folder and a file link through its own handle: the target stays.
// Wine makes no link with CreateSymbolicLinkW, and Windows only for an administrator or in
// Developer Mode; the e2e runs cover links under Wine.
TEST(FileSystemWin32Test, RemovingALinkLeavesItsTarget) {
    TempFolder folder;
    WriteTestFile(folder / L"target.jpg", "target");
    MakeTestFolder(folder / L"target");
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {{L"file link.jpg", L"target.jpg"},
                                                               {L"folder link.jpg", L"target"}};
    for (const auto& [link, target] : cases) {
        const DWORD flags = (GetFileAttributesW((folder / target).c_str()) &
                             FILE_ATTRIBUTE_DIRECTORY) != 0
                                ? SYMBOLIC_LINK_FLAG_DIRECTORY
                                : 0;
        CreateSymbolicLinkW((folder / link).c_str(), target,
                            flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
        const DWORD attributes = GetFileAttributesW((folder / link).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            GTEST_SKIP() << "no symbolic link can be made here";
        }
        EXPECT_NO_THROW(RemovePath(folder / link)) << link;
        EXPECT_FALSE(TestEntryExists(folder / link)) << link;
        EXPECT_TRUE(TestEntryExists(folder / target)) << link;
    }
    EXPECT_EQ(ReadTestFile(folder / L"target.jpg"), "target");
}

// An old JPEG that can be neither deleted nor moved back is named in the error, in its usual
// form, however its path was typed. A file system that deletes a program in use with POSIX
// semantics (NTFS) never moves it aside.
TEST(FileSystemWin32Test, AMoveBackThatFailsNamesTheFileAside) {
    if (PosixDeletionGranted(TempFolder(), true)) {
        GTEST_SKIP() << "this file system deletes a program in use at once: nothing goes aside";
    }
    struct Case {
        const char* label;
        bool typedPrefixed;
        bool moveBackFails;
    };
    const Case cases[] = {
        {"the move back fails", false, true},
        {"the move back fails, path typed with \\\\?\\", true, true},
        {"the move back succeeds", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::wstring path = folder / L"old.jpg";
        const ImageInUse image(path);
        std::filesystem::filesystem_error raised("none", std::error_code());
        {
            const SeamScope seam(host::seams::moveBack,
                                 c.moveBackFails ? &RefusedMove : host::seams::moveBack);
            try {
                RemovePath(c.typedPrefixed ? L"\\\\?\\" + path : path);
                ADD_FAILURE() << "removed";
            } catch (const std::filesystem::filesystem_error& error) {
                raised = error;
            }
        }
        EXPECT_EQ(raised.code().value(), ERROR_ACCESS_DENIED);
        const std::vector<std::wstring> aside = AsideFiles(folder);
        EXPECT_EQ(TestEntryExists(path), !c.moveBackFails);
        if (!c.moveBackFails) {
            EXPECT_TRUE(aside.empty());
            EXPECT_TRUE(raised.path2().empty());
            continue;
        }
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(raised.path2().wstring(), aside[0]);
        EXPECT_EQ(PathFailureText(raised),
                  L"파일 경로를 읽거나 쓸 수 없습니다. 이전 JPEG 파일은 다음 위치로 옮겨졌습니다: " +
                      aside[0]);
        MoveFileExW(aside[0].c_str(), path.c_str(), 0);
    }
}

DWORD WINAPI UnqueryableAttributes(LPCWSTR) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_FILE_ATTRIBUTES;
}

// Windows answers every query of a file that is being deleted with access denied, and still
// lists it: its name is taken. Wine answers such queries, so the seam answers for it.
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
    if (systemPath == L"\\\\?\\" + unopenable) {
        SetLastError(unopenableError);
        return INVALID_HANDLE_VALUE;
    }
    return systemOpen(systemPath);
}

// Two different files, the second of which cannot be opened (a file being deleted, on Windows):
// only its absence tells them apart.
TEST(FileSystemWin32Test, AnUnopenableSecondPathMayBeTheFirst) {
    TempFolder folder;
    WriteTestFile(folder / L"a.jpg", "a");
    WriteTestFile(folder / L"b.jpg", "b");
    const std::pair<DWORD, bool> cases[] = {{ERROR_ACCESS_DENIED, true},
                                            {ERROR_SHARING_VIOLATION, true},
                                            {ERROR_FILE_NOT_FOUND, false}};
    ASSERT_FALSE(IsSameFile(folder / L"a.jpg", folder / L"b.jpg"));
    systemOpen = host::seams::openForQuery;
    unopenable = folder / L"b.jpg";
    const SeamScope seam(host::seams::openForQuery, &OpenUnlessUnopenable);
    for (const auto& [error, same] : cases) {
        unopenableError = error;
        EXPECT_EQ(IsSameFile(folder / L"a.jpg", folder / L"b.jpg"), same) << error;
    }
}

// Names ignore case on Windows: an old PHOTO.JPG is Photo.heic's own output and is replaced, while
// the input itself, in another spelling, never is.
TEST(FileSystemWin32Test, OverwritingReplacesAnOutputSpelledInAnotherCase) {
    struct Case {
        const wchar_t* existing;
        const wchar_t* input;
        const wchar_t* output;
    };
    const Case cases[] = {{L"PHOTO.JPG", L"Photo.heic", L"Photo.jpg"},
                          {L"photo.jpg", L"photo.heic", L"photo.jpg"},
                          {L"PHOTO.JPG", L"photo.jpg", L"photo (1).jpg"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.existing)));
        TempFolder folder;
        WriteTestFile(folder / c.existing, "old");
        if (std::wstring(c.input) != L"photo.jpg") WriteTestFile(folder / c.input, "input");
        ConversionOptions options;
        options.overwrite = true;
        OutputFile output(folder / c.input, options);
        EXPECT_EQ(output.path(), folder / c.output);
        output.PrepareLocation();
        ASSERT_EQ(output.Claim(), S_OK);
        ASSERT_EQ(output.Commit(), S_OK);

        WIN32_FIND_DATAW data{};
        const HANDLE listed = FindFirstFileW((folder / c.output).c_str(), &data);
        ASSERT_NE(listed, INVALID_HANDLE_VALUE);
        FindClose(listed);
        EXPECT_EQ(std::wstring(data.cFileName), c.output);
        EXPECT_EQ(data.nFileSizeLow, 0u);
    }
}

}  // namespace
