#include "report/completion_summary.h"

#include <cstddef>
#include <cstdint>
#include <functional>

#include "convert/path_rules.h"
#include "platform/user_api.h"

namespace {

// Beyond this many failures the report only counts the rest, so the box stays on the screen.
constexpr std::size_t kNamedFailureLimit = 8;

constexpr wchar_t kContactLine[] = L"문의: ORVIK 전략팀 · heic-support@orvik.co.kr";

}  // namespace

CompletionSummary BuildCompletionSummary(const std::vector<ConversionResult>& results) {
    std::uint32_t succeededCount = 0;
    std::vector<std::reference_wrapper<const ConversionResult>> failures;
    for (const ConversionResult& result : results) {
        if (result.succeeded) {
            ++succeededCount;
        } else {
            failures.emplace_back(result);
        }
    }

    CompletionSummary summary;
    if (failures.empty()) {
        summary.style = MB_OK | MB_ICONINFORMATION;
        if (results.size() == 1) {
            summary.text = L"변환 완료:\n" + results.front().outputPath;
        } else {
            summary.text = std::to_wstring(succeededCount) + L"개 파일 변환 완료";
        }
        return summary;
    }

    summary.style = MB_OK | MB_ICONERROR;
    std::wstring& text = summary.text;
    text += L"성공: " + std::to_wstring(succeededCount) + L"개\n실패: " +
            std::to_wstring(failures.size()) + L"개\n\n";
    for (std::size_t i = 0; i < failures.size() && i < kNamedFailureLimit; ++i) {
        const ConversionResult& failure = failures[i];
        text += L"- ";
        text += FinalElement(failure.inputPath);
        text += L": ";
        text += failure.message;
        text += L"\n";
    }
    if (failures.size() > kNamedFailureLimit) {
        text += L"...외 " + std::to_wstring(failures.size() - kNamedFailureLimit) + L"개\n";
    }
    text += L"\n";
    text += kContactLine;
    return summary;
}

void ShowCompletionSummary(const std::vector<ConversionResult>& results) {
    const CompletionSummary summary = BuildCompletionSummary(results);
    // The box only offers OK and the exit code comes from the results, so its answer is not read.
    MessageBoxW(nullptr, summary.text.c_str(), kMessageBoxCaption, summary.style);
}
