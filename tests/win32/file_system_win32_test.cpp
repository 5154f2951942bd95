// What only the Windows host shows: device-prefixed paths and device names.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "convert/file_system.h"
#include "platform/file_system_host.h"
#include "tests/support/test_files.h"

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
