#pragma once
// Real folders and files for tests that must touch a disk, named by wide paths as the program
// names them.
#include <filesystem>
#include <string>
#include <string_view>

// The host's own form of a wide path (UTF-8 on POSIX hosts), for the test's own file handling.
std::filesystem::path NativePath(const std::wstring& path);

// A fresh, empty folder under the host's temporary folder, removed with all it holds at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Absolute path of the folder, without a trailing separator.
    const std::wstring& path() const { return path_; }
    // path() + "\" + name (or "/" on POSIX hosts), for names with no root.
    std::wstring operator/(std::wstring_view name) const;

private:
    std::wstring path_;
};

void WriteTestFile(const std::wstring& path, std::string_view bytes);
std::string ReadTestFile(const std::wstring& path);
bool TestEntryExists(const std::wstring& path);
void MakeTestFolder(const std::wstring& path);
void MakeReadOnly(const std::wstring& path);

// Bytes that differ from their neighbours, so that a piece written twice or out of place shows.
std::string PatternBytes(std::size_t size);
