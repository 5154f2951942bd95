// Without windows, a box's text reaches the terminal as UTF-8: errors on standard error, the rest
// on standard output, paths with this host's "/" and a byte of a name that is not UTF-8 as U+FFFD.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/user_api.h"
#include "report/completion_summary.h"

namespace {

struct Printed {
    std::string out;
    std::string err;
};

template <typename Show>
Printed Capture(Show show) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    show();
    Printed printed{testing::internal::GetCapturedStdout(), ""};
    printed.err = testing::internal::GetCapturedStderr();
    return printed;
}

TEST(MessageBoxStandin, PrintsTextToTheStreamOfItsIcon) {
    // "변환 완료:\nC:/a · b�.jpg" in UTF-8.
    const std::string text =
        "\xEB\xB3\x80\xED\x99\x98 \xEC\x99\x84\xEB\xA3\x8C:\nC:/a \xC2\xB7 b\xEF\xBF\xBD.jpg\n";
    for (const UINT style : {MB_OK | MB_ICONERROR, MB_OK | MB_ICONINFORMATION, 0x30u, MB_OK}) {
        int answer = 0;
        const Printed printed = Capture([&] {
            answer =
                MessageBoxW(nullptr, L"변환 완료:\nC:\\a · b\xDCFF.jpg", kMessageBoxCaption, style);
        });
        const bool error = style == (MB_OK | MB_ICONERROR);
        EXPECT_EQ(answer, IDOK);
        EXPECT_EQ(error ? printed.err : printed.out, text) << style;
        EXPECT_EQ(error ? printed.out : printed.err, "") << style;
    }
}

TEST(MessageBoxStandin, FailureReportGoesToStandardError) {
    const std::vector<ConversionResult> results = {{L"/in/a.heic", L"/in/a.jpg", true, S_OK, L""},
                                                   {L"/in/b.heic", L"", false, E_FAIL, L"x"}};
    const Printed printed = Capture([&] { ShowCompletionSummary(results); });
    EXPECT_EQ(printed.out, "");
    EXPECT_EQ(printed.err.rfind("\xEC\x84\xB1\xEA\xB3\xB5: 1", 0), 0u) << printed.err;  // "성공: 1"
}

}  // namespace
