#pragma once
// One input file to one JPEG, with every failure turned into the returned record.
#include <string>

#include "convert/conversion_types.h"
#include "platform/imaging_api.h"

// The factory is borrowed. Nothing but memory exhaustion while copying inputPath is thrown.
ConversionResult ConvertFile(IWICImagingFactory* factory, const std::wstring& inputPath,
                             const ConversionOptions& options);
