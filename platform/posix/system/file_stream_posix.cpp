// IStream over an open descriptor, for the stand-in's IWICStream::InitializeFromIStream: the JPEG
// goes into the file that claimed its name, never to whatever a name leads to later.
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/file_stream_host.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/system/errno_mapping.h"

namespace {

class DescriptorStream final : public standin::ComObject<IStream, &IID_IStream> {
  public:
    explicit DescriptorStream(int descriptor) : descriptor_(descriptor) {}

    HRESULT Write(const void* data, ULONG size, ULONG* written) override {
        const auto* bytes = static_cast<const unsigned char*>(data);
        ULONG done = 0;
        while (done < size) {
            const ssize_t n = ::write(descriptor_, bytes + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                if (written != nullptr) *written = done;
                return HRESULT_FROM_WIN32(LastWindowsError());
            }
            done += static_cast<ULONG>(n);
        }
        if (written != nullptr) *written = done;
        return S_OK;
    }

    // The file is finished by its owner, who closes it and reports what the close reports.
    HRESULT Commit(DWORD /*commitFlags*/) override { return S_OK; }

  private:
    int descriptor_;
};

}  // namespace

HRESULT host::CreateStreamOnFile(FileHandle file, IStream** stream) {
    if (stream == nullptr) return E_POINTER;
    *stream = new (std::nothrow) DescriptorStream(static_cast<int>(file));
    return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
}
