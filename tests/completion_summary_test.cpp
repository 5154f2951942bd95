#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/user_api.h"
#include "report/completion_summary.h"

namespace {

// Written with the escape so that a look-alike dot in the program's literal is caught.
const std::wstring kContact = L"문의: ORVIK 전략팀 \u00B7 heic-support@orvik.co.kr";

ConversionResult Converted(const std::wstring& input, const std::wstring& output) {
    return {input, output, true, S_OK, L""};
}

ConversionResult Failed(const std::wstring& input, const std::wstring& message) {
    return {input, L"", false, E_FAIL, message};
}

// n failures named C:\in\f1.heic ... with the message "m1" ...
std::vector<ConversionResult> Failures(int n) {
    std::vector<ConversionResult> results;
    for (int i = 1; i <= n; ++i) {
        const std::wstring number = std::to_wstring(i);
        results.push_back(Failed(L"C:\\in\\f" + number + L".heic", L"m" + number));
    }
    return results;
}

std::wstring FailureLines(int n) {
    std::wstring lines;
    for (int i = 1; i <= n; ++i) {
        const std::wstring number = std::to_wstring(i);
        lines += L"- f" + number + L".heic: m" + number + L"\n";
    }
    return lines;
}

struct SummaryCase {
    const char* name;
    std::vector<ConversionResult> results;
    std::wstring text;
    unsigned int style;
};

class CompletionSummaryTest : public testing::TestWithParam<SummaryCase> {};

TEST_P(CompletionSummaryTest, BuildsTextAndStyle) {
    const SummaryCase& c = GetParam();
    const CompletionSummary summary = BuildCompletionSummary(c.results);
    EXPECT_EQ(summary.text, c.text);
    EXPECT_EQ(summary.style, c.style);
}

const unsigned int kInformation = MB_OK | MB_ICONINFORMATION;
const unsigned int kError = MB_OK | MB_ICONERROR;

std::vector<ConversionResult> Mixed() {
    return {Converted(L"C:\\in\\a.heic", L"C:\\in\\a.jpg"),
            Failed(L"C:\\in\\b.heic", L"읽을 수 없습니다."),
            Converted(L"C:\\in\\c.heic", L"C:\\in\\c.jpg"),
            Failed(L"D:\\photos\\2024\\d.heif", L"쓸 수 없습니다.")};
}

std::vector<ConversionResult> NineFailuresAfterTwoSuccesses() {
    std::vector<ConversionResult> results = {Converted(L"x.heic", L"x.jpg"),
                                             Converted(L"y.heic", L"y.jpg")};
    for (ConversionResult& failure : Failures(9)) results.push_back(failure);
    return results;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CompletionSummaryTest,
    testing::Values(
        SummaryCase{"OneConvertedShowsWholeOutputPath",
                    {Converted(L"C:\\in\\a.heic", L"D:\\out dir\\a (2).jpg")},
                    L"변환 완료:\nD:\\out dir\\a (2).jpg",
                    kInformation},
        SummaryCase{"SeveralConvertedShowCount",
                    {Converted(L"a.heic", L"a.jpg"), Converted(L"b.heic", L"b.jpg"),
                     Converted(L"a.heic", L"a (1).jpg")},
                    L"3개 파일 변환 완료",
                    kInformation},
        SummaryCase{"EmptyListCountsZero", {}, L"0개 파일 변환 완료", kInformation},
        SummaryCase{
            "OneFailedTakesTheReport",
            {Failed(L"C:\\Users\\kim\\Pictures\\IMG_0001.HEIC", L"파일을 찾을 수 없습니다.")},
            L"성공: 0개\n실패: 1개\n\n- IMG_0001.HEIC: 파일을 찾을 수 없습니다.\n\n" + kContact,
            kError},
        SummaryCase{"MixedNamesOnlyFailures", Mixed(),
                    L"성공: 2개\n실패: 2개\n\n- b.heic: 읽을 수 없습니다.\n- d.heif: 쓸 수 "
                    L"없습니다.\n\n" +
                        kContact,
                    kError},
        SummaryCase{"EightFailuresAllNamed", Failures(8),
                    L"성공: 0개\n실패: 8개\n\n" + FailureLines(8) + L"\n" + kContact, kError},
        SummaryCase{"NineFailuresCountTheLast", NineFailuresAfterTwoSuccesses(),
                    L"성공: 2개\n실패: 9개\n\n" + FailureLines(8) + L"...외 1개\n\n" + kContact,
                    kError},
        SummaryCase{"EmptyMessageStillGetsItsLine",
                    {Failed(L"\\\\server\\share\\x.heic", L"")},
                    L"성공: 0개\n실패: 1개\n\n- x.heic: \n\n" + kContact,
                    kError},
        SummaryCase{
            "NamesFollowWindowsPathRules",
            {Failed(L"C:a.heic", L"1"), Failed(L"pics/b.heic", L"2"),
             Failed(L"C:\\Pictures\\", L"3"), Failed(L"\\\\server", L"4")},
            L"성공: 0개\n실패: 4개\n\n- a.heic: 1\n- b.heic: 2\n- : 3\n- : 4\n\n" + kContact,
            kError}),
    [](const testing::TestParamInfo<SummaryCase>& info) { return std::string(info.param.name); });

}  // namespace
