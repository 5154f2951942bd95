// The run's exit codes and boxes, through a host that records what the run asked of the system.
// The fake factory takes the stand-in's shape of the imaging factory, so this runs on Linux.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "app/run_sequence.h"

namespace {

using Paths = std::vector<std::wstring>;

const std::wstring kInvalidCommandLine = L"명령줄 인수가 올바르지 않습니다.";
const std::wstring kNoCom = L"Windows 이미지 기능을 초기화할 수 없습니다.";
const std::wstring kNoImaging = L"Windows 이미지 기능을 사용할 수 없습니다.";

class FakeFactory final : public IWICImagingFactory {
  public:
    explicit FakeFactory(std::vector<std::string>& events) : events_(events) {}

    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override {
        events_.push_back("release");
        return --references;
    }
    HRESULT CreateDecoderFromFilename(LPCWSTR, const GUID*, DWORD, WICDecodeOptions,
                                      IWICBitmapDecoder**) override {
        return E_NOTIMPL;
    }
    HRESULT CreateFormatConverter(IWICFormatConverter**) override { return E_NOTIMPL; }
    HRESULT CreateStream(IWICStream**) override { return E_NOTIMPL; }
    HRESULT CreateEncoder(REFGUID, const GUID*, IWICBitmapEncoder**) override { return E_NOTIMPL; }

    ULONG references = 0;

  private:
    std::vector<std::string>& events_;
};

// Inputs whose path holds "bad" fail to convert.
class RecordingHost final : public RunHost {
  public:
    HRESULT initResult = S_OK;
    HRESULT factoryResult = S_OK;
    Paths picked;

    std::vector<std::string> events;
    FakeFactory factory{events};
    wchar_t** freedArguments = nullptr;
    Paths converted;
    std::vector<Paths> summaries;
    std::vector<std::wstring> boxes;

    void FreeArguments(wchar_t** arguments) override {
        events.push_back("free");
        freedArguments = arguments;
    }
    HRESULT InitializeCom() override {
        events.push_back("init");
        return initResult;
    }
    HRESULT CreateImagingFactory(IWICImagingFactory** created) override {
        events.push_back("create");
        if (FAILED(factoryResult)) {
            *created = nullptr;
            return factoryResult;
        }
        factory.AddRef();
        *created = &factory;
        return factoryResult;
    }
    void UninitializeCom() override { events.push_back("uninit"); }
    Paths PickInputFiles() override {
        events.push_back("pick");
        return picked;
    }
    ConversionResult ConvertFile(IWICImagingFactory* borrowed, const std::wstring& inputPath,
                                 const ConversionOptions&) override {
        events.push_back("convert");
        EXPECT_EQ(borrowed, &factory);
        EXPECT_GT(factory.references, 0u) << "the factory must live through every conversion";
        converted.push_back(inputPath);
        const bool good = inputPath.find(L"bad") == std::wstring::npos;
        return {inputPath, good ? inputPath + L".jpg" : L"", good, good ? S_OK : E_FAIL,
                good ? L"" : L"실패"};
    }
    void ShowCompletionSummary(const std::vector<ConversionResult>& results) override {
        events.push_back("summary");
        EXPECT_GT(factory.references, 0u) << "the summary comes before the factory goes";
        Paths inputs;
        for (const ConversionResult& result : results) inputs.push_back(result.inputPath);
        summaries.push_back(inputs);
    }
    void ShowErrorBox(const wchar_t* text) override {
        events.push_back("box");
        boxes.emplace_back(text);
    }

    long Count(const std::string& event) const {
        return std::count(events.begin(), events.end(), event);
    }
};

struct RunCase {
    const char* name;
    Paths arguments;  // after the program's own path
    HRESULT initResult;
    HRESULT factoryResult;
    Paths picked;
    int exitCode;
    Paths boxes;
    Paths converted;
    bool summaryShown;
    bool picks;
};

class RunSequenceTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunSequenceTest, EndsAsExpected) {
    const RunCase& c = GetParam();
    RecordingHost host;
    host.initResult = c.initResult;
    host.factoryResult = c.factoryResult;
    host.picked = c.picked;

    std::vector<std::wstring> texts = {L"C:\\Tools\\heic-to-jpeg.exe"};
    texts.insert(texts.end(), c.arguments.begin(), c.arguments.end());
    std::vector<wchar_t*> arguments;
    for (std::wstring& text : texts) arguments.push_back(text.data());
    arguments.push_back(nullptr);

    EXPECT_EQ(RunSequence(static_cast<int>(texts.size()), arguments.data(), host), c.exitCode);

    EXPECT_EQ(host.boxes, c.boxes);
    EXPECT_EQ(host.converted, c.converted);
    EXPECT_EQ(host.summaries.size(), c.summaryShown ? 1u : 0u);
    if (c.summaryShown && !host.summaries.empty()) {
        EXPECT_EQ(host.summaries.front(), c.converted);
    }
    EXPECT_EQ(host.Count("pick"), c.picks ? 1 : 0);

    // Whatever the ending: the array is given back once, right after parsing; COM is torn down
    // once exactly when it came up; the factory is released once and before COM goes.
    EXPECT_EQ(host.freedArguments, arguments.data());
    ASSERT_FALSE(host.events.empty());
    EXPECT_EQ(host.events.front(), "free");
    const bool refused = !c.boxes.empty() && c.boxes.front() == kInvalidCommandLine;
    EXPECT_EQ(host.Count("init"), refused ? 0 : 1);
    EXPECT_EQ(host.Count("uninit"), host.Count("init") == 1 && SUCCEEDED(c.initResult) ? 1 : 0);
    EXPECT_EQ(host.factory.references, 0u);
    const bool factoryMade = host.Count("create") == 1 && SUCCEEDED(c.factoryResult);
    EXPECT_EQ(host.Count("release"), factoryMade ? 1 : 0);
    if (factoryMade) {
        const auto release = std::find(host.events.begin(), host.events.end(), "release");
        EXPECT_EQ(std::next(release), std::find(host.events.begin(), host.events.end(), "uninit"));
        EXPECT_EQ(std::next(release), std::prev(host.events.end()));
    }
}

const Paths kNone;

// One run per row, kept in rows for reading:
// name, arguments, CoInitializeEx, factory, picked, exit code, boxes, converted, summary, dialog
// clang-format off
INSTANTIATE_TEST_SUITE_P(ExitCodes, RunSequenceTest, testing::Values(
    RunCase{"InvalidCommandLineNeverTouchesCom", {L"--bogus"}, S_OK, S_OK,
            {L"p.heic"}, 2, {kInvalidCommandLine}, kNone, false, false},
    RunCase{"QuietDoesNotSilenceInvalidCommandLine", {L"--quiet", L"-x", L"a.heic"}, S_OK, S_OK,
            kNone, 2, {kInvalidCommandLine}, kNone, false, false},
    RunCase{"ComInitFails", {L"a.heic"}, RPC_E_CHANGED_MODE, S_OK,
            kNone, 2, {kNoCom}, kNone, false, false},
    RunCase{"ComInitFailsQuietly", {L"--quiet"}, E_OUTOFMEMORY, S_OK,
            kNone, 2, kNone, kNone, false, false},
    RunCase{"FactoryFailsBeforeAnyInput", {L"a.heic", L"b.heic"}, S_OK, REGDB_E_CLASSNOTREG,
            kNone, 2, {kNoImaging}, kNone, false, false},
    RunCase{"FactoryFailsWithoutDialog", {}, S_OK, REGDB_E_CLASSNOTREG,
            {L"p.heic"}, 2, {kNoImaging}, kNone, false, false},
    RunCase{"FactoryFailsQuietly", {L"--quiet", L"a.heic"}, S_FALSE, E_OUTOFMEMORY,
            kNone, 2, kNone, kNone, false, false},
    RunCase{"AlreadyInitialisedStillRuns", {L"a.heic"}, S_FALSE, S_OK,
            kNone, 0, kNone, {L"a.heic"}, true, false},
    RunCase{"NoGuiWithoutInput", {L"--no-gui"}, S_OK, S_OK,
            {L"p.heic"}, 2, kNone, kNone, false, false},
    RunCase{"NoGuiWithInputShowsSummary", {L"--no-gui", L"a.heic"}, S_OK, S_OK,
            kNone, 0, kNone, {L"a.heic"}, true, false},
    RunCase{"PickerCancelled", {}, S_OK, S_OK,
            kNone, 0, kNone, kNone, false, true},
    RunCase{"PickerCancelledQuietly", {L"--quiet"}, S_OK, S_OK,
            kNone, 0, kNone, kNone, false, true},
    RunCase{"PickedFilesConverted", {L"--self-test"}, S_OK, S_OK,
            {L"C:\\p\\1.heic", L"C:\\p\\bad.heic"}, 1, kNone,
            {L"C:\\p\\1.heic", L"C:\\p\\bad.heic"}, true, true},
    RunCase{"OneFailureDoesNotStopTheRest", {L"bad.heic", L"b.heic"}, S_OK, S_OK,
            kNone, 1, kNone, {L"bad.heic", L"b.heic"}, true, false},
    RunCase{"DuplicatesConvertedTwice", {L"a.heic", L"--overwrite", L"a.heic"}, S_OK, S_OK,
            kNone, 0, kNone, {L"a.heic", L"a.heic"}, true, false},
    RunCase{"QuietAllConverted", {L"a.heic", L"--quiet"}, S_OK, S_OK,
            kNone, 0, kNone, {L"a.heic"}, false, false},
    RunCase{"QuietWithFailure", {L"--quiet", L"a.heic", L"bad.heic"}, S_OK, S_OK,
            kNone, 1, kNone, {L"a.heic", L"bad.heic"}, false, false}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });
// clang-format on

TEST(RunSequenceSplit, UnsplittableCommandLineEndsAtOnce) {
    RecordingHost host;
    EXPECT_EQ(RunSequence(0, nullptr, host), 2);
    EXPECT_TRUE(host.events.empty());
}

}  // namespace
