#include "convert/output_naming.h"

#include <cstdint>

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

// A folder typed with a trailing space or dot ("set OUT=D:\out\ " in a batch file) is made by
// Windows without it, one level at a time, while a middle element of a file's path keeps them:
// the JPEG's path must name the folder that is made.
std::wstring OutputFolder(const std::wstring& absoluteInputPath, std::wstring_view outputDir) {
    return outputDir.empty() ? std::wstring(ParentOf(absoluteInputPath))
                             : FolderAsWindowsMakesIt(outputDir);
}

}  // namespace

std::wstring ChooseOutputPath(const std::wstring& absoluteInputPath,
                              const ConversionOptions& options) {
    if (options.overwrite) {
        return JoinPath(OutputFolder(absoluteInputPath, options.outputDir),
                        std::wstring(StemOf(absoluteInputPath)) + L".jpg");
    }
    std::uint32_t number = 0;
    return ChooseFreeOutputPath(absoluteInputPath, options.outputDir, number);
}

std::wstring ChooseFreeOutputPath(const std::wstring& absoluteInputPath,
                                  std::wstring_view outputDir, std::uint32_t& number) {
    const std::wstring folder = OutputFolder(absoluteInputPath, outputDir);
    const std::wstring_view stem = StemOf(absoluteInputPath);
    // The first free number wins, gaps included; the search ends only at a free name or at a
    // failing probe.
    for (;; ++number) {
        std::wstring candidate = JoinPath(
            folder, number == 0 ? std::wstring(stem) + L".jpg" : NumberedName(stem, number));
        if (!NameTaken(candidate)) return candidate;
    }
}

void PrepareOutputLocation(const std::wstring& outputPath, bool overwrite) {
    // A bare name lives in the current folder, which exists; a root alone needs no creation
    // either (CreateDirectories knows that).
    const std::wstring_view parent = ParentOf(outputPath);
    if (!parent.empty()) CreateDirectories(std::wstring(parent));
    if (overwrite && NameTaken(outputPath)) RemovePath(outputPath);
}
