#include <windows.h>
#include <commdlg.h>
#include <cderr.h>

#include <iterator>

#include "app/file_picker.h"
#include "platform/user_api.h"

namespace {

// Room for a selection of a few thousand files.
constexpr DWORD kSelectionBufferLength = 65536;

constexpr wchar_t kDialogTitle[] = L"ORVIK · HEIC/HEIF 파일 선택";

// Pairs of display text and patterns; the literal's own NUL closes the block with a second one.
constexpr wchar_t kFilter[] =
    L"HEIC/HEIF 이미지 (*.heic;*.heif)\0*.heic;*.heif\0모든 파일 (*.*)\0*.*\0";
static_assert(kFilter[std::size(kFilter) - 2] == L'\0' && kFilter[std::size(kFilter) - 1] == L'\0');

constexpr DWORD kDialogFlags =
    OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_ALLOWMULTISELECT;
static_assert(kDialogFlags == 0x00081A00);
static_assert(sizeof(OPENFILENAMEW) == 152, "the record must carry its Windows 2000+ tail");
static_assert(kSelectionTooLongError == FNERR_BUFFERTOOSMALL);

}  // namespace

std::vector<std::wstring> PickInputFiles() {
    std::vector<wchar_t> selection(kSelectionBufferLength, L'\0');

    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(OPENFILENAMEW);
    dialog.hwndOwner = nullptr;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = selection.data();
    dialog.nMaxFile = kSelectionBufferLength;
    dialog.lpstrTitle = kDialogTitle;
    dialog.Flags = kDialogFlags;

    if (!GetOpenFileNameW(&dialog)) {
        const std::wstring failure = DialogFailureText(CommDlgExtendedError());
        if (!failure.empty()) {
            MessageBoxW(nullptr, failure.c_str(), kMessageBoxCaption, MB_OK | MB_ICONERROR);
        }
        return {};
    }
    return ReadSelectionBuffer(selection.data(), selection.size());
}
