// Files: the CRT's _wfopen with its Windows modes, wide text I/O on such streams, and the
// first Win32 file functions.
#pragma once

#include "winport/WinTypes.h"

#include <cstdio>

// Modes as the Windows CRT takes them: "r", "w", "a", "+", "b", "t", and ", ccs=UTF-8" (a new
// file starts with the UTF-8 byte-order mark; a read skips it). Text modes write LF as CR LF
// and read CR LF as LF. Without ccs the text is in the machine's ANSI code page.
FILE* _wfopen(const wchar_t* path, const wchar_t* mode);

namespace winport
{
// Wide text on a stream from _wfopen, in the stream's encoding (the CRT's fputws and fgetws
// on Windows). fgetws reads at most count - 1 characters and keeps the line feed.
int fputws(const wchar_t* text, FILE* stream);
int fputws(const wchar_t* text, size_t length, FILE* stream);
wchar_t* fgetws(wchar_t* buffer, int count, FILE* stream);
} // namespace winport

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

BOOL DeleteFileW(LPCWSTR path);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);
BOOL RemoveDirectoryW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
