// System message texts for the codes our stand-ins return, in Korean as the program's users read
// them on Windows. Like the system's own, every text ends in CR LF. Any other code, and any request
// other than a plain lookup from the system table, fails, so callers take their own fallback.
#include <cstdlib>
#include <cwchar>

#include "platform/posix/system/user_standin.h"

namespace {

struct SystemText {
    DWORD code;
    const wchar_t* text;
};

// Win32 errors, looked up both as themselves and in their HRESULT form 0x8007xxxx.
constexpr SystemText kWin32Texts[] = {
    {ERROR_FILE_NOT_FOUND, L"지정된 파일을 찾을 수 없습니다.\r\n"},
    {ERROR_PATH_NOT_FOUND, L"지정된 경로를 찾을 수 없습니다.\r\n"},
    {ERROR_ACCESS_DENIED, L"액세스가 거부되었습니다.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, L"이 명령을 처리하는 데 필요한 저장 공간이 부족합니다.\r\n"},
    {ERROR_INVALID_DATA, L"데이터가 잘못되었습니다.\r\n"},
    {14, L"이 작업을 완료하는 데 필요한 메모리 공간이 부족합니다.\r\n"},  // ERROR_OUTOFMEMORY
    {ERROR_SHARING_VIOLATION,
     L"다른 프로세스가 파일을 사용 중이기 때문에 프로세스가 액세스할 수 없습니다.\r\n"},
    {ERROR_FILE_EXISTS, L"파일이 있습니다.\r\n"},
    {ERROR_INVALID_PARAMETER, L"매개 변수가 틀립니다.\r\n"},
    {ERROR_DISK_FULL, L"디스크 공간이 부족합니다.\r\n"},
    {ERROR_INVALID_NAME, L"파일 이름, 디렉터리 이름 또는 볼륨 레이블 구문이 잘못되었습니다.\r\n"},
    {ERROR_DIR_NOT_EMPTY, L"디렉터리가 비어 있지 않습니다.\r\n"},
    {ERROR_ALREADY_EXISTS, L"파일이 이미 있으므로 만들 수 없습니다.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, L"파일 이름이나 확장명이 너무 깁니다.\r\n"},
    {ERROR_DIRECTORY, L"디렉터리 이름이 올바르지 않습니다.\r\n"},
};

// COM and imaging codes, looked up as they are.
constexpr SystemText kHresultTexts[] = {
    {0x80004001u, L"구현되지 않았습니다.\r\n"},                  // E_NOTIMPL
    {0x80004002u, L"해당 인터페이스를 지원하지 않습니다.\r\n"},  // E_NOINTERFACE
    {0x80004003u, L"잘못된 포인터입니다.\r\n"},                  // E_POINTER
    {0x80004005u, L"지정되지 않은 오류입니다.\r\n"},             // E_FAIL
    {0x8000FFFFu, L"치명적인 오류입니다.\r\n"},                  // E_UNEXPECTED
    {0x88982F04u, L"코덱의 상태가 올바르지 않습니다.\r\n"},      // WINCODEC_ERR_WRONGSTATE
    {0x88982F05u, L"값이 예상 범위를 벗어났습니다.\r\n"},        // WINCODEC_ERR_VALUEOUTOFRANGE
    {0x88982F0Cu, L"구성 요소가 초기화되지 않았습니다.\r\n"},    // WINCODEC_ERR_NOTINITIALIZED
    {0x88982F46u, L"코덱에 쓴 스캔 줄이 너무 많습니다.\r\n"},  // WINCODEC_ERR_CODECTOOMANYSCANLINES
    {0x88982F48u, L"내부 오류가 발생했습니다.\r\n"},           // WINCODEC_ERR_INTERNALERROR
    {0x88982F51u, L"이미지 크기가 범위를 벗어났습니다.\r\n"},  // WINCODEC_ERR_IMAGESIZEOUTOFRANGE
    {0x88982F60u, L"이미지를 해석할 수 없습니다.\r\n"},        // WINCODEC_ERR_BADIMAGE
    {0x88982F61u, L"이미지 헤더를 인식할 수 없습니다.\r\n"},   // WINCODEC_ERR_BADHEADER
    {0x88982F62u, L"요청한 프레임이 이미지에 없습니다.\r\n"},  // WINCODEC_ERR_FRAMEMISSING
    {0x88982F70u, L"스트림의 데이터를 해석할 수 없습니다.\r\n"},  // WINCODEC_ERR_BADSTREAMDATA
    {0x88982F71u, L"스트림에 쓰지 못했습니다.\r\n"},              // WINCODEC_ERR_STREAMWRITE
    {0x88982F72u, L"스트림을 읽지 못했습니다.\r\n"},              // WINCODEC_ERR_STREAMREAD
    {0x88982F80u, L"지원되지 않는 픽셀 형식입니다.\r\n"},  // WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT
    {0x88982F81u, L"지원되지 않는 작업입니다.\r\n"},       // WINCODEC_ERR_UNSUPPORTEDOPERATION
    {0x88982F8Cu, L"버퍼가 너무 작습니다.\r\n"},           // WINCODEC_ERR_INSUFFICIENTBUFFER
};

const wchar_t* Lookup(DWORD messageId) {
    DWORD win32 = messageId;
    if ((messageId & 0xFFFF0000u) == 0x80070000u) win32 = messageId & 0xFFFFu;
    for (const SystemText& entry : kWin32Texts) {
        if (entry.code == win32) return entry.text;
    }
    for (const SystemText& entry : kHresultTexts) {
        if (entry.code == messageId) return entry.text;
    }
    return nullptr;
}

// The user's and the system's default language, and Korean itself.
bool Speaks(DWORD languageId) {
    return languageId == 0 || languageId == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
           languageId == MAKELANGID(LANG_NEUTRAL, 0x02) || languageId == 0x0412;
}

}  // namespace

DWORD FormatMessageW(DWORD flags, const void* /*source*/, DWORD messageId, DWORD languageId,
                     LPWSTR buffer, DWORD size, va_list* /*arguments*/) {
    constexpr DWORD kUnsupported =
        0x00000400u | 0x00000800u | 0x00002000u;  // string, module, array
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & kUnsupported) != 0) return 0;
    if (buffer == nullptr || !Speaks(languageId)) return 0;
    const wchar_t* text = Lookup(messageId);
    if (text == nullptr) return 0;

    const std::size_t length = std::wcslen(text);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        // As on Windows, size is then the least number of characters to allocate.
        const std::size_t room = length + 1 > size ? length + 1 : size;
        auto* copy = static_cast<wchar_t*>(std::malloc(room * sizeof(wchar_t)));
        if (copy == nullptr) return 0;
        std::wmemcpy(copy, text, length + 1);
        *reinterpret_cast<LPWSTR*>(buffer) = copy;
    } else {
        if (size < length + 1) return 0;
        std::wmemcpy(buffer, text, length + 1);
    }
    return static_cast<DWORD>(length);
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}
