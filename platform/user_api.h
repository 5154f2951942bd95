#pragma once
// Message boxes and system message texts. On Windows the system's own; elsewhere a stand-in:
// MessageBoxW prints its text as UTF-8 (to standard error for error boxes, standard output
// otherwise) and FormatMessageW knows the Korean texts of the few codes our stand-ins return.
#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/system/user_standin.h"
#endif

// The caption of every box the program shows.
inline constexpr wchar_t kMessageBoxCaption[] = L"HEIC to JPEG Converter | ORVIK";
