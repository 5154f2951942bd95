#include "convert/output_naming.h"

#include <cstdint>
#include <string_view>

#include "convert/file_system.h"
#include "convert/path_rules.h"

namespace {

std::wstring NumberedName(std::wstring_view stem, std::uint32_t number) {
    std::wstring name(stem);
    name += L" (";
    name += std::to_wstring(number);
    name += L").jpg";
    return name;
}

}  // namespace

std::wstring ChooseOutputPath(const std::wstring& absoluteInputPath,
                              const ConversionOptions& options) {
    const std::wstring_view folder = options.outputDir.empty()
                                         ? ParentOf(absoluteInputPath)
                                         : std::wstring_view(options.outputDir);
    const std::wstring_view stem = StemOf(absoluteInputPath);

    std::wstring candidate = JoinPath(folder, std::wstring(stem) + L".jpg");
    if (options.overwrite || !PathExists(candidate)) return candidate;
    // The first free number wins, gaps included; the search ends only at a free name or at a
    // failing probe.
    for (std::uint32_t number = 1;; ++number) {
        candidate = JoinPath(folder, NumberedName(stem, number));
        if (!PathExists(candidate)) return candidate;
    }
}

void PrepareOutputLocation(const std::wstring& outputPath, const ConversionOptions& options) {
    // A bare name lives in the current folder, which exists; a root alone needs no creation
    // either (CreateDirectories knows that).
    const std::wstring_view parent = ParentOf(outputPath);
    if (!parent.empty()) CreateDirectories(std::wstring(parent));
    if (options.overwrite && PathExists(outputPath)) RemovePath(outputPath);
}
