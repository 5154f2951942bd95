#pragma once
// Four system calls of the Windows file-system primitives, each called through a pointer that
// holds the system's own function. Only unit tests put a stand-in there, for answers a test
// machine will not give (Wine opens and queries a file that is being deleted, and no test can
// make a move back fail between the two moves of one removal); each stand-in is used at one
// place only.
#include <windows.h>

#include <string>

namespace host::seams {

// The disk check of a newly created file (CreateNewFile).
extern DWORD(WINAPI* fileType)(HANDLE file);

// The attributes of the name itself (QueryOwnKind).
extern DWORD(WINAPI* ownAttributes)(LPCWSTR systemPath);

// The opening of whatever a path leads to, for its identity (SameFile, QueryKind).
extern HANDLE (*openForQuery)(const std::wstring& systemPath);

// The move that puts an old entry back under its name after its deletion failed (RemoveEntry).
extern BOOL(WINAPI* moveBack)(LPCWSTR from, LPCWSTR to, DWORD flags);

}  // namespace host::seams
