// The escape forms of stored items, appended in place so that bulk text needs no temporaries.
#pragma once

#include <string>

namespace framework
{
// Mode 2: backslash, CR and LF become "\\", "\r" and "\n".
void AppendEscaped(std::wstring& out, const wchar_t* text, size_t length);
// The inverse of mode 2, which also takes "\t" and upper-case "\T", "\R", "\N". An unknown
// escape keeps its backslash and logs a warning; a last lone backslash is dropped.
void AppendUnescaped(std::wstring& out, const wchar_t* text, size_t length);
} // namespace framework
