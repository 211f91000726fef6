#include "framework/CStringSupport.h"

#include "framework/CAdvancedLog.h"
#include "framework/EscapeText.h"
#include "winport/Objbase.h"
#include "winport/WinBase.h"
#include "winport/WinString.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cwchar>
#include <memory>

namespace
{

bool IsAsciiAlphaNumeric(char16_t c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
}

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

template <class TIsSeparator>
std::vector<std::wstring> Split(const std::wstring& text, TIsSeparator isSeparator)
{
    std::vector<std::wstring> items;
    size_t pos = 0;
    while (pos < text.size() && isSeparator(text[pos]))
        ++pos;
    if (pos >= text.size())
        return items;
    while (pos < text.size())
    {
        size_t end = pos;
        while (end < text.size() && !isSeparator(text[end]))
            ++end;
        items.emplace_back(text, pos, end - pos);
        pos = end + 1;
    }
    return items;
}

} // namespace

std::wstring CStringSupport::StringFormat(const wchar_t* format, ...)
{
    // The formatter grows its own output, so any length fits in one pass.
    std::wstring out;
    va_list args;
    va_start(args, format);
    try
    {
        winport::FormatAppendV(out, format, args);
    }
    catch (const std::bad_alloc&)
    {
        out.clear();
    }
    va_end(args);
    return out;
}

std::wstring CStringSupport::StringReplace(const std::wstring& text, const std::wstring& search,
                                           const std::wstring& replacement)
{
    if (search.empty())
        return text;
    std::wstring out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;)
    {
        size_t found = text.find(search, pos);
        if (found == std::wstring::npos)
            break;
        out.append(text, pos, found - pos);
        out += replacement;
        pos = found + search.size();
    }
    out.append(text, pos, std::wstring::npos);
    return out;
}

std::wstring CStringSupport::StringTrim(const std::wstring& text, const std::wstring& characters)
{
    size_t first = text.find_first_not_of(characters);
    if (first == std::wstring::npos)
        return std::wstring();
    size_t last = text.find_last_not_of(characters);
    return text.substr(first, last - first + 1);
}

std::wstring CStringSupport::StringEscape(const std::wstring& text, int mode)
{
    switch (mode)
    {
    case 0:
        return text;
    case 1:
    {
        std::wstring out;
        for (char16_t unit : winport::ToUtf16(text))
        {
            if (IsAsciiAlphaNumeric(unit) || unit == u'-')
                out.push_back(static_cast<wchar_t>(unit));
            else
                winport::FormatAppend(out, L"\\x%04x", static_cast<unsigned>(unit));
        }
        return out;
    }
    case 2:
    {
        std::wstring out;
        framework::AppendEscaped(out, text.data(), text.size());
        return out;
    }
    default:
        return std::wstring();
    }
}

std::wstring CStringSupport::StringUnescape(const std::wstring& text, int mode)
{
    switch (mode)
    {
    case 0:
        return text;
    case 1:
    {
        // Undoes mode 1: a backslash, "x" and four hex digits give one UTF-16 code unit.
        std::u16string units;
        units.reserve(text.size());
        size_t i = 0;
        while (i < text.size())
        {
            if (text[i] != L'\\')
            {
                for (char16_t unit : winport::ToUtf16(std::wstring(1, text[i])))
                    units.push_back(unit);
                ++i;
                continue;
            }
            size_t digits = std::min<size_t>(4, text.size() - std::min(text.size(), i + 2));
            int value = digits > 0 ? HexStringToInt(text.substr(i + 2, digits)) : 0;
            if ((value & 0xFFFF) != 0)
                units.push_back(static_cast<char16_t>(value & 0xFFFF));
            i += 2 + digits;
        }
        return winport::FromUtf16(units.data(), units.size());
    }
    case 2:
    {
        std::wstring out;
        framework::AppendUnescaped(out, text.data(), text.size());
        return out;
    }
    default:
        return std::wstring();
    }
}

std::wstring CStringSupport::StringToUpperCase(const std::wstring& text)
{
    std::wstring out = text;
    for (wchar_t& c : out)
    {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - 32);
    }
    return out;
}

std::wstring CStringSupport::StringToLowerCase(const std::wstring& text)
{
    std::wstring out = text;
    for (wchar_t& c : out)
    {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c + 32);
    }
    return out;
}

bool CStringSupport::IsArrayContainItem(const std::wstring& list, const std::wstring& item)
{
    size_t found = list.find(item);
    if (found == std::wstring::npos)
        return false;
    size_t end = found + item.size();
    if (end == list.size())
        return true;
    wchar_t next = list[end];
    return next == L',' || next == L':' || next == L';' || next == L'|';
}

bool CStringSupport::IsStringBeginWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0 && text.size() >= prefix.size();
}

bool CStringSupport::IsStringEndWith(const std::wstring& text, const std::wstring& suffix)
{
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool CStringSupport::IsStringEqual(const std::wstring& a, const std::wstring& b) { return a == b; }
bool CStringSupport::IsStringGreatThan(const std::wstring& a, const std::wstring& b) { return a > b; }
bool CStringSupport::IsStringLessThan(const std::wstring& a, const std::wstring& b) { return a < b; }

bool CStringSupport::IsStringEqualIgnoreCase(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

bool CStringSupport::IsStringGreatThanIgnoreCase(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) > 0;
}

bool CStringSupport::IsStringLessThanIgnoreCase(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
}

std::vector<std::wstring> CStringSupport::StringToVector(const std::wstring& text, wchar_t separator)
{
    return Split(text, [separator](wchar_t c) { return c == separator; });
}

std::vector<std::wstring> CStringSupport::StringToVector(const std::wstring& text,
                                                         const std::wstring& separators)
{
    return Split(text, [&separators](wchar_t c) { return separators.find(c) != std::wstring::npos; });
}

std::wstring CStringSupport::VectorToString(const std::vector<std::wstring>& list, wchar_t separator)
{
    std::wstring out;
    for (size_t i = 0; i < list.size(); ++i)
    {
        if (i > 0 && separator != 0)
            out.push_back(separator);
        out += list[i];
    }
    return out;
}

void CStringSupport::VectorSortAndRemoveDuplicatedString(std::vector<std::wstring>& list)
{
    std::stable_sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
}

void CStringSupport::VectorSortAndRemoveDuplicatedStringIgnoreCase(std::vector<std::wstring>& list)
{
    std::stable_sort(list.begin(), list.end(), IsStringLessThanIgnoreCase);
    list.erase(std::unique(list.begin(), list.end(), IsStringEqualIgnoreCase), list.end());
}

std::wstring CStringSupport::IntToString(int value) { return winport::Format(L"%d", value); }

int CStringSupport::StringToInt(const std::wstring& text) { return _wtoi(text.c_str()); }

std::wstring CStringSupport::LongLongToString(long long value)
{
    return winport::Format(L"%lld", value);
}

long long CStringSupport::StringToLongLong(const std::wstring& text)
{
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && text[0] == L'-')
    {
        negative = true;
        i = 1;
    }
    unsigned long long value = 0;
    for (; i < text.size(); ++i)
    {
        wchar_t c = text[i];
        if (c < L'0' || c > L'9')
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CStringSupport::StringToLongLong");
            break;
        }
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    return static_cast<long long>(negative ? 0ull - value : value);
}

std::wstring CStringSupport::IntToHexString(int value) { return winport::Format(L"%x", value); }

int CStringSupport::HexStringToInt(const std::wstring& text)
{
    unsigned int value = 0;
    for (wchar_t c : text)
    {
        int digit = HexDigit(c);
        if (digit < 0)
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CStringSupport::HexStringToInt");
            break;
        }
        value = (value << 4) | static_cast<unsigned>(digit);
    }
    return static_cast<int>(value);
}

void CStringSupport::BinaryToString(const unsigned char* bytes, unsigned int length, std::wstring& out)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    out.clear();
    out.reserve(static_cast<size_t>(length) * 2);
    for (unsigned int i = 0; i < length; ++i)
    {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
    }
}

unsigned int CStringSupport::StringToBinary(const std::wstring& text, unsigned char* out,
                                            unsigned int capacity)
{
    unsigned int written = 0;
    for (size_t i = 0; i < text.size() && written < capacity; i += 2)
        out[written++] = static_cast<unsigned char>(HexStringToInt(text.substr(i, 2)));
    return written;
}

std::map<std::wstring, std::wstring> CStringSupport::StringToMap(const std::wstring& text,
                                                                 wchar_t keyValueSeparator,
                                                                 wchar_t itemSeparator)
{
    std::map<std::wstring, std::wstring> map;
    for (const std::wstring& item : StringToVector(text, itemSeparator))
    {
        size_t at = item.find(keyValueSeparator);
        if (at == std::wstring::npos)
            continue;
        map[item.substr(0, at)] = item.substr(at + 1);
    }
    return map;
}

std::wstring CStringSupport::MapToString(const std::map<std::wstring, std::wstring>& map,
                                         wchar_t keyValueSeparator, wchar_t itemSeparator)
{
    std::wstring out;
    bool first = true;
    for (const auto& [key, value] : map)
    {
        if (!first)
            out.push_back(itemSeparator);
        first = false;
        out += key;
        out.push_back(keyValueSeparator);
        out += value;
    }
    return out;
}

bool CStringSupport::StringToKeyValue(std::wstring& key, std::wstring& value,
                                      const std::wstring& text, wchar_t separator)
{
    size_t at = text.find(separator);
    if (at == std::wstring::npos)
        return false;
    key = text.substr(0, at);
    value = text.substr(at + 1);
    return true;
}

std::string CStringSupport::CharsetConvertUnicodeToAnyChar(const std::wstring& text, UINT codePage)
{
    if (text.empty())
        return std::string();
    std::string out(text.size() * 4 + 4, '\0');
    int n = WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(text.size()),
                                out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    if (n <= 0)
        return std::string();
    out.resize(static_cast<size_t>(n));
    return out;
}

std::wstring CStringSupport::CharsetConvertAnyCharToUnicode(const std::string& text, UINT codePage)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    n = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    if (n <= 0)
        return std::wstring();
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string CStringSupport::CharsetConvertUnicodeToAnsi(const std::wstring& text)
{
    return CharsetConvertUnicodeToAnyChar(text, CP_ACP);
}

std::wstring CStringSupport::CharsetConvertAnsiToUnicode(const std::string& text)
{
    return CharsetConvertAnyCharToUnicode(text, CP_ACP);
}

std::string CStringSupport::CharsetConvertUnicodeToUtf8(const std::wstring& text)
{
    return CharsetConvertUnicodeToAnyChar(text, CP_UTF8);
}

std::wstring CStringSupport::CharsetConvertUtf8ToUnicode(const std::string& text)
{
    return CharsetConvertAnyCharToUnicode(text, CP_UTF8);
}

std::wstring CStringSupport::PathTrim(const std::wstring& path)
{
    size_t end = path.size();
    while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/'))
        --end;
    return path.substr(0, end);
}

std::wstring CStringSupport::PathGetPath(const std::wstring& path)
{
    std::wstring trimmed = PathTrim(path);
    size_t at = trimmed.rfind(L'\\');
    return at == std::wstring::npos ? std::wstring() : trimmed.substr(0, at);
}

std::wstring CStringSupport::PathGetFileName(const std::wstring& path)
{
    size_t at = path.rfind(L'\\');
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

std::wstring CStringSupport::PathCombinePath(const std::wstring& directory, const std::wstring& name)
{
    if (directory.empty())
        return name;
    return PathTrim(directory) + L"\\" + name;
}

std::wstring CStringSupport::PathGetRunningExeFileRootPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return PathGetPath(path);
}

std::wstring CStringSupport::PathGetTempFile(const std::wstring& prefix)
{
    wchar_t folder[MAX_PATH] = {};
    DWORD n = GetTempPathW(MAX_PATH, folder);
    if (n == 0 || n >= MAX_PATH)
        return L"TMP";
    wchar_t file[MAX_PATH] = {};
    if (GetTempFileNameW(folder, prefix.c_str(), 0, file) == 0)
        return L"TMP";
    return file;
}

std::wstring CStringSupport::GetClassNameThroughTypeInfo(const std::type_info& type)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    std::wstring name = CharsetConvertAnsiToUnicode(status == 0 ? readable.get() : type.name());
    size_t blank = name.rfind(L' ');
    return blank == std::wstring::npos ? name : name.substr(blank + 1);
}

std::wstring CStringSupport::GetClassNameThroughSerializedTask(const std::wstring& serializedTask)
{
    size_t end = serializedTask.find_first_of(L"\r\n");
    return end == std::wstring::npos ? serializedTask : serializedTask.substr(0, end);
}

std::wstring CStringSupport::ConvertIPv6AddressToDNSLiteralName(const std::wstring& address)
{
    std::wstring name = StringReplace(StringReplace(address, L":", L"-"), L"%", L"s");
    return StringTrim(name, L".") + L".ipv6-literal.net";
}

std::wstring CStringSupport::ConvertWin32ErrorCodeToString(DWORD code)
{
    wchar_t* buffer = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 1024, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (n == 0 || buffer == nullptr)
        return std::wstring();
    std::wstring text(buffer, n);
    LocalFree(buffer);
    return StringTrim(text, L"\r\n");
}

std::wstring CStringSupport::GenerateGuidString()
{
    GUID guid;
    if (FAILED(CoCreateGuid(&guid)))
        return std::wstring();
    return StringFormat(L"%08X-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X", guid.Data1, guid.Data2,
                        guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                        guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

// ---- CStringBuffer -------------------------------------------------------------------------

CStringBuffer::CStringBuffer(const wchar_t* text) { SetBuffer(text); }
CStringBuffer::CStringBuffer(const std::wstring& text) { SetBuffer(text); }
CStringBuffer::~CStringBuffer() { delete[] m_pBuffer; }

void CStringBuffer::Assign(const wchar_t* text, size_t length)
{
    if (m_uiCapacity < length + 1)
    {
        // Copy first: the text may lie in the buffer that is replaced.
        auto* grown = new wchar_t[length + 1];
        wmemcpy(grown, text, length);
        delete[] m_pBuffer;
        m_pBuffer = grown;
        m_uiCapacity = static_cast<unsigned int>(length + 1);
    }
    else
        wmemmove(m_pBuffer, text, length); // the text may lie in this buffer already
    m_pBuffer[length] = L'\0';
}

void CStringBuffer::SetBuffer(const wchar_t* text)
{
    if (text == nullptr)
        text = L"";
    Assign(text, wcslen(text));
}

void CStringBuffer::SetBuffer(const std::wstring& text) { Assign(text.c_str(), text.size()); }

void CStringBuffer::KeepContentAndExtendBuffer(unsigned int size)
{
    // A system call may have filled the buffer to its last character without a terminator.
    size_t length = m_pBuffer != nullptr ? wcsnlen(m_pBuffer, m_uiCapacity) : 0;
    if (size < length + 1)
        size = static_cast<unsigned int>(length + 1);
    auto* grown = new wchar_t[size];
    if (m_pBuffer != nullptr)
        wmemcpy(grown, m_pBuffer, length);
    grown[length] = L'\0';
    delete[] m_pBuffer;
    m_pBuffer = grown;
    m_uiCapacity = size;
}

void CStringBuffer::DropContentAndExtendBuffer(unsigned int size)
{
    delete[] m_pBuffer;
    m_pBuffer = new wchar_t[size > 0 ? size : 1];
    m_pBuffer[0] = L'\0';
    m_uiCapacity = size > 0 ? size : 1;
}
