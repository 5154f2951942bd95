// Broken, misleading and awkwardly named inputs, each run through the whole Linux program between
// two good HEIC files: the summary names the bad one with its message, the good ones are
// converted, the exit code tells, and nothing on disk changes but the JPEGs of the good files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "platform/com_owner.h"
#include "platform/posix/system/utf8.h"
#include "tests/posix/hostile_support.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 48;

constexpr HRESULT kNoDecoder = static_cast<HRESULT>(0x88982F50u);  // COMPONENTNOTFOUND
constexpr HRESULT kBadHeader = static_cast<HRESULT>(0x88982F61u);
constexpr HRESULT kBadImage = static_cast<HRESULT>(0x88982F60u);
constexpr HRESULT kTooLarge = static_cast<HRESULT>(0x88982F51u);  // IMAGESIZEOUTOFRANGE
constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80070002u);
constexpr HRESULT kNotHeif = static_cast<HRESULT>(0x8007000Du);
constexpr HRESULT kPathError = static_cast<HRESULT>(0x80070003u);

constexpr const char* kNoDecoderText =
    "HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEIF 이미지 확장이 설치되어 있는지 "
    "확인하세요.";
// This host's system texts for the imaging codes; each belongs to one code only.
constexpr const char* kBadHeaderText = "이미지 헤더를 인식할 수 없습니다.";
constexpr const char* kBadImageText = "이미지를 해석할 수 없습니다.";
constexpr const char* kTooLargeText = "이미지 크기가 범위를 벗어났습니다.";
constexpr const char* kNotFoundText = "파일을 찾을 수 없습니다.";
constexpr const char* kNotHeifText = "HEIC 또는 HEIF 파일이 아닙니다.";
constexpr const char* kPathErrorText = "파일 경로를 읽거나 쓸 수 없습니다.";

struct Sources {
    std::string heic;  // a good 64 x 48 HEIC
    std::string jpeg;  // the same picture as JPEG
};

using Maker = std::function<std::vector<std::wstring>(const std::wstring& folder, const Sources&)>;

// Writes `bytes` as folder/name and names it by its absolute path.
Maker File(const char* name, std::function<std::string(const Sources&)> bytes) {
    return [name, bytes](const std::wstring& folder, const Sources& sources) {
        const std::wstring path = folder + L"/" + FromUtf8(name);
        WriteTestFile(path, bytes(sources));
        return std::vector<std::wstring>{path};
    };
}

// A symbolic link folder/name pointing at `target`.
Maker Link(const char* name, const char* target) {
    return [name, target](const std::wstring& folder, const Sources&) {
        const std::wstring path = folder + L"/" + FromUtf8(name);
        if (::symlink(target, ToUtf8(path).c_str()) != 0) throw std::runtime_error("symlink");
        return std::vector<std::wstring>{path};
    };
}

std::string Truncated(const std::string& bytes, std::size_t keep) {
    return bytes.substr(0, keep);
}

std::string Patched(std::string bytes, std::size_t at, const std::string& with) {
    return bytes.replace(at, with.size(), with);
}

struct InputCase {
    const char* label;
    Maker make;
    const char* shownName;            // the name the summary gives the input
    HRESULT code;                     // S_OK: it converts
    const char* message;              // the summary's text for it; null when it converts
    std::set<std::string> outputs{};  // when it converts: its JPEGs, relative to the folder
    bool fromFolder = false;          // run the program inside the folder
};

std::vector<InputCase> Cases() {
    const auto metaAt = [](const Sources& s) { return TopLevelBox(s.heic, "meta").first; };
    const auto mdatAt = [](const Sources& s) { return TopLevelBox(s.heic, "mdat").first; };
    return {
        {"zero bytes", File("empty.heic", [](const Sources&) { return std::string(); }),
         "empty.heic", kNoDecoder, kNoDecoderText},
        {"cut inside the file type box",
         File("cut-8.heic", [](const Sources& s) { return Truncated(s.heic, 8); }), "cut-8.heic",
         kNoDecoder, kNoDecoderText},
        {"cut after the file type box",
         File("cut-ftyp.heic", [=](const Sources& s) { return Truncated(s.heic, metaAt(s)); }),
         "cut-ftyp.heic", kBadHeader, kBadHeaderText},
        {"cut inside the meta box",
         File("cut-meta.heic", [=](const Sources& s) { return Truncated(s.heic, metaAt(s) + 60); }),
         "cut-meta.heic", kBadHeader, kBadHeaderText},
        {"cut inside the coded data",
         File("cut-mdat.heic", [=](const Sources& s) { return Truncated(s.heic, mdatAt(s) + 20); }),
         "cut-mdat.heic", kBadHeader, kBadHeaderText},
        {"last byte missing",
         File("cut-last.heic",
              [](const Sources& s) { return Truncated(s.heic, s.heic.size() - 1); }),
         "cut-last.heic", kBadHeader, kBadHeaderText},
        {"meta box size beyond the file",
         File("meta-size.heic",
              [=](const Sources& s) {
                  return Patched(s.heic, metaAt(s), std::string("\xFF\xFF\xFF\xF0", 4));
              }),
         "meta-size.heic", kBadHeader, kBadHeaderText},
        {"meta box type garbled",
         File("meta-type.heic",
              [=](const Sources& s) { return Patched(s.heic, metaAt(s) + 4, "xeta"); }),
         "meta-type.heic", kBadHeader, kBadHeaderText},
        {"file type box type garbled",
         File("ftyp-type.heic", [](const Sources& s) { return Patched(s.heic, 4, "ftyq"); }),
         "ftyp-type.heic", kNoDecoder, kNoDecoderText},
        {"PNG renamed", File("png.heic", [](const Sources&) { return SmallPng(); }), "png.heic",
         kNoDecoder, kNoDecoderText},
        {"text renamed",
         File("notes.heif", [](const Sources&) { return std::string("not a picture\n"); }),
         "notes.heif", kNoDecoder, kNoDecoderText},
        {"image sequence only, HEIC brand",
         File("sequence.heic", [](const Sources& s) { return AsSequenceOnly(s.heic, "heic"); }),
         "sequence.heic", kBadHeader, kBadHeaderText},
        {"image sequence only, sequence brand",
         File("sequence.heif", [](const Sources& s) { return AsSequenceOnly(s.heic, "msf1"); }),
         "sequence.heif", kNoDecoder, kNoDecoderText},
        {"60000 x 60000 declared",
         File("huge.heic", [](const Sources& s) { return WithDeclaredSize(s.heic, 60000, 60000); }),
         "huge.heic", kTooLarge, kTooLargeText},
        {"4294967295 x 4294967295 declared",
         File("largest.heic",
              [](const Sources& s) { return WithDeclaredSize(s.heic, 0xFFFFFFFFu, 0xFFFFFFFFu); }),
         "largest.heic", kTooLarge, kTooLargeText},
        // Only the grid's canvas is large; decoding it would take gigabytes.
        {"30000 x 30000 grid canvas behind a 64 x 48 size",
         File("canvas.heic", [](const Sources& s) { return WithGridCanvas(s.heic, 30000, 30000); }),
         "canvas.heic", kTooLarge, kTooLargeText},
        // libheif decodes such a canvas into an image without rows or columns (found by fuzzing).
        {"64 x 0 grid canvas",
         File("no-rows.heic", [](const Sources& s) { return WithGridCanvas(s.heic, 64, 0); }),
         "no-rows.heic", kBadImage, kBadImageText},
        {"0 x 48 grid canvas",
         File("no-columns.heic", [](const Sources& s) { return WithGridCanvas(s.heic, 0, 48); }),
         "no-columns.heic", kBadImage, kBadImageText},
        {"0 x 0 declared",
         File("nothing.heic", [](const Sources& s) { return WithDeclaredSize(s.heic, 0, 0); }),
         "nothing.heic", kBadHeader, kBadHeaderText},
        {"a folder named x.heic",
         [](const std::wstring& folder, const Sources&) {
             MakeTestFolder(folder + L"/x.heic");
             return std::vector<std::wstring>{folder + L"/x.heic"};
         },
         "x.heic", kNotFound, kNotFoundText},
        {"missing file",
         [](const std::wstring& folder, const Sources&) {
             return std::vector<std::wstring>{folder + L"/gone/missing.heic"};
         },
         "missing.heic", kNotFound, kNotFoundText},
        {"FIFO named .heic",
         [](const std::wstring& folder, const Sources&) {
             const std::wstring path = folder + L"/fifo.heic";
             if (::mkfifo(ToUtf8(path).c_str(), 0644) != 0) throw std::runtime_error("mkfifo");
             return std::vector<std::wstring>{path};
         },
         "fifo.heic", kNotFound, kNotFoundText},
        {"link to a device", Link("zero.heic", "/dev/zero"), "zero.heic", kNotFound, kNotFoundText},
        {"link to nowhere", Link("dangling.heic", "nowhere.heic"), "dangling.heic", kNotFound,
         kNotFoundText},
        // The status query fails for a reason other than absence.
        {"link to itself", Link("loop.heic", "loop.heic"), "loop.heic", kPathError, kPathErrorText},
        {"PNG under its own name", File("picture.png", [](const Sources&) { return SmallPng(); }),
         "picture.png", kNotHeif, kNotHeifText},
        // The imaging component picks its decoder by the bytes, not by the name.
        {"JPEG renamed",
         File("photo.heic", [](const Sources& s) { return s.jpeg; }),
         "",
         S_OK,
         nullptr,
         {"photo.jpg"}},
        {"Korean name with spaces",
         File("겨울 바다 사진 .heic", [](const Sources& s) { return s.heic; }),
         "",
         S_OK,
         nullptr,
         {"겨울 바다 사진 .jpg"}},
        {"path longer than 260 characters",
         [](const std::wstring& folder, const Sources& s) {
             std::wstring path = folder;
             for (int level = 0; level < 4; ++level) {
                 path += L"/" + std::wstring(70, static_cast<wchar_t>(L'a' + level));
                 MakeTestFolder(path);
             }
             path += L"/long.heic";
             WriteTestFile(path, s.heic);
             return std::vector<std::wstring>{path};
         },
         "",
         S_OK,
         nullptr,
         {std::string(70, 'a') + "/" + std::string(70, 'b') + "/" + std::string(70, 'c') + "/" +
          std::string(70, 'd') + "/long.jpg"}},
        {"relative path",
         [](const std::wstring& folder, const Sources& s) {
             MakeTestFolder(folder + L"/sub");
             WriteTestFile(folder + L"/sub/rel.heic", s.heic);
             return std::vector<std::wstring>{L"sub/../sub/rel.heic"};
         },
         "",
         S_OK,
         nullptr,
         {"sub/rel.jpg"},
         true},
        {"the same file twice",
         [](const std::wstring& folder, const Sources& s) {
             WriteTestFile(folder + L"/twice.heic", s.heic);
             return std::vector<std::wstring>{folder + L"/twice.heic", folder + L"/twice.heic"};
         },
         "",
         S_OK,
         nullptr,
         {"twice.jpg", "twice (1).jpg"}},
    };
}

class HostileInputs : public testing::Test {
  protected:
    void SetUp() override {
        const TestPicture picture = MakeQuadrantPicture(kWidth, kHeight);
        WriteHeicFile(sourceFolder_ / L"source.heic", picture);
        WriteJpegFile(sourceFolder_ / L"source.jpg", picture);
        sources_ = {ReadTestFile(sourceFolder_ / L"source.heic"),
                    ReadTestFile(sourceFolder_ / L"source.jpg")};
    }

    TempFolder sourceFolder_;
    Sources sources_;
};

TEST_F(HostileInputs, TheProgramNamesEachBadInputAndConvertsTheOthers) {
    for (const InputCase& c : Cases()) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::wstring first = folder / L"good first.heic";
        const std::wstring last = folder / L"good last.heic";
        WriteTestFile(first, sources_.heic);
        WriteTestFile(last, sources_.heic);
        const std::vector<std::wstring> inputs = c.make(folder.path(), sources_);

        std::vector<std::wstring> arguments{L"--no-gui", first};
        arguments.insert(arguments.end(), inputs.begin(), inputs.end());
        arguments.push_back(last);
        const FolderSnapshot before = Snapshot(folder.path());
        const ProgramRun run =
            RunConverter(arguments, {c.fromFolder ? folder.path() : std::wstring()});

        ASSERT_TRUE(EndedCleanly(run));
        ExpectedChanges changes{{"good first.jpg", "good last.jpg"}};
        if (c.message != nullptr) {
            EXPECT_EQ(run.exitCode, 1);
            EXPECT_TRUE(BeginsWith(run.err, FailureReport(2, {{c.shownName, c.message}})));
            EXPECT_EQ(run.out, "");
        } else {
            changes.written.insert(c.outputs.begin(), c.outputs.end());
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.out, std::to_string(2 + inputs.size()) + "개 파일 변환 완료\n");
            EXPECT_EQ(run.err, "");
        }
        EXPECT_TRUE(ChangedOnly(folder.path(), before, changes, kWidth, kHeight));
    }
}

// The code behind each failure, which the summary does not show.
TEST_F(HostileInputs, EachFailureCarriesItsCode) {
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    ComOwner<IWICImagingFactory> factory;
    ASSERT_GE(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())),
              0);
    for (const InputCase& c : Cases()) {
        if (c.code == S_OK) continue;  // converting inputs are the test above
        SCOPED_TRACE(c.label);
        TempFolder folder;
        const std::vector<std::wstring> inputs = c.make(folder.path(), sources_);
        ASSERT_EQ(inputs.size(), 1u);
        const ConversionResult result = ConvertFile(factory.get(), inputs.front(), {});
        EXPECT_FALSE(result.succeeded);
        EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), static_cast<std::uint32_t>(c.code));
        EXPECT_EQ(ToUtf8(result.message), c.message);
    }
    factory.reset();
    CoUninitialize();
}

// A JPEG decoder that reads its file whole must not be handed one larger than any image it
// accepts could need, or a sparse file of a few gigabytes takes all the memory there is. The
// file here is a small JPEG followed by a hole of zeros that costs no disk.
TEST_F(HostileInputs, AJpegTooLargeToHoldIsRefusedUnread) {
    constexpr off_t kBeyondLimit = (off_t{1} << 30) + 1;  // 1 GiB and a byte
    TempFolder folder;
    const std::wstring input = folder / L"padded.heic";
    WriteTestFile(input, sources_.jpeg);
    ASSERT_EQ(::truncate(ToUtf8(input).c_str(), kBeyondLimit), 0);

    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    ComOwner<IWICImagingFactory> factory;
    ASSERT_GE(CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IWICImagingFactory, reinterpret_cast<void**>(factory.put())),
              0);
    const ConversionResult result = ConvertFile(factory.get(), input, {});
    factory.reset();
    CoUninitialize();

    EXPECT_FALSE(result.succeeded);
    EXPECT_EQ(static_cast<std::uint32_t>(result.hresult), static_cast<std::uint32_t>(kTooLarge));
    EXPECT_EQ(ToUtf8(result.message), kTooLargeText);
    EXPECT_FALSE(TestEntryExists(folder / L"padded.jpg"));
}

}  // namespace
