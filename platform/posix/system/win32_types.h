#pragma once
// The Windows base types, codes and macros that our code uses, for hosts without <windows.h>.
// Sizes match 64-bit Windows; wide strings are wchar_t, which is 32 bits here (UTF-32), and are
// converted to UTF-8 only where they meet the operating system.
#include <cstdint>
#include <cstring>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using FLOAT = float;
using DOUBLE = double;
using HRESULT = std::int32_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPOLESTR = wchar_t*;
using VARTYPE = std::uint16_t;
using CLIPFORMAT = WORD;
using HWND = void*;
using HLOCAL = void*;

constexpr HRESULT MakeHresult(std::uint32_t value) { return static_cast<HRESULT>(value); }

#define S_OK MakeHresult(0x00000000u)
#define S_FALSE MakeHresult(0x00000001u)
#define E_NOTIMPL MakeHresult(0x80004001u)
#define E_NOINTERFACE MakeHresult(0x80004002u)
#define E_POINTER MakeHresult(0x80004003u)
#define E_FAIL MakeHresult(0x80004005u)
#define E_UNEXPECTED MakeHresult(0x8000FFFFu)
#define E_ACCESSDENIED MakeHresult(0x80070005u)
#define E_OUTOFMEMORY MakeHresult(0x8007000Eu)
#define E_INVALIDARG MakeHresult(0x80070057u)
#define RPC_E_CHANGED_MODE MakeHresult(0x80010106u)
#define REGDB_E_CLASSNOTREG MakeHresult(0x80040154u)
#define CLASS_E_NOAGGREGATION MakeHresult(0x80040110u)
#define CO_E_NOTINITIALIZED MakeHresult(0x800401F0u)
#define DISP_E_BADVARTYPE MakeHresult(0x80020008u)
#define STG_E_ACCESSDENIED MakeHresult(0x80030005u)
#define STG_E_MEDIUMFULL MakeHresult(0x80030070u)

#define WINCODEC_ERR_WRONGSTATE MakeHresult(0x88982F04u)
#define WINCODEC_ERR_VALUEOUTOFRANGE MakeHresult(0x88982F05u)
#define WINCODEC_ERR_UNKNOWNIMAGEFORMAT MakeHresult(0x88982F07u)
#define WINCODEC_ERR_NOTINITIALIZED MakeHresult(0x88982F0Cu)
#define WINCODEC_ERR_PROPERTYNOTFOUND MakeHresult(0x88982F40u)
#define WINCODEC_ERR_PROPERTYNOTSUPPORTED MakeHresult(0x88982F41u)
#define WINCODEC_ERR_CODECTOOMANYSCANLINES MakeHresult(0x88982F46u)
#define WINCODEC_ERR_INTERNALERROR MakeHresult(0x88982F48u)
#define WINCODEC_ERR_SOURCERECTDOESNOTMATCHDIMENSIONS MakeHresult(0x88982F49u)
#define WINCODEC_ERR_COMPONENTNOTFOUND MakeHresult(0x88982F50u)
#define WINCODEC_ERR_IMAGESIZEOUTOFRANGE MakeHresult(0x88982F51u)
#define WINCODEC_ERR_BADIMAGE MakeHresult(0x88982F60u)
#define WINCODEC_ERR_BADHEADER MakeHresult(0x88982F61u)
#define WINCODEC_ERR_FRAMEMISSING MakeHresult(0x88982F62u)
#define WINCODEC_ERR_BADSTREAMDATA MakeHresult(0x88982F70u)
#define WINCODEC_ERR_STREAMWRITE MakeHresult(0x88982F71u)
#define WINCODEC_ERR_STREAMREAD MakeHresult(0x88982F72u)
#define WINCODEC_ERR_UNSUPPORTEDPIXELFORMAT MakeHresult(0x88982F80u)
#define WINCODEC_ERR_UNSUPPORTEDOPERATION MakeHresult(0x88982F81u)
#define WINCODEC_ERR_INSUFFICIENTBUFFER MakeHresult(0x88982F8Cu)
#define WINCODEC_ERR_PROPERTYUNEXPECTEDTYPE MakeHresult(0x88982F8Eu)

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

constexpr HRESULT HRESULT_FROM_WIN32(std::uint32_t error) {
    return static_cast<HRESULT>(error) <= 0 ? static_cast<HRESULT>(error)
                                            : static_cast<HRESULT>((error & 0x0000FFFFu) | 0x80070000u);
}

// Win32 error codes, as the file-system services report them.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_DATA = 13;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_WRITE_FAULT = 29;
constexpr DWORD ERROR_READ_FAULT = 30;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_BAD_NETPATH = 53;
constexpr DWORD ERROR_NETNAME_DELETED = 64;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_DIRECTORY = 267;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool IsEqualGUID(const GUID& a, const GUID& b) { return a == b; }
