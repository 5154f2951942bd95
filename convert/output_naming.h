#pragma once
// Where an input's JPEG goes, and the preparation of that place.
#include <string>
#include <string_view>

#include "convert/conversion_types.h"

// Beside the input or under outputDir as typed: stem + ".jpg" when overwriting, otherwise the
// first name of stem + ".jpg", "stem (1).jpg", ... that nothing stands under. Probes may raise
// the filesystem error "exists".
std::wstring ChooseOutputPath(const std::wstring& absoluteInputPath, const ConversionOptions& options);

// The same choice as ChooseOutputPath without overwriting.
std::wstring ChooseFreeOutputPath(const std::wstring& absoluteInputPath, std::wstring_view outputDir);

// Creates the output's folder with its ancestors and, when overwriting, removes whatever stands
// under the output's name (a link itself, never its target).
void PrepareOutputLocation(const std::wstring& outputPath, bool overwrite);
