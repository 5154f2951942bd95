// Awkward places to write to, and refused command lines, through the whole Linux program: the
// summary and exit code tell what happened, an existing file changes only when "--overwrite"
// names it, and a failed conversion leaves no JPEG behind. Runs that test permissions go as an
// ordinary user, since root writes through read-only folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/posix/system/utf8.h"
#include "tests/posix/hostile_support.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

namespace {

constexpr int kWidth = 48;
constexpr int kHeight = 32;

constexpr const char* kPathText = "파일 경로를 읽거나 쓸 수 없습니다.";
constexpr const char* kDeniedText = "액세스가 거부되었습니다.";  // this host's text for 0x80070005
constexpr const char* kOldBytes = "an older file, not to be touched";

struct OutputCase {
    const char* label;
    // Adds what the case needs to a folder that already holds a.heic and b.heic, and returns the
    // arguments after "--no-gui".
    std::function<std::vector<std::wstring>(const std::wstring& folder)> setup;
    std::vector<std::string> readOnly;  // entries made read-only after the setup
    int exitCode;
    std::vector<std::pair<std::string, std::string>> failures;  // as the summary names them
    ExpectedChanges changes;
};

std::wstring In(const std::wstring& folder, const char* name) {
    return folder + L"/" + FromUtf8(name);
}

std::vector<OutputCase> Cases() {
    return {
        {"output folder that is a file",
         [](const std::wstring& f) {
             WriteTestFile(In(f, "target"), kOldBytes);
             return std::vector<std::wstring>{L"--output-dir", In(f, "target"), In(f, "a.heic"),
                                              In(f, "b.heic")};
         },
         {},
         1,
         {{"a.heic", kPathText}, {"b.heic", kPathText}},
         {}},
        {"output folder below a file",
         [](const std::wstring& f) {
             WriteTestFile(In(f, "target"), kOldBytes);
             return std::vector<std::wstring>{L"--output-dir", In(f, "target/out"), In(f, "a.heic"),
                                              In(f, "b.heic")};
         },
         {},
         1,
         {{"a.heic", kPathText}, {"b.heic", kPathText}},
         {}},
        {"output folder to be made in a read-only folder",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "locked"));
             return std::vector<std::wstring>{L"--output-dir", In(f, "locked/out/deeper"),
                                              In(f, "a.heic"), In(f, "b.heic")};
         },
         {"locked"},
         1,
         {{"a.heic", kPathText}, {"b.heic", kPathText}},
         {}},
        {"output beside an input in a read-only folder",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "locked"));
             WriteTestFile(In(f, "locked/c.heic"), ReadTestFile(In(f, "a.heic")));
             return std::vector<std::wstring>{In(f, "locked/c.heic"), In(f, "b.heic")};
         },
         {"locked"},
         1,
         {{"c.heic", kDeniedText}},
         {{"b.jpg"}}},
        {"existing output without --overwrite",
         [](const std::wstring& f) {
             WriteTestFile(In(f, "a.jpg"), kOldBytes);
             WriteTestFile(In(f, "a (1).jpg"), kOldBytes);
             return std::vector<std::wstring>{In(f, "a.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"a (2).jpg", "b.jpg"}}},
        {"read-only existing output with --overwrite",
         [](const std::wstring& f) {
             WriteTestFile(In(f, "a.jpg"), kOldBytes);
             return std::vector<std::wstring>{L"--overwrite", In(f, "a.heic"), In(f, "b.heic")};
         },
         {"a.jpg"},
         0,
         {},
         {{"b.jpg"}, {"a.jpg"}}},
        {"read-only existing output in a read-only folder with --overwrite",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "locked"));
             WriteTestFile(In(f, "locked/a.jpg"), kOldBytes);
             return std::vector<std::wstring>{L"--overwrite", L"--output-dir", In(f, "locked"),
                                              In(f, "a.heic"), In(f, "b.heic")};
         },
         {"locked/a.jpg", "locked"},
         1,
         {{"a.heic", kPathText}, {"b.heic", kDeniedText}},
         {}},
        // A link is a taken name, even one that leads nowhere: nothing is made through it.
        {"dangling link named like the output",
         [](const std::wstring& f) {
             std::filesystem::create_symlink("elsewhere.jpg", NativePath(In(f, "a.jpg")));
             return std::vector<std::wstring>{In(f, "a.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"a (1).jpg", "b.jpg"}}},
        {"dangling link named like the output, with --overwrite",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "victim"));
             std::filesystem::create_symlink("victim/planted.jpg", NativePath(In(f, "a.jpg")));
             return std::vector<std::wstring>{L"--overwrite", In(f, "a.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"b.jpg"}, {"a.jpg"}}},
        // ".." is read by the text, as Windows reads it, for the checks and the writing alike.
        {"output folder through a link and back out",
         [](const std::wstring& f) {
             for (const char* folder : {"elsewhere/sub", "elsewhere/out", "work/out"})
                 MakeTestFolder(In(f, folder));
             WriteTestFile(In(f, "elsewhere/out/a.jpg"), kOldBytes);
             std::filesystem::create_symlink(NativePath(In(f, "elsewhere/sub")),
                                             NativePath(In(f, "work/link")));
             return std::vector<std::wstring>{L"--output-dir", In(f, "work/link/../out"),
                                              In(f, "a.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"work/out/a.jpg", "work/out/b.jpg"}}},
        {"input that is a link to the output's name, with --overwrite",
         [](const std::wstring& f) {
             WriteTestFile(In(f, "photo.jpg"), ReadTestFile(In(f, "a.heic")));
             std::filesystem::create_symlink("photo.jpg", NativePath(In(f, "photo.heic")));
             return std::vector<std::wstring>{L"--overwrite", In(f, "photo.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"photo (1).jpg", "b.jpg"}}},
        // Made by bytes, not through the program's own UTF-8 reading: a name that is not UTF-8
        // must not be taken for the U+FFFD one beside it.
        {"input whose name is not UTF-8",
         [](const std::wstring& f) {
             const std::filesystem::path root = NativePath(f);
             std::filesystem::copy_file(root / "a.heic", root / "\xFF.heic");
             std::ofstream(root / "\xEF\xBF\xBD.heic") << kOldBytes;
             return std::vector<std::wstring>{In(f, "\xFF.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"\xFF.jpg", "b.jpg"}}},
        {"folder named like the output",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "a.jpg"));
             WriteTestFile(In(f, "a.jpg/inside.txt"), kOldBytes);
             return std::vector<std::wstring>{In(f, "a.heic"), In(f, "b.heic")};
         },
         {},
         0,
         {},
         {{"a (1).jpg", "b.jpg"}}},
        {"empty folder named like the output, with --overwrite",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "a.jpg"));
             return std::vector<std::wstring>{L"--overwrite", In(f, "a.heic"), In(f, "b.heic")};
         },
         // The folder goes and a JPEG takes its name.
         {},
         0,
         {},
         {{"b.jpg"}, {"a.jpg"}}},
        {"folder with content named like the output, with --overwrite",
         [](const std::wstring& f) {
             MakeTestFolder(In(f, "a.jpg"));
             WriteTestFile(In(f, "a.jpg/inside.txt"), kOldBytes);
             return std::vector<std::wstring>{L"--overwrite", In(f, "a.heic"), In(f, "b.heic")};
         },
         {},
         1,
         {{"a.heic", kPathText}},
         {{"b.jpg"}}},
    };
}

// "set OUT=...\out\ " in a batch file: every level is made without its trailing spaces and
// dots, and the JPEGs must go into the folders that were made.
std::vector<OutputCase> TrailingSpaceFolderCases() {
    std::vector<OutputCase> cases;
    for (const char* typed : {"out/ ", "out /", "out. /", "out /sub", "out./sub  "}) {
        const std::string folder = std::string(typed).find("sub") != std::string::npos ? "out/sub" : "out";
        ExpectedChanges changes{{folder + "/a.jpg", folder + "/b.jpg", "out/"}};
        if (folder != "out") changes.written.insert(folder + "/");
        cases.push_back({typed,
                         [typed](const std::wstring& f) {
                             return std::vector<std::wstring>{L"--output-dir", In(f, typed),
                                                              In(f, "a.heic"), In(f, "b.heic")};
                         },
                         {}, 0, {}, changes});
    }
    return cases;
}

TEST(HostileOutputs, EachPlaceToWriteEndsAsTheSummarySays) {
    const TestPicture picture = MakeQuadrantPicture(kWidth, kHeight);
    std::vector<OutputCase> cases = Cases();
    for (OutputCase& c : TrailingSpaceFolderCases()) cases.push_back(std::move(c));
    for (const OutputCase& c : cases) {
        SCOPED_TRACE(c.label);
        TempFolder folder;
        WriteHeicFile(folder / L"a.heic", picture);
        WriteHeicFile(folder / L"b.heic", picture);
        std::vector<std::wstring> arguments{L"--no-gui"};
        for (std::wstring& argument : c.setup(folder.path())) arguments.push_back(argument);
        OpenToUnprivilegedUser(folder.path());
        for (const std::string& entry : c.readOnly) MakeReadOnly(In(folder.path(), entry.c_str()));
        const FolderSnapshot before = Snapshot(folder.path());

        const ProgramRun run = RunConverter(arguments, {.unprivileged = true});

        ASSERT_TRUE(EndedCleanly(run));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        const int inputs = 2;
        if (c.failures.empty()) {
            EXPECT_EQ(run.out, std::to_string(inputs) + "개 파일 변환 완료\n");
            EXPECT_EQ(run.err, "");
        } else {
            const int succeeded = inputs - static_cast<int>(c.failures.size());
            EXPECT_TRUE(BeginsWith(run.err, FailureReport(succeeded, c.failures)));
            EXPECT_EQ(run.out, "");
        }
        EXPECT_TRUE(ChangedOnly(folder.path(), before, c.changes, kWidth, kHeight));
    }
}

TEST(HostileOutputs, ARefusedCommandLineTouchesNothing) {
    struct Case {
        std::vector<std::wstring> arguments;
        const char* err;  // everything the run shows
    };
    constexpr const char* kRefused = "명령줄 인수가 올바르지 않습니다.\n";
    TempFolder folder;
    WriteHeicFile(folder / L"a.heic", MakeQuadrantPicture(kWidth, kHeight));
    const std::wstring input = folder / L"a.heic";
    const Case cases[] = {
        {{L"--Quiet", input}, kRefused},
        {{L"--quiet", L"--bogus", input}, kRefused},
        {{input, L"--quality", L"abc"}, kRefused},
        {{input, L"--quality", L"2147483648"}, kRefused},
        {{input, L"--quality"}, kRefused},
        {{input, L"--output-dir"}, kRefused},
        {{L"-", input}, kRefused},
        {{L"--overwrite=yes", input}, kRefused},
        {{L"--no-gui"}, ""},  // nothing to convert and no dialog to ask
    };
    const FolderSnapshot before = Snapshot(folder.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(ToUtf8(c.arguments.front())));
        const ProgramRun run = RunConverter(c.arguments);
        ASSERT_TRUE(EndedCleanly(run));
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(ChangedOnly(folder.path(), before, {}, kWidth, kHeight));
    }
}

}  // namespace
