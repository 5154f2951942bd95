#pragma once
// Four system calls of the Windows file-system primitives, each called through a pointer that
// holds the system's own function. Only unit tests put a stand-in there, for answers no test
// machine gives: a file on disk that is no disk file, a file being deleted that refuses queries
// and opens (Wine answers both), a move back that fails between the two moves of one removal.
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
