// File name patterns as the Windows file system matches them. Pure logic, no system calls.
#pragma once

#include <string>

namespace winport
{

// The characters in which the Win32 layer hands DOS wildcards to the file system.
constexpr wchar_t kDosStar = L'<'; // any run up to the name's final dot
constexpr wchar_t kDosQm = L'>';   // one character, or nothing before a dot or the end
constexpr wchar_t kDosDot = L'"';  // a dot, or nothing at the end of the name

// The expression FindFirstFileW matches for a pattern: "*.*" is "*"; every "?" is DOS_QM; a
// "*" before a dot is DOS_STAR; a dot before "?" or "*", or at the end, is DOS_DOT.
std::wstring DosExpression(const std::wstring& pattern);

// Whether name is in the language of expression ("*", "?", DOS_STAR, DOS_QM, DOS_DOT and
// literal characters), compared without regard to case when ignoreCase is set. An empty
// expression matches only an empty name.
bool IsNameInExpression(const std::wstring& expression, const std::wstring& name,
                        bool ignoreCase = true);

} // namespace winport
