// Text services of the Win32 subset: code pages, C library wide-string helpers of the Windows
// CRT, the Windows command-line rules and the one wide formatter.
#pragma once

#include "winport/WinTypes.h"

#include <cstdarg>
#include <string>

// Code pages. CP_ACP is the machine's ANSI code page (1252 unless the machine says otherwise).
// On Linux wchar_t holds whole code points; UTF-16 code units appear only through ToUtf16.
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_US_ASCII 20127
#define CP_LATIN1 28591
#define CP_WINDOWS_1252 1252
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_NO_BEST_FIT_CHARS 0x00000400
UINT GetACP();
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar);

// Windows CRT helpers that glibc lacks.
int _wcsicmp(const wchar_t* a, const wchar_t* b);
int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count);
int _wtoi(const wchar_t* text);
long long _wtoi64(const wchar_t* text);

// The Windows rules for splitting a command line; the result is one LocalAlloc block that
// the caller frees with LocalFree.
LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc);

// Windows meaning of the wide formats: %s and %c take wide arguments (%hs, %S, %hc, %C take
// narrow ones), "l" is 32 bits, "ll" and "I64" are 64 bits, "I" and "z" are pointer-sized.
// Returns the number of characters written, or -1 when the output did not fit in count
// characters (count characters are written then, without a terminator).
int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);
int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);

namespace winport
{
// Appends the formatted text to out; returns the number of characters appended.
size_t FormatAppendV(std::wstring& out, const wchar_t* format, va_list args);
size_t FormatAppend(std::wstring& out, const wchar_t* format, ...);
std::wstring Format(const wchar_t* format, ...);

// Formats into buffer[0..capacity-1], always terminated when capacity > 0; returns the full
// length the output needed (which may exceed capacity - 1).
size_t FormatToBufferV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// Explicit conversions where behaviour depends on UTF-16 code units.
std::u16string ToUtf16(const std::wstring& text);
std::wstring FromUtf16(const char16_t* units, size_t count);
std::string ToUtf8(const std::wstring& text);
// Copies text and its terminator into a caller's buffer of capacity characters when both fit;
// false (nothing copied) when they do not. The one copy-out step of every Win32 size protocol.
bool CopyTextOut(const std::wstring& text, wchar_t* buffer, size_t capacity);
void AppendUtf8(std::string& out, const wchar_t* text, size_t length);
std::wstring FromUtf8(const std::string& text);
} // namespace winport
