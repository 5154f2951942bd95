// The summary text for any list of results: no crash, the right counts and icon, every named
// failure in order with its own message, and the contact line last.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "convert/path_rules.h"
#include "fuzz_input.h"
#include "platform/user_api.h"
#include "report/completion_summary.h"

namespace {

constexpr std::size_t kNamedLimit = 8;
constexpr wchar_t kContactStart[] = L"\n문의: ORVIK 전략팀 · ";

std::wstring ConsumeWide(FuzzedDataProvider& provider) {
    const std::size_t units = provider.ConsumeIntegralInRange<std::size_t>(0, 40);
    std::wstring text;
    for (std::size_t i = 0; i < units && provider.remaining_bytes() > 0; ++i) {
        text.push_back(static_cast<wchar_t>(provider.ConsumeIntegral<std::uint16_t>()));
    }
    return text;
}

bool StartsWith(std::wstring_view text, std::wstring_view head) {
    return text.substr(0, head.size()) == head;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    std::vector<ConversionResult> results(provider.ConsumeIntegralInRange<std::size_t>(0, 24));
    std::size_t succeeded = 0;
    std::vector<const ConversionResult*> failures;
    for (ConversionResult& result : results) {
        result.succeeded = provider.ConsumeBool();
        result.inputPath = ConsumeWide(provider);
        result.outputPath = ConsumeWide(provider);
        result.message = ConsumeWide(provider);
        if (result.succeeded) {
            ++succeeded;
        } else {
            failures.push_back(&result);
        }
    }

    const CompletionSummary summary = BuildCompletionSummary(results);
    const std::wstring& text = summary.text;

    if (failures.empty()) {
        FUZZ_REQUIRE(summary.style == (MB_OK | MB_ICONINFORMATION), text);
        if (results.size() == 1) {
            FUZZ_REQUIRE(text == L"변환 완료:\n" + results.front().outputPath, text);
        } else {
            FUZZ_REQUIRE(text == std::to_wstring(succeeded) + L"개 파일 변환 완료", text);
        }
        return 0;
    }

    FUZZ_REQUIRE(summary.style == (MB_OK | MB_ICONERROR), text);
    const std::wstring head = L"성공: " + std::to_wstring(succeeded) + L"개\n실패: " +
                              std::to_wstring(failures.size()) + L"개\n\n";
    FUZZ_REQUIRE(StartsWith(text, head), text);

    // The named failures follow the counts one after another, each on its own line.
    std::size_t at = head.size();
    for (std::size_t i = 0; i < failures.size() && i < kNamedLimit; ++i) {
        const std::wstring line = L"- " + std::wstring(FinalElement(failures[i]->inputPath)) +
                                  L": " + failures[i]->message + L"\n";
        FUZZ_REQUIRE(text.compare(at, line.size(), line) == 0, text);
        at += line.size();
    }
    if (failures.size() > kNamedLimit) {
        const std::wstring more =
            L"...외 " + std::to_wstring(failures.size() - kNamedLimit) + L"개\n";
        FUZZ_REQUIRE(text.compare(at, more.size(), more) == 0, text);
        at += more.size();
    }
    const std::wstring_view contact(kContactStart);
    FUZZ_REQUIRE(text.compare(at, contact.size(), contact) == 0, text);
    const std::wstring_view address = std::wstring_view(text).substr(at + contact.size());
    FUZZ_REQUIRE(!address.empty() && address.find(L'\n') == std::wstring_view::npos, text);
    return 0;
}
