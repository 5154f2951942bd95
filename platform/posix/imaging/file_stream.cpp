// The output stream: a file created (or emptied) by InitializeFromFilename and kept open, locked
// against other writers and removal, until the stream is released or its encoder commits; or
// another stream, given to InitializeFromIStream, that it writes through and commits.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

#include "platform/com_owner.h"
#include "platform/posix/system/com_object.h"
#include "platform/posix/imaging/standin_objects.h"
#include "platform/posix/system/host_path.h"
#include "platform/posix/system/write_lock.h"

namespace standin {
namespace {

class FileStream final
    : public ComObject<IStandinFileStream, &IID_IStream, &IID_IWICStream, &IID_IStandinFileStream> {
  public:
    HRESULT InitializeFromFilename(LPCWSTR fileName, DWORD desiredAccess) override {
        if (file_ || closed_) return WINCODEC_ERR_WRONGSTATE;
        // These streams exist for encoders to write into; reading is not offered.
        if (fileName == nullptr || desiredAccess != GENERIC_WRITE) return E_INVALIDARG;
        // Locked as Windows' stream denies other writers: a second run writing the same name
        // fails instead of mixing its bytes into this file.
        int opened = -1;
        const std::uint32_t error = OpenLockedForWriting(HostPath(fileName), opened);
        if (error != 0) return HRESULT_FROM_WIN32(error);
        file_ = UniqueFd(opened);
        return S_OK;
    }

    HRESULT InitializeFromIStream(IStream* stream) override {
        if (file_ || target_ || closed_) return WINCODEC_ERR_WRONGSTATE;
        if (stream == nullptr) return E_INVALIDARG;
        stream->AddRef();
        target_ = ComOwner<IStream>(stream);
        return S_OK;
    }

    HRESULT Write(const void* data, ULONG size, ULONG* written) override {
        const HRESULT hr = WriteBytes(static_cast<const BYTE*>(data), size);
        if (written != nullptr) *written = SUCCEEDED(hr) ? size : 0;
        return hr;
    }

    HRESULT Commit(DWORD /*commitFlags*/) override {
        return file_ || target_ ? S_OK : WINCODEC_ERR_NOTINITIALIZED;
    }

    HRESULT WriteBytes(const BYTE* data, std::size_t size) override {
        if (target_) return WriteThroughTarget(data, size);
        if (!file_) return closed_ ? WINCODEC_ERR_WRONGSTATE : WINCODEC_ERR_NOTINITIALIZED;
        while (size > 0) {
            const ssize_t n = ::write(file_.get(), data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return HresultFromErrno(errno);
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return S_OK;
    }

    HRESULT Close() override {
        if (target_) {
            closed_ = true;
            const HRESULT hr = target_->Commit(STGC_DEFAULT);
            target_.reset();
            return hr;
        }
        if (!file_) return closed_ ? WINCODEC_ERR_WRONGSTATE : WINCODEC_ERR_NOTINITIALIZED;
        closed_ = true;
        // close() gives the descriptor back even when it reports an error; it is never retried.
        if (::close(file_.release()) != 0 && errno != EINTR) return HresultFromErrno(errno);
        return S_OK;
    }

  private:
    HRESULT WriteThroughTarget(const BYTE* data, std::size_t size) {
        constexpr std::size_t kLargestWrite = std::size_t{1} << 30;
        while (size > 0) {
            const auto part = static_cast<ULONG>(std::min(size, kLargestWrite));
            ULONG written = 0;
            const HRESULT hr = target_->Write(data, part, &written);
            if (FAILED(hr)) return hr;
            if (written == 0) return STG_E_MEDIUMFULL;
            data += written;
            size -= written;
        }
        return S_OK;
    }

    UniqueFd file_;
    ComOwner<IStream> target_;
    bool closed_ = false;
};

}  // namespace

IStandinFileStream* NewFileStream() {
    return new (std::nothrow) FileStream();
}

}  // namespace standin
