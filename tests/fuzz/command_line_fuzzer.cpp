// The command-line parser on any argument array: no crash and no exception, and whatever it
// accepts can be written back as a command line that it reads the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fuzz_input.h"

namespace {

bool SameOptions(const ConversionOptions& a, const ConversionOptions& b) {
    return a.outputDir == b.outputDir && a.quality == b.quality && a.overwrite == b.overwrite &&
           a.quiet == b.quiet && a.noGui == b.noGui && a.selfTest == b.selfTest;
}

bool Parse(const std::vector<std::wstring>& arguments, ConversionOptions& options,
           std::vector<std::wstring>& inputs) {
    std::vector<const wchar_t*> array;
    for (const std::wstring& argument : arguments) array.push_back(argument.c_str());
    array.push_back(nullptr);
    return ParseCommandLine(static_cast<int>(arguments.size()), array.data(), options, inputs);
}

// The accepted outcome, spelled out as a command line of its own.
std::vector<std::wstring> Respelled(const ConversionOptions& options,
                                    const std::vector<std::wstring>& inputs) {
    std::vector<std::wstring> arguments{L"heic-to-jpeg.exe"};
    if (options.quiet) arguments.emplace_back(L"--quiet");
    if (options.noGui) arguments.emplace_back(L"--no-gui");
    if (options.selfTest) arguments.emplace_back(L"--self-test");
    if (options.overwrite) arguments.emplace_back(L"--overwrite");
    arguments.emplace_back(L"--quality");
    arguments.push_back(std::to_wstring(options.quality));
    arguments.emplace_back(L"--output-dir");
    arguments.push_back(options.outputDir);
    arguments.insert(arguments.end(), inputs.begin(), inputs.end());
    return arguments;
}

bool Contains(const std::vector<std::wstring>& list, const std::wstring& item) {
    for (const std::wstring& entry : list) {
        if (entry == item) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments{L"heic-to-jpeg.exe"};
    for (std::wstring& part : SplitAtNul(WideFromUtf16Bytes(data, size))) {
        arguments.push_back(std::move(part));
    }
    const std::wstring subject(WideFromUtf16Bytes(data, size));

    ConversionOptions options;
    std::vector<std::wstring> inputs;
    const bool accepted = Parse(arguments, options, inputs);  // must not throw

    bool anyDash = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        anyDash = anyDash || (!arguments[i].empty() && arguments[i].front() == L'-');
    }
    if (!anyDash) {
        // Without anything that looks like an option, every argument is an input, as typed.
        FUZZ_REQUIRE(accepted, subject);
        FUZZ_REQUIRE(inputs == std::vector<std::wstring>(arguments.begin() + 1, arguments.end()),
                     subject);
        FUZZ_REQUIRE(SameOptions(options, ConversionOptions{}), subject);
    }
    if (!accepted) return 0;

    FUZZ_REQUIRE(options.quality >= 1 && options.quality <= 100, subject);
    FUZZ_REQUIRE(options.quality == 92 || Contains(arguments, L"--quality"), subject);
    FUZZ_REQUIRE(options.outputDir.empty() || Contains(arguments, L"--output-dir"), subject);
    FUZZ_REQUIRE(!options.quiet || Contains(arguments, L"--quiet"), subject);
    FUZZ_REQUIRE(!options.overwrite || Contains(arguments, L"--overwrite"), subject);
    // Inputs keep their order: they form a subsequence of the arguments.
    std::size_t next = 1;
    for (const std::wstring& input : inputs) {
        FUZZ_REQUIRE(input.empty() || input.front() != L'-', subject);
        while (next < arguments.size() && arguments[next] != input) ++next;
        FUZZ_REQUIRE(next < arguments.size(), subject);
        ++next;
    }

    ConversionOptions again;
    std::vector<std::wstring> againInputs;
    FUZZ_REQUIRE(Parse(Respelled(options, inputs), again, againInputs), subject);
    FUZZ_REQUIRE(SameOptions(again, options) && againInputs == inputs, subject);
    return 0;
}
