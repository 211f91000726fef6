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

// File handles: CreateFileW with the five dispositions, then ReadFile and WriteFile (no
// overlapped I/O); CloseHandle ends them. Sharing modes are not enforced. A folder, a read-only
// file opened for writing, or a loaded module opened for writing is ERROR_ACCESS_DENIED (5) or
// ERROR_SHARING_VIOLATION (32); CREATE_NEW of an existing file is ERROR_FILE_EXISTS (80);
// CREATE_ALWAYS and OPEN_ALWAYS of an existing file succeed with ERROR_ALREADY_EXISTS (183).
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#endif
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
HANDLE CreateFileW(LPCWSTR path, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES attributes, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPVOID overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPVOID overlapped);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES attributes);

// The kind of a drive by its root ("C:\", "\\server\share\", or null for the current
// folder's): a drive of the machine is fixed, a share is remote, anything else has no root.
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
UINT GetDriveTypeW(LPCWSTR rootPath);
BOOL RemoveDirectoryW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);

// ---- Files and folders --------------------------------------------------------------------
//
// A file that a process of the machine has loaded as a module (mapped executable) cannot be
// overwritten or deleted (ERROR_SHARING_VIOLATION); it can be renamed.

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004
#define MOVEFILE_WRITE_THROUGH 0x00000008

struct WIN32_FIND_DATAW
{
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists);
BOOL MoveFileW(LPCWSTR existing, LPCWSTR target);
BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);
// A second name for an existing file (not a folder) on the same drive: ERROR_ALREADY_EXISTS
// (183) when the new name is taken, ERROR_NOT_SAME_DEVICE (17) across drives, ERROR_ACCESS_DENIED
// for a folder. Both names then share the file's content and attributes.
BOOL CreateHardLinkW(LPCWSTR fileName, LPCWSTR existingFileName, LPSECURITY_ATTRIBUTES attributes);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
// Patterns take "*" and "?" as Windows matches them ("*.*" is everything); a folder's listing
// includes "." and "..".
HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data);
BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data);
BOOL FindClose(HANDLE find);

// Initialisation files: sections and keys without regard to case; the file keeps its other
// lines as they are. A file with a UTF-16LE byte-order mark stays UTF-16LE, else it is ANSI.
DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR buffer,
                               DWORD size, LPCWSTR path);
UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT fallback, LPCWSTR path);
// A null key removes the section; a null value removes the key.
BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path);
