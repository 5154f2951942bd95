#pragma once
// Stand-ins for the user-interface and message-text calls of Windows.
#include <cstdarg>

#include "platform/posix/system/win32_types.h"

constexpr UINT MB_OK = 0x00000000u;
constexpr UINT MB_ICONERROR = 0x00000010u;
constexpr UINT MB_ICONINFORMATION = 0x00000040u;
constexpr int IDOK = 1;

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100u;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200u;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000u;
constexpr WORD LANG_NEUTRAL = 0x00;
constexpr WORD SUBLANG_DEFAULT = 0x01;
constexpr DWORD MAKELANGID(WORD primary, WORD sub) { return static_cast<DWORD>((sub << 10) | primary); }

// With FORMAT_MESSAGE_ALLOCATE_BUFFER, buffer is really a LPWSTR* receiving memory to LocalFree.
DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments);
HLOCAL LocalFree(HLOCAL memory);
