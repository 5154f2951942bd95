#pragma once
// Shared by the path, file-system and naming tests: paths joined as the program joins them, a
// scoped current folder, and the filesystem error an action raises.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "tests/support/test_files.h"

// folder + "\" + relative, whatever the host.
inline std::wstring Under(const std::wstring& folder, std::wstring_view relative) {
    return folder + L"\\" + std::wstring(relative);
}

class CurrentFolderScope {
  public:
    explicit CurrentFolderScope(const std::wstring& folder)
        : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(NativePath(folder));
    }
    ~CurrentFolderScope() { std::filesystem::current_path(saved_); }
    CurrentFolderScope(const CurrentFolderScope&) = delete;
    CurrentFolderScope& operator=(const CurrentFolderScope&) = delete;

  private:
    std::filesystem::path saved_;
};

// Checks that action raises the filesystem error with this operation name, path and code.
template <typename Action>
void ExpectFileSystemError(Action action, std::string_view operation, const std::wstring& path,
                           int code) {
    try {
        action();
        ADD_FAILURE() << "no filesystem error for " << operation;
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_NE(std::string_view(error.what()).find(operation), std::string_view::npos)
            << error.what();
        EXPECT_EQ(error.path1(), NativePath(path));
        EXPECT_EQ(error.code().value(), code) << error.what();
    }
}
