#pragma once
// A stream over a file this run created and holds open, for the imaging component to write the
// JPEG through the very handle that claimed its name (IWICStream::InitializeFromIStream).
#include "platform/file_system_host.h"
#ifdef _WIN32
#include <windows.h>
#include <objidl.h>
#else
#include "platform/posix/system/com_api.h"
#endif

namespace host {

// The stream borrows the file: whoever made it closes it, after the stream is released.
HRESULT CreateStreamOnFile(FileHandle file, IStream** stream);

}  // namespace host
