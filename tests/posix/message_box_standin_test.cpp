// Without windows, a box's text reaches the terminal: errors on standard error, the rest on
// standard output, as UTF-8.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/user_api.h"
#include "report/completion_summary.h"

namespace {

struct BoxCase {
    const char* name;
    UINT style;
    bool toError;
};

class MessageBoxStandinTest : public testing::TestWithParam<BoxCase> {};

TEST_P(MessageBoxStandinTest, PrintsTextToTheStreamOfItsIcon) {
    const BoxCase& c = GetParam();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int answer =
        MessageBoxW(nullptr, L"변환 완료:\nC:\\a · b.jpg", kMessageBoxCaption, c.style);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(answer, IDOK);
    const std::string expected =
        "\xEB\xB3\x80\xED\x99\x98 \xEC\x99\x84\xEB\xA3\x8C:\nC:\\a \xC2\xB7 b.jpg\n";
    EXPECT_EQ(c.toError ? err : out, expected);
    EXPECT_EQ(c.toError ? out : err, "");
}

INSTANTIATE_TEST_SUITE_P(Styles, MessageBoxStandinTest,
                         testing::Values(BoxCase{"Error", MB_OK | MB_ICONERROR, true},
                                         BoxCase{"Information", MB_OK | MB_ICONINFORMATION, false},
                                         BoxCase{"Warning", 0x30, false},
                                         BoxCase{"Plain", MB_OK, false}),
                         [](const testing::TestParamInfo<BoxCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(CompletionSummaryBox, FailureReportGoesToStandardError) {
    const std::vector<ConversionResult> results = {
        {L"/in/a.heic", L"/in/a.jpg", true, S_OK, L""},
        {L"/in/b.heic", L"", false, E_FAIL, L"x"},
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ShowCompletionSummary(results);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("\xEC\x84\xB1\xEA\xB3\xB5: 1", 0), 0u) << err;  // "성공: 1"
}

TEST(CompletionSummaryBox, ConfirmationGoesToStandardOutput) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ShowCompletionSummary({{L"/in/a.heic", L"/out/a.jpg", true, S_OK, L""}});
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_EQ(out, "\xEB\xB3\x80\xED\x99\x98 \xEC\x99\x84\xEB\xA3\x8C:\n/out/a.jpg\n");
}

}  // namespace
