#pragma once
// The one box that sums up a run.
#include <string>
#include <vector>

#include "convert/conversion_types.h"

struct CompletionSummary {
    std::wstring text;
    unsigned int style = 0;  // MB_OK | MB_ICONINFORMATION or MB_OK | MB_ICONERROR
};

CompletionSummary BuildCompletionSummary(const std::vector<ConversionResult>& results);

void ShowCompletionSummary(const std::vector<ConversionResult>& results);
