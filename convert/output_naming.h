#pragma once
// Where an input's JPEG goes, and the preparation of that place.
#include <string>

#include "convert/conversion_types.h"

// Beside the input or under outputDir as typed; stem + ".jpg", or the first free "stem (N).jpg"
// unless overwriting. Probes may raise the filesystem error "exists".
std::wstring ChooseOutputPath(const std::wstring& absoluteInputPath, const ConversionOptions& options);

// Creates the output's folder with its ancestors and, when overwriting, removes the old output.
void PrepareOutputLocation(const std::wstring& outputPath, const ConversionOptions& options);
