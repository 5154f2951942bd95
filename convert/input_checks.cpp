#include "convert/input_checks.h"

#include <cstdint>

#include "convert/file_system.h"
#include "convert/path_rules.h"

namespace {

bool Reject(ConversionResult& result, std::uint32_t code, const wchar_t* message) {
    result.hresult = static_cast<HRESULT>(code);
    result.message = message;
    return false;
}

bool RejectMissing(ConversionResult& result) {
    return Reject(result, 0x80070002u, L"파일을 찾을 수 없습니다.");  // ERROR_FILE_NOT_FOUND
}

}  // namespace

bool HasHeifExtension(const std::wstring& path) {
    std::wstring extension(ExtensionOf(path));
    // ASCII only and independent of the user's locale: a full-width "ＨＥＩＣ" is not ours.
    for (wchar_t& c : extension) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return extension == L".heic" || extension == L".heif";
}

bool CheckInput(const std::wstring& inputPath, const ConversionOptions& options,
                ConversionResult& result) {
    result.inputPath = AbsolutePath(inputPath);

    if (!PathExists(result.inputPath)) return RejectMissing(result);
    // Asked again rather than reusing the answer above: a folder, or a file that vanished in
    // between, is reported as missing.
    if (!IsRegularFile(result.inputPath)) return RejectMissing(result);

    if (!options.selfTest && !HasHeifExtension(result.inputPath)) {
        return Reject(result, 0x8007000Du,
                      L"HEIC 또는 HEIF 파일이 아닙니다.");  // ERROR_INVALID_DATA
    }
    return true;
}
