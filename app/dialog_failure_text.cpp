#include "app/file_picker.h"

std::wstring DialogFailureText(std::uint32_t extendedError) {
    // A few thousand photos overflow even our large buffer; ending like a cancel would report
    // nothing and exit with 0, so this one failure is told.
    if (extendedError == kSelectionTooLongError) {
        return L"선택한 파일이 너무 많습니다. 한 번에 더 적은 파일을 선택하세요.";
    }
    return {};
}
