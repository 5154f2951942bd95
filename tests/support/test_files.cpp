#include "tests/support/test_files.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <sys/stat.h>

#include "platform/posix/system/utf8.h"
#endif

namespace fs = std::filesystem;

#ifdef _WIN32
fs::path NativePath(const std::wstring& path) { return fs::path(path); }
#else
fs::path NativePath(const std::wstring& path) { return fs::path(ToUtf8(path)); }
#endif

namespace {

#ifdef _WIN32
constexpr wchar_t kSeparator = L'\\';

std::wstring MakeFreshFolder() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    if (GetTempPathW(MAX_PATH + 1, base) == 0) throw std::runtime_error("GetTempPathW failed");
    std::wstring root(base);
    if (!root.empty() && (root.back() == L'\\' || root.back() == L'/')) root.pop_back();
    for (;;) {
        std::wstring candidate = root + L"\\heic-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(counter++);
        if (CreateDirectoryW(candidate.c_str(), nullptr)) return candidate;
        if (GetLastError() != ERROR_ALREADY_EXISTS) throw std::runtime_error("CreateDirectoryW failed");
    }
}
#else
constexpr wchar_t kSeparator = L'/';

std::wstring MakeFreshFolder() {
    std::string pattern = (fs::temp_directory_path() / "heic-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return FromUtf8(pattern);
}
#endif

void MakeWritableRecursively(const fs::path& root) {
    std::error_code ignored;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
    if (!fs::is_directory(fs::symlink_status(root, ignored))) return;
    for (const auto& entry : fs::recursive_directory_iterator(root, ignored)) {
        if (!entry.is_symlink(ignored)) fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
}

}  // namespace

TempFolder::TempFolder() : path_(MakeFreshFolder()) {}

TempFolder::~TempFolder() {
    std::error_code ignored;
    const fs::path root = NativePath(path_);
    MakeWritableRecursively(root);
    fs::remove_all(root, ignored);
}

std::wstring TempFolder::operator/(std::wstring_view name) const {
    std::wstring joined = path_;
    joined += kSeparator;
    joined += name;
    return joined;
}

void WriteTestFile(const std::wstring& path, std::string_view bytes) {
    std::ofstream out(NativePath(path), std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot create test file");
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write test file");
}

std::string ReadTestFile(const std::wstring& path) {
    std::ifstream in(NativePath(path), std::ios::binary);
    if (!in) throw std::runtime_error("cannot open test file");
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TestEntryExists(const std::wstring& path) {
    std::error_code ignored;
    return fs::exists(fs::symlink_status(NativePath(path), ignored));
}

void MakeTestFolder(const std::wstring& path) { fs::create_directories(NativePath(path)); }

void MakeReadOnly(const std::wstring& path) {
#ifdef _WIN32
    SetFileAttributesW(path.c_str(), GetFileAttributesW(path.c_str()) | FILE_ATTRIBUTE_READONLY);
#else
    fs::permissions(NativePath(path), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
#endif
}

std::string PatternBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    return bytes;
}
