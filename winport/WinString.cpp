// Code pages, CRT wide-string helpers and the ANSI code page. Pure logic.
#include "winport/WinString.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <iterator>
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

// Windows' best fit for code page 1252: characters the code page lacks, each with the byte of
// its closest character (a letter without its diacritic, a plain form of a typographic sign).
// Sorted by character.
struct SBestFit
{
    char16_t character;
    unsigned char byte;
};
// clang-format off
constexpr SBestFit k1252BestFit[] = {
    // Latin Extended-A
    {0x0100, 'A'}, {0x0101, 'a'}, {0x0102, 'A'}, {0x0103, 'a'}, {0x0104, 'A'}, {0x0105, 'a'},
    {0x0106, 'C'}, {0x0107, 'c'}, {0x0108, 'C'}, {0x0109, 'c'}, {0x010A, 'C'}, {0x010B, 'c'},
    {0x010C, 'C'}, {0x010D, 'c'}, {0x010E, 'D'}, {0x010F, 'd'}, {0x0110, 0xD0}, {0x0111, 'd'},
    {0x0112, 'E'}, {0x0113, 'e'}, {0x0114, 'E'}, {0x0115, 'e'}, {0x0116, 'E'}, {0x0117, 'e'},
    {0x0118, 'E'}, {0x0119, 'e'}, {0x011A, 'E'}, {0x011B, 'e'}, {0x011C, 'G'}, {0x011D, 'g'},
    {0x011E, 'G'}, {0x011F, 'g'}, {0x0120, 'G'}, {0x0121, 'g'}, {0x0122, 'G'}, {0x0123, 'g'},
    {0x0124, 'H'}, {0x0125, 'h'}, {0x0126, 'H'}, {0x0127, 'h'}, {0x0128, 'I'}, {0x0129, 'i'},
    {0x012A, 'I'}, {0x012B, 'i'}, {0x012C, 'I'}, {0x012D, 'i'}, {0x012E, 'I'}, {0x012F, 'i'},
    {0x0130, 'I'}, {0x0131, 'i'}, {0x0134, 'J'}, {0x0135, 'j'}, {0x0136, 'K'}, {0x0137, 'k'},
    {0x0139, 'L'}, {0x013A, 'l'}, {0x013B, 'L'}, {0x013C, 'l'}, {0x013D, 'L'}, {0x013E, 'l'},
    {0x0141, 'L'}, {0x0142, 'l'}, {0x0143, 'N'}, {0x0144, 'n'}, {0x0145, 'N'}, {0x0146, 'n'},
    {0x0147, 'N'}, {0x0148, 'n'}, {0x014C, 'O'}, {0x014D, 'o'}, {0x014E, 'O'}, {0x014F, 'o'},
    {0x0150, 'O'}, {0x0151, 'o'}, {0x0154, 'R'}, {0x0155, 'r'}, {0x0156, 'R'}, {0x0157, 'r'},
    {0x0158, 'R'}, {0x0159, 'r'}, {0x015A, 'S'}, {0x015B, 's'}, {0x015C, 'S'}, {0x015D, 's'},
    {0x015E, 'S'}, {0x015F, 's'}, {0x0162, 'T'}, {0x0163, 't'}, {0x0164, 'T'}, {0x0165, 't'},
    {0x0166, 'T'}, {0x0167, 't'}, {0x0168, 'U'}, {0x0169, 'u'}, {0x016A, 'U'}, {0x016B, 'u'},
    {0x016C, 'U'}, {0x016D, 'u'}, {0x016E, 'U'}, {0x016F, 'u'}, {0x0170, 'U'}, {0x0171, 'u'},
    {0x0172, 'U'}, {0x0173, 'u'}, {0x0174, 'W'}, {0x0175, 'w'}, {0x0176, 'Y'}, {0x0177, 'y'},
    {0x0179, 'Z'}, {0x017A, 'z'}, {0x017B, 'Z'}, {0x017C, 'z'},
    // Latin Extended-B: letters with a caron or a stroke
    {0x0180, 'b'}, {0x0189, 0xD0}, {0x0191, 0x83}, {0x0197, 'I'}, {0x019A, 'l'}, {0x019F, 'O'},
    {0x01A0, 'O'}, {0x01A1, 'o'}, {0x01AB, 't'}, {0x01AE, 'T'}, {0x01AF, 'U'}, {0x01B0, 'u'},
    {0x01B6, 'z'}, {0x01CD, 'A'}, {0x01CE, 'a'}, {0x01CF, 'I'}, {0x01D0, 'i'}, {0x01D1, 'O'},
    {0x01D2, 'o'}, {0x01D3, 'U'}, {0x01D4, 'u'}, {0x01E4, 'G'}, {0x01E5, 'g'}, {0x01E6, 'G'},
    {0x01E7, 'g'}, {0x01E8, 'K'}, {0x01E9, 'k'}, {0x01EA, 'O'}, {0x01EB, 'o'}, {0x01F0, 'j'},
    // Modifier letters and combining marks
    {0x02B9, '\''}, {0x02BA, '"'}, {0x02BC, '\''}, {0x02C4, '^'}, {0x02C8, '\''}, {0x02C9, 0xAF},
    {0x02CA, 0xB4}, {0x02CB, '`'}, {0x02CD, '_'}, {0x02DA, 0xB0}, {0x0300, '`'}, {0x0301, 0xB4},
    {0x0302, '^'}, {0x0303, '~'}, {0x0304, 0xAF}, {0x0308, 0xA8}, {0x030A, 0xB0}, {0x0327, 0xB8},
    {0x0331, '_'}, {0x0332, '_'},
    // Greek letters of the old OEM sets
    {0x0393, 'G'}, {0x0398, 'T'}, {0x03A3, 'S'}, {0x03A6, 'F'}, {0x03A9, 'O'}, {0x03B1, 'a'},
    {0x03B2, 0xDF}, {0x03B4, 'd'}, {0x03B5, 'e'}, {0x03BC, 0xB5}, {0x03C0, 'p'}, {0x03C3, 's'},
    {0x03C4, 't'}, {0x03C6, 'f'},
    // Spaces, dashes, primes and other typographic signs
    {0x2000, ' '}, {0x2001, ' '}, {0x2002, ' '}, {0x2003, ' '}, {0x2004, ' '}, {0x2005, ' '},
    {0x2006, ' '}, {0x2010, '-'}, {0x2011, '-'}, {0x2017, '='}, {0x2032, '\''}, {0x2035, '`'},
    {0x2044, '/'}, {0x2074, '4'}, {0x2075, '5'}, {0x2076, '6'}, {0x2077, '7'}, {0x2078, '8'},
    {0x207F, 'n'}, {0x2080, '0'}, {0x2081, '1'}, {0x2082, '2'}, {0x2083, '3'}, {0x2084, '4'},
    {0x2085, '5'}, {0x2086, '6'}, {0x2087, '7'}, {0x2088, '8'}, {0x2089, '9'},
    // Letter-like symbols
    {0x2102, 'C'}, {0x2107, 'E'}, {0x210A, 'g'}, {0x210B, 'H'}, {0x210C, 'H'}, {0x210D, 'H'},
    {0x210E, 'h'}, {0x2110, 'I'}, {0x2111, 'I'}, {0x2112, 'L'}, {0x2113, 'l'}, {0x2115, 'N'},
    {0x2118, 'P'}, {0x2119, 'P'}, {0x211A, 'Q'}, {0x211B, 'R'}, {0x211C, 'R'}, {0x211D, 'R'},
    {0x2124, 'Z'}, {0x2128, 'Z'}, {0x212A, 'K'}, {0x212B, 0xC5}, {0x212C, 'B'}, {0x212D, 'C'},
    {0x212E, 'e'}, {0x212F, 'e'}, {0x2130, 'E'}, {0x2131, 'F'}, {0x2133, 'M'}, {0x2134, 'o'},
    // Mathematical operators and brackets
    {0x2212, '-'}, {0x2213, 0xB1}, {0x2215, '/'}, {0x2216, '\\'}, {0x2217, '*'}, {0x2218, 0xB0},
    {0x2219, 0xB7}, {0x221A, 'v'}, {0x221E, '8'}, {0x2223, '|'}, {0x2229, 'n'}, {0x2236, ':'},
    {0x223C, '~'}, {0x2261, '='}, {0x2264, '='}, {0x2265, '='}, {0x226A, 0xAB}, {0x226B, 0xBB},
    {0x22C5, 0xB7}, {0x2329, '<'}, {0x232A, '>'}, {0x3000, ' '}, {0x3008, '<'}, {0x3009, '>'},
    {0x301A, '['}, {0x301B, ']'},
};
// clang-format on

static_assert(std::is_sorted(std::begin(k1252BestFit), std::end(k1252BestFit),
                             [](const SBestFit& a, const SBestFit& b)
                             { return a.character < b.character; }),
              "the best-fit table is searched by halves");

// The best-fit byte of a character 1252 lacks; false when it has none.
bool BestFit1252(wchar_t c, unsigned char& b)
{
    // Full-width ASCII forms are their ASCII characters.
    if (c >= 0xFF01 && c <= 0xFF5E)
    {
        b = static_cast<unsigned char>(c - 0xFF01 + 0x21);
        return true;
    }
    const SBestFit* end = std::end(k1252BestFit);
    const SBestFit* it = std::lower_bound(std::begin(k1252BestFit), end, c,
                                          [](const SBestFit& entry, wchar_t w)
                                          { return static_cast<wchar_t>(entry.character) < w; });
    if (it == end || static_cast<wchar_t>(it->character) != c)
        return false;
    b = it->byte;
    return true;
}

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
        // UTF-8 takes neither a default character nor its flag, and no flag but
        // WC_ERR_INVALID_CHARS.
        if (defaultChar != nullptr || usedDefaultChar != nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if ((flags & ~static_cast<DWORD>(WC_ERR_INVALID_CHARS)) != 0)
        {
            SetLastError(ERROR_INVALID_FLAGS);
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
        // Without WC_NO_BEST_FIT_CHARS a character 1252 lacks becomes its closest one, as on
        // Windows; only one without a best fit takes the default character.
        bool bestFit = page == ECodePage::Windows1252 && !(flags & WC_NO_BEST_FIT_CHARS);
        for (size_t i = 0; i < n; ++i)
        {
            unsigned char b;
            if (EncodeSingleByte(page, source[i], b) || (bestFit && BestFit1252(source[i], b)))
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

bool CopyTextOut(const std::wstring& text, wchar_t* buffer, size_t capacity)
{
    if (buffer == nullptr || capacity <= text.size())
        return false;
    wmemcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

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

UINT GetACP()
{
    // Western European, the ANSI code page of the machines the product runs on.
    return CP_WINDOWS_1252;
}
