// IStream over an open file handle: what WIC's JPEG encoder needs of a stream (write, seek, size,
// status), written to the file in place. Reading is offered too; clones and transactions are not.
#include <windows.h>
#include <objidl.h>

#include <new>

#include "platform/file_stream_host.h"

namespace {

class HandleStream final : public IStream {
  public:
    explicit HandleStream(HANDLE file) : file_(file) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
            *object = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
        DWORD got = 0;
        if (!ReadFile(file_, buffer, size, &got, nullptr)) return LastFailure();
        if (read != nullptr) *read = got;
        return got == size ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* data, ULONG size, ULONG* written) override {
        DWORD put = 0;
        if (!WriteFile(file_, data, size, &put, nullptr)) return LastFailure();
        if (written != nullptr) *written = put;
        return put == size ? S_OK : STG_E_MEDIUMFULL;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin,
                                   ULARGE_INTEGER* position) override {
        LARGE_INTEGER now{};
        if (!SetFilePointerEx(file_, move, &now, origin)) return LastFailure();
        if (position != nullptr) position->QuadPart = static_cast<ULONGLONG>(now.QuadPart);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override {
        LARGE_INTEGER here{};
        LARGE_INTEGER zero{};
        LARGE_INTEGER end{};
        end.QuadPart = static_cast<LONGLONG>(size.QuadPart);
        if (!SetFilePointerEx(file_, zero, &here, FILE_CURRENT) ||
            !SetFilePointerEx(file_, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file_) ||
            !SetFilePointerEx(file_, here, nullptr, FILE_BEGIN)) {
            return LastFailure();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    // The file is finished by its owner, who closes it and reports what the close reports.
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* status, DWORD) override {
        if (status == nullptr) return STG_E_INVALIDPOINTER;
        *status = STATSTG{};
        status->type = STGTY_STREAM;
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file_, &size)) return LastFailure();
        status->cbSize.QuadPart = static_cast<ULONGLONG>(size.QuadPart);
        status->grfMode = STGM_READWRITE | STGM_SHARE_DENY_WRITE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream** copy) override {
        if (copy != nullptr) *copy = nullptr;
        return E_NOTIMPL;
    }

  private:
    ~HandleStream() = default;

    static HRESULT LastFailure() {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }

    HANDLE file_;
    LONG references_ = 1;
};

}  // namespace

HRESULT host::CreateStreamOnFile(FileHandle file, IStream** stream) {
    if (stream == nullptr) return E_POINTER;
    *stream = new (std::nothrow) HandleStream(reinterpret_cast<HANDLE>(file));
    return *stream != nullptr ? S_OK : E_OUTOFMEMORY;
}
