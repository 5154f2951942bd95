#pragma once
// The imaging component, COM and OLE calls the conversion makes. On Windows they are the
// system's own; on other hosts our stand-in of the same shape (platform/posix) takes their place,
// so that the conversion is one source for both.
#ifdef _WIN32
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wincodec.h>
#else
#include "platform/posix/imaging/wic_standin.h"
#endif
