#pragma once
// Where an input's JPEG goes, and the preparation of that place.
#include <cstdint>
#include <string>
#include <string_view>

#include "convert/conversion_types.h"

// Beside the input or under outputDir as typed: stem + ".jpg" when overwriting, otherwise the
// first name of stem + ".jpg", "stem (1).jpg", ... that nothing stands under. Probes may raise
// the filesystem error "exists".
std::wstring ChooseOutputPath(const std::wstring& absoluteInputPath,
                              const ConversionOptions& options);

// The same choice as ChooseOutputPath without overwriting, searching from `number` on (0 is the
// plain name, N is "stem (N).jpg"); `number` is left at the name chosen.
std::wstring ChooseFreeOutputPath(const std::wstring& absoluteInputPath,
                                  std::wstring_view outputDir, std::uint32_t& number);

// Creates the output's folder with its ancestors and, when overwriting, removes whatever stands
// under the output's name (a link itself, never its target).
void PrepareOutputLocation(const std::wstring& outputPath, bool overwrite);
