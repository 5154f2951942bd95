#include "convert/failure_messages.h"

#include <cstdint>

#include "platform/user_api.h"

namespace {

constexpr wchar_t kHeifMissingText[] =
    L"HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEIF 이미지 확장이 설치되어 있는지 "
    L"확인하세요.";
constexpr wchar_t kHevcMissingText[] =
    L"HEIC 파일을 읽을 수 없습니다. Microsoft Store의 HEVC 비디오 확장이 설치되어 있는지 "
    L"확인하세요.";

struct CodecMissing {
    std::uint32_t code;
    const wchar_t* text;
};

// The imaging component answers with the first three when no decoder can read the file, which
// for our users almost always means the HEIF codec is not installed. With the HEIF codec there
// but not the HEVC one, which every iPhone photo needs, the frame opens and reading its pixels
// fails with Media Foundation's code, for which the system has no text of its own.
constexpr CodecMissing kCodecMissing[] = {
    {0x88982F50u, kHeifMissingText},  // WINCODEC_ERR_COMPONENTNOTFOUND
    {0x88982F07u, kHeifMissingText},  // WINCODEC_ERR_UNKNOWNIMAGEFORMAT
    {0x80040154u, kHeifMissingText},  // REGDB_E_CLASSNOTREG
    {0xC00D5212u, kHevcMissingText},  // MF_E_TOPO_CODEC_NOT_FOUND
};

constexpr wchar_t kCodePrefix[] = L"오류 코드 0x";

// Gives the system's buffer back on every way out, a throwing string copy included.
class SystemBuffer {
  public:
    SystemBuffer() = default;
    SystemBuffer(const SystemBuffer&) = delete;
    SystemBuffer& operator=(const SystemBuffer&) = delete;
    ~SystemBuffer() {
        if (text_ != nullptr) LocalFree(text_);
    }

    LPWSTR get() const { return text_; }
    // FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER takes the address of the pointer where
    // its buffer parameter would be.
    LPWSTR slot() { return reinterpret_cast<LPWSTR>(&text_); }

  private:
    LPWSTR text_ = nullptr;
};

std::wstring CodeText(std::uint32_t code) {
    wchar_t digits[8];
    int count = 0;
    do {
        digits[count++] = L"0123456789ABCDEF"[code & 0xFu];
        code >>= 4;
    } while (code != 0);

    std::wstring text = kCodePrefix;
    while (count > 0) text.push_back(digits[--count]);
    return text;
}

}  // namespace

std::wstring FormatFailureMessage(HRESULT hresult) {
    const auto code = static_cast<std::uint32_t>(hresult);
    for (const CodecMissing& missing : kCodecMissing) {
        if (code == missing.code) return missing.text;
    }

    SystemBuffer buffer;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer.slot(), 0, nullptr);
    if (length == 0 || buffer.get() == nullptr) return CodeText(code);

    std::wstring text(buffer.get(), length);
    // System texts end in a line break; the full stop and anything inside stay.
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return text;
}
