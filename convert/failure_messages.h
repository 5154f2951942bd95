#pragma once
// The text a user reads for a failed imaging call.
#include <string>

#include "platform/imaging_api.h"

std::wstring FormatFailureMessage(HRESULT hresult);
