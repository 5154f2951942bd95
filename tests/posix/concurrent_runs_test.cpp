// Two runs at once converting photos of the same names into one folder, as two colleagues, or one
// user who started the program twice, would: each photo must end up in a JPEG of its own.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/posix/system/utf8.h"
#include "tests/posix/hostile_support.h"
#include "tests/posix/image_fixtures.h"
#include "tests/support/test_files.h"

namespace {

constexpr int kPhotos = 20;
constexpr int kSide = 32;

std::wstring PhotoName(int number) {
    return (number < 10 ? L"p0" : L"p") + std::to_wstring(number) + L".heic";
}

TEST(ConcurrentRuns, TwoRunsIntoOneFolderKeepEveryPhoto) {
    TempFolder folder;
    const std::wstring out = folder / L"out";
    // Photo n of the first run is (32 + 2n) x 32 and of the second 32 x (32 + 2n), so that each
    // JPEG tells which photo it came from.
    std::vector<std::wstring> arguments[2];
    for (int run = 0; run < 2; ++run) {
        const std::wstring source = folder / (run == 0 ? L"first" : L"second");
        MakeTestFolder(source);
        arguments[run] = {L"--quiet", L"--output-dir", out};
        for (int number = 1; number <= kPhotos; ++number) {
            const int side = kSide + 2 * number;
            const std::wstring photo = source + L"/" + PhotoName(number);
            WriteHeicFile(photo,
                          MakeQuadrantPicture(run == 0 ? side : kSide, run == 0 ? kSide : side));
            arguments[run].push_back(photo);
        }
    }

    ProgramRun runs[2];
    std::thread second([&] { runs[1] = RunConverter(arguments[1]); });
    runs[0] = RunConverter(arguments[0]);
    second.join();
    for (const ProgramRun& run : runs) {
        ASSERT_TRUE(EndedCleanly(run));
        EXPECT_EQ(run.exitCode, 0) << run.err;
    }

    // Every name is a photo's plain or numbered name, and every photo of both runs is there once.
    const std::regex named(R"(p(\d\d)( \(\d+\))?\.jpg)");
    std::map<std::pair<int, int>, int> found;  // (run, photo) -> JPEGs of it
    for (const auto& [name, bytes] : Snapshot(out)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(name, match, named)) << name;
        const TestPicture picture = ReadJpegFile(out + L"/" + FromUtf8(name)).picture;
        const int run = picture.height == kSide && picture.width != kSide ? 0 : 1;
        const int number = ((run == 0 ? picture.width : picture.height) - kSide) / 2;
        EXPECT_EQ(number, std::stoi(match[1].str())) << name << " holds another photo";
        ++found[{run, number}];
    }
    EXPECT_EQ(found.size(), 2u * kPhotos);
    for (const auto& [photo, count] : found)
        EXPECT_EQ(count, 1) << photo.first << "/" << photo.second;
}

}  // namespace
