#pragma once
// The checks an input passes before anything is decoded.
#include <string>

#include "convert/conversion_types.h"

// True when the path's final element ends in ".heic" or ".heif", ASCII letters in any case.
bool HasHeifExtension(const std::wstring& path);

// Makes result.inputPath absolute, then accepts an existing regular file with a HEIF extension
// (the extension test is skipped with selfTest). Writes a rejection into result and returns
// false otherwise; status failures other than not-found are raised, not rejected.
bool CheckInput(const std::wstring& inputPath, const ConversionOptions& options, ConversionResult& result);
