// Helpers shared by the stand-in's objects: file descriptors, error codes and the
// argument checks of CopyPixels.
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/posix/system/errno_mapping.h"
#include "platform/posix/imaging/standin_objects.h"

namespace standin {

const IID IID_IStandinFileStream = {
    0x6a1f0c52, 0x3b7e, 0x4d0a, {0x9e, 0x41, 0x2c, 0x58, 0x7d, 0x13, 0xa6, 0xf0}};
const IID IID_IStandinBgrFrame = {
    0x2d84b6e1, 0x95c3, 0x4f27, {0xb0, 0x6a, 0x71, 0xe9, 0x3c, 0x28, 0x5d, 0x4b}};

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

HRESULT HresultFromErrno(int errorNumber, bool creating) {
    if (creating && errorNumber == ENOENT) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    const std::uint32_t error = WindowsErrorFromErrno(errorNumber);
    return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

HRESULT CheckCopyArguments(const WICRect* rect, UINT width, UINT height, UINT bytesPerPixel,
                           UINT stride, UINT bufferSize, const BYTE* buffer, WICRect& region) {
    region =
        rect != nullptr ? *rect : WICRect{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    if (region.X < 0 || region.Y < 0 || region.Width < 0 || region.Height < 0) return E_INVALIDARG;
    if (std::int64_t{region.X} + region.Width > std::int64_t{width} ||
        std::int64_t{region.Y} + region.Height > std::int64_t{height}) {
        return E_INVALIDARG;
    }
    if (buffer == nullptr) return E_INVALIDARG;
    if (region.Width == 0 || region.Height == 0) return S_OK;
    const std::uint64_t rowBytes = std::uint64_t{static_cast<UINT>(region.Width)} * bytesPerPixel;
    if (stride < rowBytes) return E_INVALIDARG;
    const std::uint64_t needed =
        std::uint64_t{stride} * static_cast<UINT>(region.Height - 1) + rowBytes;
    if (bufferSize < needed) return WINCODEC_ERR_INSUFFICIENTBUFFER;
    return S_OK;
}

}  // namespace standin
