// What only the Windows host shows: device-prefixed paths.
#include <gtest/gtest.h>

#include <string>

#include "convert/file_system.h"
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
