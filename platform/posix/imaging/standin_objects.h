#pragma once
// What the stand-in's objects share among themselves and never show the conversion: how they are
// created, the private interface an encoder writes a stream through, and small helpers for files
// and pixel copies.
#include <cstddef>
#include <string>
#include <utility>

#include "platform/posix/imaging/wic_standin.h"

namespace standin {

// Decoders refuse images with more pixels than this before decoding them, so that a crafted
// header ends in WINCODEC_ERR_IMAGESIZEOUTOFRANGE rather than in an allocation the host cannot
// give (about 800 MB of BGR pixels; larger than any camera's photograph).
constexpr std::size_t kMaxImagePixels = std::size_t{1} << 28;

// Our IWICStream as an encoder sees it. Encoders only write through streams of our own; they find
// this interface by QueryInterface with IID_IStandinFileStream.
struct IStandinFileStream : IWICStream {
    // Writes every byte or fails with the HRESULT of the operating system's error.
    virtual HRESULT WriteBytes(const BYTE* data, std::size_t size) = 0;
    // Closes the file, so that errors the system reports only then (full disk, lost network share)
    // still reach the encoder's Commit.
    virtual HRESULT Close() = 0;
};
extern const IID IID_IStandinFileStream;

// A decoded frame that writes its pixels as 24-bit BGR itself, so that the converter neither
// copies them as RGB first nor swaps every pixel afterwards. The converter finds it by
// QueryInterface with IID_IStandinBgrFrame; other sources are copied and swapped.
struct IStandinBgrFrame : IWICBitmapFrameDecode {
    // CopyPixels, with the same checks, but in the order blue, green, red.
    virtual HRESULT CopyBgrPixels(const WICRect* rect, UINT stride, UINT bufferSize,
                                  BYTE* buffer) = 0;
};
extern const IID IID_IStandinBgrFrame;

// An owned POSIX file descriptor.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Gives up the descriptor without closing it.
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

// The HRESULT form of the Windows error that stands for an errno value. `creating` tells that the
// failed call was creating a file, where a missing entry can only be a missing folder.
HRESULT HresultFromErrno(int errorNumber, bool creating = false);

// Checks the arguments of IWICBitmapSource::CopyPixels for an image of width x height pixels of
// bytesPerPixel bytes, as WIC does, and resolves a null rectangle to the whole image.
HRESULT CheckCopyArguments(const WICRect* rect, UINT width, UINT height, UINT bytesPerPixel,
                           UINT stride, UINT bufferSize, const BYTE* buffer, WICRect& region);

// Creators; each returns the new object with one reference, or nullptr when memory ran out.
IWICImagingFactory* NewImagingFactory();
IWICFormatConverter* NewFormatConverter();
IStandinFileStream* NewFileStream();
IWICBitmapEncoder* NewJpegEncoder();

// Decoders take over an open, readable file whose first bytes identified the format.
HRESULT CreateHeifDecoder(UniqueFd file, IWICBitmapDecoder** decoder);
HRESULT CreateJpegDecoder(UniqueFd file, IWICBitmapDecoder** decoder);

}  // namespace standin
