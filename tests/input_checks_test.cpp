#include "convert/input_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "convert/file_system.h"
#include "convert/path_rules.h"
#include "tests/support/test_files.h"

namespace {

constexpr std::uint32_t kNotFound = 0x80070002u;
constexpr std::uint32_t kNotHeif = 0x8007000Du;
constexpr wchar_t kNotFoundText[] = L"파일을 찾을 수 없습니다.";
constexpr wchar_t kNotHeifText[] = L"HEIC 또는 HEIF 파일이 아닙니다.";

TEST(HasHeifExtension, OnlyTheLastExtensionOfTheFinalElementCounts) {
    struct Case {
        const wchar_t* path;
        bool expected;
    };
    const Case cases[] = {
        {L"IMG_0001.HEIC", true},
        {L"a.HeIf", true},
        {L"C:\\Pictures\\b.heic", true},
        {L"archive.tar.heic", true},
        {L"..heic", true},
        {L"a.heic:stream", true},  // an alternate data stream is not part of the name
        {L"\\\\server\\share\\x.HEIF", true},
        {L"photo.heic.jpg", false},
        {L"photo", false},
        {L".heic", false},                  // a leading dot starts no extension
        {L"C:\\album.heic\\photo", false},  // a dot in a folder name is not the file's
        {L"C:\\album.heic\\", false},
        {L"a.heics", false},
        {L"a.hei", false},
        {L"a.heic ", false},
        {L"a.\uFF28\uFF25\uFF29\uFF23", false},  // full-width look-alikes are not folded
        {L"a.HE\u0130C", false},                 // nor is the dotted capital I
        {L"", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HasHeifExtension(c.path), c.expected)
            << "path: " << testing::PrintToString(c.path);
    }
}

// folder / first / second, with the separator TempFolder uses on this host.
std::wstring Nested(const TempFolder& folder, const std::wstring& first,
                    const std::wstring& second) {
    const std::wstring firstPath = folder / first;
    return firstPath + firstPath[folder.path().size()] + second;
}

enum class Entry { file, folder, none };

struct InputCase {
    const char* label;
    const wchar_t* name;
    Entry entry;
    bool selfTest;
    bool accepted;
    std::uint32_t code;
    const wchar_t* message;
};

const InputCase kInputCases[] = {
    {"plain heic", L"b.heic", Entry::file, false, true, 0, L""},
    {"upper-case extension", L"IMG_0001.HEIC", Entry::file, false, true, 0, L""},
    {"mixed-case heif", L"a.HeIf", Entry::file, false, true, 0, L""},
    {"dots in the stem", L"archive.tar.heic", Entry::file, false, true, 0, L""},
    {"Korean name", L"가족 사진.heic", Entry::file, false, true, 0, L""},
    {"png without self-test", L"picture.png", Entry::file, false, false, kNotHeif, kNotHeifText},
    {"heic before jpg", L"photo.heic.jpg", Entry::file, false, false, kNotHeif, kNotHeifText},
    {"no extension", L"photo", Entry::file, false, false, kNotHeif, kNotHeifText},
    {"png with self-test", L"picture.png", Entry::file, true, true, 0, L""},
    {"missing heic", L"missing.heic", Entry::none, false, false, kNotFound, kNotFoundText},
    {"missing png with self-test", L"picture.png", Entry::none, true, false, kNotFound,
     kNotFoundText},
    // The file-type test comes first: a folder is "not found", never "not HEIC".
    {"folder named like a heic", L"album.heic", Entry::folder, false, false, kNotFound,
     kNotFoundText},
    {"folder without extension", L"album", Entry::folder, false, false, kNotFound, kNotFoundText},
    {"folder with self-test", L"album.heic", Entry::folder, true, false, kNotFound, kNotFoundText},
};

TEST(CheckInput, AcceptsOnlyExistingRegularFilesWithAHeifExtension) {
    for (const InputCase& c : kInputCases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::wstring path = folder / c.name;
        if (c.entry == Entry::file) WriteTestFile(path, "not really an image");
        if (c.entry == Entry::folder) MakeTestFolder(path);

        ConversionOptions options;
        options.selfTest = c.selfTest;
        ConversionResult result;
        result.inputPath = path;
        EXPECT_EQ(CheckInput(path, options, result), c.accepted);

        EXPECT_EQ(result.inputPath, path);
        EXPECT_FALSE(result.succeeded);
        EXPECT_TRUE(result.outputPath.empty());
        if (c.accepted) {
            // An accepted input leaves the record's failure fields as they were.
            EXPECT_EQ(result.hresult, E_FAIL);
            EXPECT_TRUE(result.message.empty());
        } else {
            EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), c.code);
            EXPECT_EQ(result.message, c.message);
        }
    }
}

TEST(CheckInput, AMissingParentFolderIsAMissingFile) {
    TempFolder folder;
    const std::wstring path = Nested(folder, L"nowhere", L"x.heic");
    ConversionResult result;
    EXPECT_FALSE(CheckInput(path, ConversionOptions{}, result));
    EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), kNotFound);
    EXPECT_EQ(result.message, kNotFoundText);
}

TEST(CheckInput, AnEmptyInputIsQueriedAsItIsAndFoundMissing) {
    ConversionResult result;
    EXPECT_FALSE(CheckInput(L"", ConversionOptions{}, result));
    EXPECT_TRUE(result.inputPath.empty());
    EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), kNotFound);
    EXPECT_EQ(result.message, kNotFoundText);
}

// Restores the current folder however the test ends.
class CurrentFolder {
  public:
    explicit CurrentFolder(const std::wstring& path) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(NativePath(path));
    }
    ~CurrentFolder() { std::filesystem::current_path(saved_); }

  private:
    std::filesystem::path saved_;
};

TEST(CheckInput, ARelativeInputIsReportedInItsAbsoluteForm) {
    TempFolder folder;
    MakeTestFolder(folder / L"pics");
    const std::wstring file = Nested(folder, L"pics", L"a.heic");
    WriteTestFile(file, "x");
    CurrentFolder inside(folder.path());

    ConversionResult result;
    result.inputPath = L"pics\\a.heic";
    ASSERT_TRUE(CheckInput(L"pics\\a.heic", ConversionOptions{}, result));
    EXPECT_GT(result.inputPath.size(), folder.path().size());
    EXPECT_TRUE(RootNameLength(result.inputPath) > 0 || IsPathSeparator(result.inputPath[0]))
        << testing::PrintToString(result.inputPath);
    EXPECT_EQ(FinalElement(result.inputPath), L"a.heic");
    EXPECT_TRUE(IsSameFile(result.inputPath, file));
}

}  // namespace
