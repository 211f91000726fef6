// The one wide formatter: printf-style formats with their Windows meaning. Pure logic, shared
// by every platform.
#include "winport/WinString.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace
{

// Writes into a fixed buffer, keeping at most capacity - 1 characters, and counts the rest.
class CFixedSink
{
public:
    CFixedSink(wchar_t* buffer, size_t capacity) : m_pBuffer(buffer), m_Capacity(capacity) {}
    void Put(wchar_t c)
    {
        if (m_Length + 1 < m_Capacity)
            m_pBuffer[m_Length] = c;
        ++m_Length;
    }
    void Put(const wchar_t* text, size_t count)
    {
        if (m_Length + 1 < m_Capacity)
        {
            size_t room = m_Capacity - 1 - m_Length;
            wmemcpy(m_pBuffer + m_Length, text, count < room ? count : room);
        }
        m_Length += count;
    }
    void Fill(wchar_t c, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            Put(c);
    }
    void Finish()
    {
        if (m_Capacity > 0)
            m_pBuffer[m_Length < m_Capacity ? m_Length : m_Capacity - 1] = L'\0';
    }
    size_t Length() const { return m_Length; }

private:
    wchar_t* m_pBuffer;
    size_t m_Capacity;
    size_t m_Length = 0;
};

class CStringSink
{
public:
    explicit CStringSink(std::wstring& out) : m_Out(out), m_Start(out.size()) {}
    void Put(wchar_t c) { m_Out.push_back(c); }
    void Put(const wchar_t* text, size_t count) { m_Out.append(text, count); }
    void Fill(wchar_t c, size_t count) { m_Out.append(count, c); }
    void Finish() {}
    size_t Length() const { return m_Out.size() - m_Start; }

private:
    std::wstring& m_Out;
    size_t m_Start;
};

struct SSpec
{
    bool leftAlign = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zeroPad = false;
    int width = 0;
    int precision = -1; // -1: not given
    enum class ESize
    {
        Default,
        Char,    // hh
        Short,   // h
        Long,    // l (32 bits, as on Windows)
        Int64,   // ll, I64, L
        Pointer, // I, z, t, j
    } size = ESize::Default;
    bool narrowText = false; // h or S/C with a text conversion
    bool wideText = false;   // l or w with a text conversion
};

template <class TSink> void PadAndPut(TSink& sink, const SSpec& spec, const wchar_t* text, size_t n)
{
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    if (!spec.leftAlign && width > n)
        sink.Fill(L' ', width - n);
    sink.Put(text, n);
    if (spec.leftAlign && width > n)
        sink.Fill(L' ', width - n);
}

template <class TSink>
void PutInteger(TSink& sink, const SSpec& spec, unsigned long long magnitude, bool negative,
                unsigned base, bool upper, bool isSigned)
{
    wchar_t digits[72];
    size_t n = 0;
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    // A precision of 0 with the value 0 prints no digits.
    if (!(magnitude == 0 && spec.precision == 0))
    {
        do
        {
            digits[n++] = set[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }
    wchar_t prefix[3];
    size_t prefixLength = 0;
    if (isSigned)
    {
        if (negative)
            prefix[prefixLength++] = L'-';
        else if (spec.plus)
            prefix[prefixLength++] = L'+';
        else if (spec.space)
            prefix[prefixLength++] = L' ';
    }
    if (spec.alternate && n > 0 && !(n == 1 && digits[0] == L'0'))
    {
        if (base == 16)
        {
            prefix[prefixLength++] = L'0';
            prefix[prefixLength++] = upper ? L'X' : L'x';
        }
        else if (base == 8)
        {
            digits[n++] = L'0';
        }
    }
    size_t precisionZeros =
        spec.precision > 0 && static_cast<size_t>(spec.precision) > n ? spec.precision - n : 0;
    size_t total = prefixLength + precisionZeros + n;
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    size_t padding = width > total ? width - total : 0;
    bool zeroFill = spec.zeroPad && !spec.leftAlign && spec.precision < 0;
    if (!spec.leftAlign && !zeroFill)
        sink.Fill(L' ', padding);
    sink.Put(prefix, prefixLength);
    if (zeroFill)
        sink.Fill(L'0', padding);
    sink.Fill(L'0', precisionZeros);
    while (n > 0)
        sink.Put(digits[--n]);
    if (spec.leftAlign)
        sink.Fill(L' ', padding);
}

template <class TSink> void PutFloat(TSink& sink, const SSpec& spec, wchar_t conversion, double v)
{
    char format[32];
    size_t i = 0;
    format[i++] = '%';
    if (spec.leftAlign)
        format[i++] = '-';
    if (spec.plus)
        format[i++] = '+';
    if (spec.space)
        format[i++] = ' ';
    if (spec.alternate)
        format[i++] = '#';
    if (spec.zeroPad)
        format[i++] = '0';
    format[i++] = '*';
    format[i++] = '.';
    format[i++] = '*';
    format[i++] = static_cast<char>(conversion);
    format[i] = '\0';
    int precision = spec.precision < 0 ? 6 : spec.precision;
    char small[128];
    int needed = snprintf(small, sizeof small, format, spec.width, precision, v);
    if (needed < 0)
        return;
    std::string big;
    const char* text = small;
    if (static_cast<size_t>(needed) >= sizeof small)
    {
        big.resize(static_cast<size_t>(needed) + 1);
        snprintf(big.data(), big.size(), format, spec.width, precision, v);
        text = big.c_str();
    }
    for (int k = 0; k < needed; ++k)
        sink.Put(static_cast<wchar_t>(static_cast<unsigned char>(text[k])));
}

template <class TSink> void FormatCore(TSink& sink, const wchar_t* format, va_list args)
{
    if (format == nullptr)
        return;
    const wchar_t* p = format;
    while (*p != L'\0')
    {
        if (*p != L'%')
        {
            const wchar_t* run = p;
            while (*p != L'\0' && *p != L'%')
                ++p;
            sink.Put(run, static_cast<size_t>(p - run));
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%')
        {
            sink.Put(L'%');
            ++p;
            continue;
        }
        SSpec spec;
        for (;; ++p)
        {
            if (*p == L'-')
                spec.leftAlign = true;
            else if (*p == L'+')
                spec.plus = true;
            else if (*p == L' ')
                spec.space = true;
            else if (*p == L'#')
                spec.alternate = true;
            else if (*p == L'0')
                spec.zeroPad = true;
            else
                break;
        }
        if (*p == L'*')
        {
            spec.width = va_arg(args, int);
            if (spec.width < 0)
            {
                spec.leftAlign = true;
                spec.width = spec.width == -2147483647 - 1 ? 0 : -spec.width;
            }
            ++p;
        }
        else
        {
            while (*p >= L'0' && *p <= L'9')
            {
                if (spec.width < 100000000)
                    spec.width = spec.width * 10 + (*p - L'0');
                ++p;
            }
        }
        if (*p == L'.')
        {
            ++p;
            spec.precision = 0;
            if (*p == L'*')
            {
                spec.precision = va_arg(args, int);
                if (spec.precision < 0)
                    spec.precision = -1;
                ++p;
            }
            else
            {
                while (*p >= L'0' && *p <= L'9')
                {
                    if (spec.precision < 100000000)
                        spec.precision = spec.precision * 10 + (*p - L'0');
                    ++p;
                }
            }
        }
        // Size prefixes, Windows meaning.
        if (*p == L'h')
        {
            ++p;
            if (*p == L'h')
            {
                spec.size = SSpec::ESize::Char;
                ++p;
            }
            else
                spec.size = SSpec::ESize::Short;
            spec.narrowText = true;
        }
        else if (*p == L'l')
        {
            ++p;
            if (*p == L'l')
            {
                spec.size = SSpec::ESize::Int64;
                ++p;
            }
            else
                spec.size = SSpec::ESize::Long;
            spec.wideText = true;
        }
        else if (*p == L'w')
        {
            ++p;
            spec.wideText = true;
        }
        else if (*p == L'L' || *p == L'q')
        {
            ++p;
            spec.size = SSpec::ESize::Int64;
        }
        else if (*p == L'I')
        {
            if (p[1] == L'6' && p[2] == L'4')
            {
                spec.size = SSpec::ESize::Int64;
                p += 3;
            }
            else if (p[1] == L'3' && p[2] == L'2')
            {
                spec.size = SSpec::ESize::Long;
                p += 3;
            }
            else
            {
                spec.size = SSpec::ESize::Pointer;
                ++p;
            }
        }
        else if (*p == L'z' || *p == L't' || *p == L'j')
        {
            ++p;
            spec.size = SSpec::ESize::Pointer;
        }

        wchar_t conversion = *p;
        if (conversion == L'\0')
        {
            // A format cut inside a conversion: print what was there.
            sink.Put(start, static_cast<size_t>(p - start));
            break;
        }
        ++p;
        switch (conversion)
        {
        case L'd':
        case L'i':
        {
            long long v;
            switch (spec.size)
            {
            case SSpec::ESize::Int64:
                v = va_arg(args, long long);
                break;
            case SSpec::ESize::Pointer:
                v = static_cast<long long>(va_arg(args, intptr_t));
                break;
            case SSpec::ESize::Char:
                v = static_cast<signed char>(va_arg(args, int));
                break;
            case SSpec::ESize::Short:
                v = static_cast<short>(va_arg(args, int));
                break;
            default:
                v = va_arg(args, int);
                break;
            }
            unsigned long long magnitude =
                v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
            PutInteger(sink, spec, magnitude, v < 0, 10, false, true);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o':
        {
            unsigned long long v;
            switch (spec.size)
            {
            case SSpec::ESize::Int64:
                v = va_arg(args, unsigned long long);
                break;
            case SSpec::ESize::Pointer:
                v = va_arg(args, uintptr_t);
                break;
            case SSpec::ESize::Char:
                v = static_cast<unsigned char>(va_arg(args, unsigned int));
                break;
            case SSpec::ESize::Short:
                v = static_cast<unsigned short>(va_arg(args, unsigned int));
                break;
            default:
                v = va_arg(args, unsigned int);
                break;
            }
            unsigned base = conversion == L'u' ? 10 : conversion == L'o' ? 8 : 16;
            PutInteger(sink, spec, v, false, base, conversion == L'X', false);
            break;
        }
        case L'p':
        {
            // Windows prints a pointer as zero-padded upper-case hex of the pointer's width.
            SSpec pointerSpec;
            pointerSpec.width = spec.width;
            pointerSpec.leftAlign = spec.leftAlign;
            pointerSpec.precision = static_cast<int>(sizeof(void*) * 2);
            PutInteger(sink, pointerSpec, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false,
                       16, true, false);
            break;
        }
        case L'c':
        case L'C':
        {
            bool narrow = conversion == L'C' ? !spec.wideText : spec.narrowText;
            wchar_t c;
            if (narrow)
                c = static_cast<wchar_t>(static_cast<unsigned char>(va_arg(args, int)));
            else
                c = static_cast<wchar_t>(va_arg(args, int));
            PadAndPut(sink, spec, &c, 1);
            break;
        }
        case L's':
        case L'S':
        {
            bool narrow = conversion == L'S' ? !spec.wideText : spec.narrowText;
            if (narrow)
            {
                const char* text = va_arg(args, const char*);
                if (text == nullptr)
                    text = "(null)";
                size_t n = spec.precision >= 0 ? strnlen(text, static_cast<size_t>(spec.precision))
                                               : strlen(text);
                std::wstring wide = winport::FromUtf8(std::string(text, n));
                PadAndPut(sink, spec, wide.data(), wide.size());
            }
            else
            {
                const wchar_t* text = va_arg(args, const wchar_t*);
                if (text == nullptr)
                    text = L"(null)";
                size_t n = spec.precision >= 0 ? wcsnlen(text, static_cast<size_t>(spec.precision))
                                               : wcslen(text);
                PadAndPut(sink, spec, text, n);
            }
            break;
        }
        case L'f':
        case L'F':
        case L'e':
        case L'E':
        case L'g':
        case L'G':
        case L'a':
        case L'A':
            PutFloat(sink, spec, conversion, va_arg(args, double));
            break;
        case L'n':
            // Writing through a format is refused, as the Windows CRT does by default.
            (void)va_arg(args, void*);
            break;
        default:
            // Unknown conversion: copied as written.
            sink.Put(start, static_cast<size_t>(p - start));
            break;
        }
    }
    sink.Finish();
}

} // namespace

namespace winport
{

size_t FormatAppendV(std::wstring& out, const wchar_t* format, va_list args)
{
    CStringSink sink(out);
    va_list copy;
    va_copy(copy, args);
    FormatCore(sink, format, copy);
    va_end(copy);
    return sink.Length();
}

size_t FormatAppend(std::wstring& out, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = FormatAppendV(out, format, args);
    va_end(args);
    return n;
}

std::wstring Format(const wchar_t* format, ...)
{
    std::wstring out;
    va_list args;
    va_start(args, format);
    FormatAppendV(out, format, args);
    va_end(args);
    return out;
}

size_t FormatToBufferV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args)
{
    CFixedSink sink(buffer, capacity);
    va_list copy;
    va_copy(copy, args);
    FormatCore(sink, format, copy);
    va_end(copy);
    return sink.Length();
}

} // namespace winport

int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args)
{
    // Format with room for a terminator that Windows would not write when the text fills count.
    std::wstring out;
    winport::FormatAppendV(out, format, args);
    if (out.size() > count)
    {
        wmemcpy(buffer, out.data(), count);
        return -1;
    }
    wmemcpy(buffer, out.data(), out.size());
    if (out.size() < count)
        buffer[out.size()] = L'\0';
    return static_cast<int>(out.size());
}

int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return result;
}
