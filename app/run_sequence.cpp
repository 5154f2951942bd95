#include "app/run_sequence.h"

#include <utility>

#include "app/command_line.h"
#include "app/file_picker.h"
#include "convert/convert_file.h"
#include "platform/com_owner.h"
#include "platform/user_api.h"
#include "report/completion_summary.h"

namespace {

constexpr wchar_t kInvalidCommandLineText[] = L"명령줄 인수가 올바르지 않습니다.";
constexpr wchar_t kComUnavailableText[] = L"Windows 이미지 기능을 초기화할 수 없습니다.";
constexpr wchar_t kImagingUnavailableText[] = L"Windows 이미지 기능을 사용할 수 없습니다.";

}  // namespace

int RunSequence(int argumentCount, wchar_t** arguments, RunHost& host) {
    if (arguments == nullptr) return kExitCannotStart;

    ConversionOptions options;
    std::vector<std::wstring> inputs;
    const bool accepted = ParseCommandLine(argumentCount, arguments, options, inputs);
    host.FreeArguments(arguments);
    if (!accepted) {
        // Even "--quiet" cannot be trusted on a command line that was refused.
        host.ShowErrorBox(kInvalidCommandLineText);
        return kExitCannotStart;
    }

    // S_FALSE (already initialised on this thread) is a success and must be balanced as well.
    if (FAILED(host.InitializeCom())) {
        if (!options.quiet) host.ShowErrorBox(kComUnavailableText);
        return kExitCannotStart;
    }

    ComOwner<IWICImagingFactory> factory;
    // The factory goes before COM does, on every way out.
    const auto finish = [&](int exitCode) {
        factory.reset();
        host.UninitializeCom();
        return exitCode;
    };

    if (FAILED(host.CreateImagingFactory(factory.put()))) {
        if (!options.quiet) host.ShowErrorBox(kImagingUnavailableText);
        return finish(kExitCannotStart);
    }

    if (inputs.empty()) {
        if (options.noGui) return finish(kExitCannotStart);
        inputs = host.PickInputFiles();
        if (inputs.empty()) return finish(kExitOk);
    }

    std::vector<ConversionResult> results;
    results.reserve(inputs.size());
    bool allSucceeded = true;
    for (const std::wstring& input : inputs) {
        ConversionResult result = host.ConvertFile(factory.get(), input, options);
        allSucceeded = allSucceeded && result.succeeded;
        results.push_back(std::move(result));
    }

    if (!options.quiet) host.ShowCompletionSummary(results);
    return finish(allSucceeded ? kExitOk : kExitSomeFailed);
}

HRESULT SystemRunHost::InitializeCom() {
    return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}

HRESULT SystemRunHost::CreateImagingFactory(IWICImagingFactory** factory) {
    return CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER,
                            IID_IWICImagingFactory, reinterpret_cast<void**>(factory));
}

void SystemRunHost::UninitializeCom() {
    CoUninitialize();
}

std::vector<std::wstring> SystemRunHost::PickInputFiles() {
    return ::PickInputFiles();
}

ConversionResult SystemRunHost::ConvertFile(IWICImagingFactory* factory,
                                            const std::wstring& inputPath,
                                            const ConversionOptions& options) {
    return ::ConvertFile(factory, inputPath, options);
}

void SystemRunHost::ShowCompletionSummary(const std::vector<ConversionResult>& results) {
    ::ShowCompletionSummary(results);
}

void SystemRunHost::ShowErrorBox(const wchar_t* text) {
    MessageBoxW(nullptr, text, kMessageBoxCaption, MB_OK | MB_ICONERROR);
}
