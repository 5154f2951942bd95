#pragma once
// Turns the process arguments into the run's options and input list.
#include <string>
#include <vector>

#include "convert/conversion_types.h"

// Element 0 is the program and is skipped. Returns false at the first argument it cannot accept;
// the outputs may then hold what was parsed before it.
bool ParseCommandLine(int argumentCount, const wchar_t* const* arguments, ConversionOptions& options,
                      std::vector<std::wstring>& inputs);
