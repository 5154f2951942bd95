#pragma once
// The options of one run and the outcome of one input.
#include <string>

#include "platform/imaging_api.h"

struct ConversionOptions {
    std::wstring outputDir;
    int quality = 92;
    bool overwrite = false;
    bool quiet = false;
    bool noGui = false;
    bool selfTest = false;
};

struct ConversionResult {
    std::wstring inputPath;
    std::wstring outputPath;
    bool succeeded = false;
    HRESULT hresult = E_FAIL;
    std::wstring message;
};
