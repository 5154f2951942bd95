#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
    bool accepted = false;
    ConversionOptions options;
    std::vector<std::wstring> inputs;
};

// Element 0 is the program, never examined; the array ends in a null as CommandLineToArgvW's does.
Parsed Parse(const std::vector<const wchar_t*>& arguments) {
    std::vector<const wchar_t*> argv{L"--not-an-option.exe"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    argv.push_back(nullptr);
    Parsed parsed;
    parsed.accepted = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(),
                                       parsed.options, parsed.inputs);
    return parsed;
}

TEST(CommandLineTest, FlagsSetOnlyTheirOwnField) {
    const Parsed none = Parse({});
    EXPECT_TRUE(none.accepted && none.inputs.empty() && none.options.quality == 92);
    const std::pair<const wchar_t*, bool ConversionOptions::*> flags[] = {
        {L"--quiet", &ConversionOptions::quiet},
        {L"--no-gui", &ConversionOptions::noGui},
        {L"--self-test", &ConversionOptions::selfTest},
        {L"--overwrite", &ConversionOptions::overwrite},
    };
    for (const auto& [flag, field] : flags) {
        const Parsed parsed = Parse({flag, flag});  // repeating is harmless
        ASSERT_TRUE(parsed.accepted) << flag;
        EXPECT_TRUE(parsed.inputs.empty());
        EXPECT_EQ(parsed.options.quality, 92);
        for (const auto& [other, otherField] : flags)
            EXPECT_EQ(parsed.options.*otherField, otherField == field) << flag << other;
    }
}

TEST(CommandLineTest, QualityIsReadLikeStoiAndClamped) {
    // Quality 0: the command line is refused. "--quiet" is taken as the value and holds no digits.
    const std::pair<int, std::vector<const wchar_t*>> groups[] = {
        {75, {L"75"}},
        {1, {L"0", L"-20"}},
        {100, {L"101", L"2147483647"}},
        {80, {L"80%", L"80abc"}},
        {50, {L"+50", L"  50"}},
        {0, {L"2147483648", L"-2147483649", L"abc", L"", L"%80", L"--quiet"}},
    };
    for (const auto& [quality, values] : groups) {
        for (const wchar_t* value : values) {
            const Parsed parsed = Parse({L"--quality", L"60", L"--quality", value});
            EXPECT_EQ(parsed.accepted, quality != 0) << L"'" << value << L"'";
            if (quality != 0) {
                EXPECT_EQ(parsed.options.quality, quality) << L"'" << value << L"'";
            }
            EXPECT_FALSE(parsed.options.quiet);
        }
    }
}

TEST(CommandLineTest, OutputDirTakesTheNextElementAsTyped) {
    for (const wchar_t* value : {L"D:\\out", L"", L"--quiet", L"-", L"\uCD9C\uB825 \uD3F4\uB354"}) {
        const Parsed parsed = Parse({L"--output-dir", L"first", L"--output-dir", value, L"a.heic"});
        ASSERT_TRUE(parsed.accepted) << L"'" << value << L"'";
        EXPECT_EQ(parsed.options.outputDir, value);
        EXPECT_FALSE(parsed.options.quiet);
        EXPECT_EQ(parsed.inputs, std::vector<std::wstring>{L"a.heic"});
    }
}

TEST(CommandLineTest, RefusedArguments) {
    const std::vector<const wchar_t*> cases[] = {
        {L"--quality"},           {L"a.heic", L"--output-dir"}, {L"--QUIET"}, {L"-quiet"},
        {L"--quality=80"},        {L"--qual", L"80"},           {L"-"},       {L"-x.heic"},
        {L"--quiet ", L"a.heic"},
    };
    for (const auto& arguments : cases)
        EXPECT_FALSE(Parse(arguments).accepted) << *arguments.begin();
}

TEST(CommandLineTest, InputsKeepTheirOrderAmongOptions) {
    const Parsed parsed =
        Parse({L"b.heic", L"--quality", L"50", L"", L"C:\\x\\a.HEIC", L"--overwrite", L"b.heic",
               L".\\-dash.heic", L"\uC0AC\uC9C4.heic"});
    ASSERT_TRUE(parsed.accepted);
    const std::vector<std::wstring> expected{
        L"b.heic", L"", L"C:\\x\\a.HEIC", L"b.heic", L".\\-dash.heic", L"\uC0AC\uC9C4.heic"};
    EXPECT_EQ(parsed.inputs, expected);
    EXPECT_EQ(parsed.options.quality, 50);
    EXPECT_TRUE(parsed.options.overwrite);
    EXPECT_EQ(parsed.options.outputDir, L"");
}

}  // namespace
