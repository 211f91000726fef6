// Code pages, CRT wide-string helpers and the Windows command-line rules. Pure logic.
#include "winport/WinString.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"

#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <vector>

namespace
{

constexpr wchar_t kReplacement = 0xFFFD;

// Windows-1252 bytes 0x80 to 0x9F; the five undefined ones map to the C1 controls, as Windows
// does.
constexpr char16_t k1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

enum class ECodePage
{
    Utf8,
    Windows1252,
    Latin1,
    Ascii,
    Unknown,
};

ECodePage Resolve(UINT codePage)
{
    if (codePage == CP_ACP || codePage == CP_OEMCP || codePage == 3 /* CP_THREAD_ACP */)
        codePage = GetACP();
    switch (codePage)
    {
    case CP_UTF8:
        return ECodePage::Utf8;
    case CP_WINDOWS_1252:
        return ECodePage::Windows1252;
    case CP_LATIN1:
        return ECodePage::Latin1;
    case CP_US_ASCII:
        return ECodePage::Ascii;
    default:
        return ECodePage::Unknown;
    }
}

// Decodes UTF-8 into code points; invalid sequences become U+FFFD per maximal subpart.
// Returns false on the first invalid sequence when strict.
bool DecodeUtf8(const unsigned char* s, size_t n, std::wstring& out, bool strict)
{
    size_t i = 0;
    while (i < n)
    {
        unsigned c = s[i];
        if (c < 0x80)
        {
            out.push_back(static_cast<wchar_t>(c));
            ++i;
            continue;
        }
        unsigned need;
        unsigned cp;
        unsigned lower = 0x80, upper = 0xBF;
        if (c >= 0xC2 && c <= 0xDF)
        {
            need = 1;
            cp = c & 0x1F;
        }
        else if (c >= 0xE0 && c <= 0xEF)
        {
            need = 2;
            cp = c & 0x0F;
            if (c == 0xE0)
                lower = 0xA0;
            else if (c == 0xED)
                upper = 0x9F; // no surrogates
        }
        else if (c >= 0xF0 && c <= 0xF4)
        {
            need = 3;
            cp = c & 0x07;
            if (c == 0xF0)
                lower = 0x90;
            else if (c == 0xF4)
                upper = 0x8F;
        }
        else
        {
            if (strict)
                return false;
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (unsigned k = 0; k < need; ++k, ++j)
        {
            if (j >= n)
            {
                ok = false;
                break;
            }
            unsigned b = s[j];
            unsigned lo = k == 0 ? lower : 0x80;
            unsigned hi = k == 0 ? upper : 0xBF;
            if (b < lo || b > hi)
            {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (!ok)
        {
            if (strict)
                return false;
            out.push_back(kReplacement);
            i = j; // skip the maximal valid prefix
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i = j;
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80)
        out.push_back(static_cast<char>(cp));
    else if (cp < 0x800)
    {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else if (cp < 0x10000)
    {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else
    {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Encodes code points as UTF-8. A surrogate pair held in two wchar_t is joined; a lone
// surrogate or a value beyond U+10FFFF becomes U+FFFD (or fails when strict).
bool EncodeUtf8(const wchar_t* s, size_t n, std::string& out, bool strict)
{
    // ASCII runs, the common case of log lines and files, go straight into the buffer.
    size_t start = out.size();
    out.resize(start + n);
    char* p = out.data() + start;
    size_t i = 0;
    while (i < n && static_cast<uint32_t>(s[i]) < 0x80)
    {
        p[i] = static_cast<char>(s[i]);
        ++i;
    }
    out.resize(start + i);
    if (i == n)
        return true;
    out.reserve(out.size() + (n - i) * 3);
    for (; i < n; ++i)
    {
        uint32_t c = static_cast<uint32_t>(s[i]);
        if (c < 0x80)
        {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n)
        {
            uint32_t d = static_cast<uint32_t>(s[i + 1]);
            if (d >= 0xDC00 && d <= 0xDFFF)
            {
                AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00));
                ++i;
                continue;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        {
            if (strict)
                return false;
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return true;
}

wchar_t DecodeSingleByte(ECodePage page, unsigned char b, bool& valid)
{
    valid = true;
    if (b < 0x80)
        return b;
    switch (page)
    {
    case ECodePage::Windows1252:
        return b < 0xA0 ? static_cast<wchar_t>(k1252High[b - 0x80]) : b;
    case ECodePage::Latin1:
        return b;
    default:
        valid = false;
        return kReplacement;
    }
}

bool EncodeSingleByte(ECodePage page, wchar_t c, unsigned char& b)
{
    if (c >= 0 && c < 0x80)
    {
        b = static_cast<unsigned char>(c);
        return true;
    }
    if (page == ECodePage::Latin1 && c < 0x100)
    {
        b = static_cast<unsigned char>(c);
        return true;
    }
    if (page == ECodePage::Windows1252)
    {
        if (c >= 0xA0 && c < 0x100)
        {
            b = static_cast<unsigned char>(c);
            return true;
        }
        for (int k = 0; k < 32; ++k)
        {
            if (static_cast<wchar_t>(k1252High[k]) == c)
            {
                b = static_cast<unsigned char>(0x80 + k);
                return true;
            }
        }
    }
    return false;
}

size_t WideLength(LPCWSTR s, int n) { return n < 0 ? wcslen(s) + 1 : static_cast<size_t>(n); }

wchar_t FoldCase(wchar_t c)
{
    // The CRT folds to lower case through the C locale: ASCII letters only.
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c;
}

} // namespace

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR source, int sourceLength,
                        LPWSTR destination, int destinationLength)
{
    if (source == nullptr || sourceLength == 0 || destinationLength < 0 ||
        (destination == nullptr && destinationLength != 0))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ECodePage page = Resolve(codePage);
    if (page == ECodePage::Unknown)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = sourceLength < 0 ? strlen(source) + 1 : static_cast<size_t>(sourceLength);
    const unsigned char* s = reinterpret_cast<const unsigned char*>(source);
    bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
    std::wstring out;
    if (page == ECodePage::Utf8)
    {
        if (!DecodeUtf8(s, n, out, strict))
        {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    }
    else
    {
        out.reserve(n);
        for (size_t i = 0; i < n; ++i)
        {
            bool valid;
            wchar_t c = DecodeSingleByte(page, s[i], valid);
            if (!valid && strict)
            {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            out.push_back(c);
        }
    }
    if (out.size() > static_cast<size_t>(INT_MAX))
    {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return 0;
    }
    if (destinationLength == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(destinationLength))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    wmemcpy(destination, out.data(), out.size());
    return static_cast<int>(out.size());
}

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR source, int sourceLength,
                        LPSTR destination, int destinationLength, LPCSTR defaultChar,
                        LPBOOL usedDefaultChar)
{
    if (source == nullptr || sourceLength == 0 || destinationLength < 0 ||
        (destination == nullptr && destinationLength != 0))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ECodePage page = Resolve(codePage);
    if (page == ECodePage::Unknown)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = WideLength(source, sourceLength);
    std::string out;
    if (page == ECodePage::Utf8)
    {
        // UTF-8 takes neither a default character nor its flag.
        if (defaultChar != nullptr || usedDefaultChar != nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!EncodeUtf8(source, n, out, (flags & WC_ERR_INVALID_CHARS) != 0))
        {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
    }
    else
    {
        char fallback = defaultChar != nullptr ? *defaultChar : '?';
        bool used = false;
        out.reserve(n);
        for (size_t i = 0; i < n; ++i)
        {
            unsigned char b;
            if (EncodeSingleByte(page, source[i], b))
                out.push_back(static_cast<char>(b));
            else
            {
                out.push_back(fallback);
                used = true;
            }
        }
        if (usedDefaultChar != nullptr)
            *usedDefaultChar = used ? TRUE : FALSE;
    }
    if (out.size() > static_cast<size_t>(INT_MAX))
    {
        SetLastError(ERROR_ARITHMETIC_OVERFLOW);
        return 0;
    }
    if (destinationLength == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(destinationLength))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    memcpy(destination, out.data(), out.size());
    return static_cast<int>(out.size());
}

int _wcsicmp(const wchar_t* a, const wchar_t* b)
{
    for (;; ++a, ++b)
    {
        wchar_t ca = FoldCase(*a);
        wchar_t cb = FoldCase(*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == L'\0')
            return 0;
    }
}

int _wcsnicmp(const wchar_t* a, const wchar_t* b, size_t count)
{
    for (size_t i = 0; i < count; ++i)
    {
        wchar_t ca = FoldCase(a[i]);
        wchar_t cb = FoldCase(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (ca == L'\0')
            return 0;
    }
    return 0;
}

long long _wtoi64(const wchar_t* text)
{
    if (text == nullptr)
        return 0;
    while (*text == L' ' || (*text >= L'\t' && *text <= L'\r'))
        ++text;
    bool negative = false;
    if (*text == L'-' || *text == L'+')
        negative = *text++ == L'-';
    // Out of range saturates, as the CRT does.
    const unsigned long long limit = negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull;
    unsigned long long value = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text)
    {
        unsigned digit = static_cast<unsigned>(*text - L'0');
        value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
    }
    return static_cast<long long>(negative ? 0ull - value : value);
}

int _wtoi(const wchar_t* text)
{
    long long value = _wtoi64(text);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc)
{
    if (argc == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::wstring> args;
    if (commandLine == nullptr || *commandLine == L'\0')
    {
        // An empty command line gives the program's own path.
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        args.emplace_back(path, n);
    }
    else
    {
        const wchar_t* p = commandLine;
        // The program name: up to the next quote when quoted, else up to a blank; backslashes
        // are plain characters here.
        std::wstring first;
        if (*p == L'"')
        {
            ++p;
            while (*p != L'\0' && *p != L'"')
                first.push_back(*p++);
            if (*p == L'"')
                ++p;
        }
        else
        {
            while (*p != L'\0' && *p != L' ' && *p != L'\t')
                first.push_back(*p++);
        }
        args.push_back(first);
        while (*p == L' ' || *p == L'\t')
            ++p;
        // The other arguments: 2n backslashes before a quote give n and toggle quoting, 2n+1
        // give n and a literal quote; within a quoted part a doubled quote gives a literal
        // quote and ends the quoted part.
        while (*p != L'\0')
        {
            std::wstring arg;
            bool quoted = false;
            while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t')))
            {
                if (*p == L'\\')
                {
                    size_t count = 0;
                    while (*p == L'\\')
                    {
                        ++count;
                        ++p;
                    }
                    if (*p == L'"')
                    {
                        arg.append(count / 2, L'\\');
                        if (count % 2 == 1)
                        {
                            arg.push_back(L'"');
                            ++p;
                        }
                    }
                    else
                        arg.append(count, L'\\');
                }
                else if (*p == L'"')
                {
                    ++p;
                    if (quoted && *p == L'"')
                    {
                        arg.push_back(L'"');
                        ++p;
                        quoted = false;
                    }
                    else
                        quoted = !quoted;
                }
                else
                    arg.push_back(*p++);
            }
            args.push_back(arg);
            while (*p == L' ' || *p == L'\t')
                ++p;
        }
    }
    // One block: the pointer array, then the texts.
    size_t pointers = (args.size() + 1) * sizeof(LPWSTR);
    size_t chars = 0;
    for (const auto& a : args)
        chars += a.size() + 1;
    HLOCAL block = LocalAlloc(LMEM_FIXED, pointers + chars * sizeof(wchar_t));
    if (block == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPWSTR* result = static_cast<LPWSTR*>(block);
    wchar_t* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + pointers);
    for (size_t i = 0; i < args.size(); ++i)
    {
        result[i] = text;
        wmemcpy(text, args[i].c_str(), args[i].size() + 1);
        text += args[i].size() + 1;
    }
    result[args.size()] = nullptr;
    *argc = static_cast<int>(args.size());
    return result;
}

namespace winport
{

std::u16string ToUtf16(const std::wstring& text)
{
    std::u16string out;
    out.reserve(text.size());
    for (wchar_t c : text)
    {
        uint32_t cp = static_cast<uint32_t>(c);
        if (cp >= 0x10000 && cp <= 0x10FFFF)
        {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        }
        else if (cp > 0x10FFFF)
            out.push_back(static_cast<char16_t>(kReplacement));
        else
            out.push_back(static_cast<char16_t>(cp));
    }
    return out;
}

std::wstring FromUtf16(const char16_t* units, size_t count)
{
    std::wstring out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i)
    {
        uint32_t c = units[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF)
        {
            out.push_back(static_cast<wchar_t>(0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00)));
            ++i;
        }
        else
            out.push_back(static_cast<wchar_t>(c)); // a lone surrogate is kept as it is
    }
    return out;
}

void AppendUtf8(std::string& out, const wchar_t* text, size_t length) { EncodeUtf8(text, length, out, false); }

std::string ToUtf8(const std::wstring& text)
{
    std::string out;
    EncodeUtf8(text.data(), text.size(), out, false);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    std::wstring out;
    out.reserve(text.size());
    DecodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out, false);
    return out;
}

} // namespace winport
