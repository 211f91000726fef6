// Text operations every part of the system is written in, and a writable wide buffer.
#pragma once

#include "winport/WinTypes.h"

#include <map>
#include <string>
#include <typeinfo>
#include <vector>

class CStringSupport
{
public:
    static std::wstring StringFormat(const wchar_t* format, ...);
    static std::wstring StringReplace(const std::wstring& text, const std::wstring& search,
                                      const std::wstring& replacement);
    static std::wstring StringTrim(const std::wstring& text, const std::wstring& characters);
    // Mode 0: unchanged; 1: all but ASCII letters, digits and "-" as "\x%04x" of each UTF-16
    // code unit; 2: backslash, CR and LF as "\\", "\r" and "\n". Other modes: empty.
    static std::wstring StringEscape(const std::wstring& text, int mode);
    static std::wstring StringUnescape(const std::wstring& text, int mode);
    static std::wstring StringToUpperCase(const std::wstring& text);
    static std::wstring StringToLowerCase(const std::wstring& text);
    static bool IsArrayContainItem(const std::wstring& list, const std::wstring& item);
    static bool IsStringBeginWith(const std::wstring& text, const std::wstring& prefix);
    static bool IsStringEndWith(const std::wstring& text, const std::wstring& suffix);
    static bool IsStringEqual(const std::wstring& a, const std::wstring& b);
    static bool IsStringGreatThan(const std::wstring& a, const std::wstring& b);
    static bool IsStringLessThan(const std::wstring& a, const std::wstring& b);
    static bool IsStringEqualIgnoreCase(const std::wstring& a, const std::wstring& b);
    static bool IsStringGreatThanIgnoreCase(const std::wstring& a, const std::wstring& b);
    static bool IsStringLessThanIgnoreCase(const std::wstring& a, const std::wstring& b);
    static std::vector<std::wstring> StringToVector(const std::wstring& text, wchar_t separator);
    static std::vector<std::wstring> StringToVector(const std::wstring& text,
                                                    const std::wstring& separators);
    static std::wstring VectorToString(const std::vector<std::wstring>& list, wchar_t separator);
    static void VectorSortAndRemoveDuplicatedString(std::vector<std::wstring>& list);
    static void VectorSortAndRemoveDuplicatedStringIgnoreCase(std::vector<std::wstring>& list);
    static std::wstring IntToString(int value);
    static int StringToInt(const std::wstring& text);
    static std::wstring LongLongToString(long long value);
    static long long StringToLongLong(const std::wstring& text);
    static std::wstring IntToHexString(int value);
    static int HexStringToInt(const std::wstring& text);
    static void BinaryToString(const unsigned char* bytes, unsigned int length, std::wstring& out);
    static unsigned int StringToBinary(const std::wstring& text, unsigned char* out,
                                       unsigned int capacity);
    static std::map<std::wstring, std::wstring> StringToMap(const std::wstring& text,
                                                            wchar_t keyValueSeparator,
                                                            wchar_t itemSeparator);
    static std::wstring MapToString(const std::map<std::wstring, std::wstring>& map,
                                    wchar_t keyValueSeparator, wchar_t itemSeparator);
    static bool StringToKeyValue(std::wstring& key, std::wstring& value, const std::wstring& text,
                                 wchar_t separator);
    static std::string CharsetConvertUnicodeToAnyChar(const std::wstring& text, UINT codePage);
    static std::wstring CharsetConvertAnyCharToUnicode(const std::string& text, UINT codePage);
    static std::string CharsetConvertUnicodeToAnsi(const std::wstring& text);
    static std::wstring CharsetConvertAnsiToUnicode(const std::string& text);
    static std::string CharsetConvertUnicodeToUtf8(const std::wstring& text);
    static std::wstring CharsetConvertUtf8ToUnicode(const std::string& text);
    static std::wstring PathTrim(const std::wstring& path);
    static std::wstring PathGetPath(const std::wstring& path);
    static std::wstring PathGetFileName(const std::wstring& path);
    static std::wstring PathCombinePath(const std::wstring& directory, const std::wstring& name);
    static std::wstring PathGetRunningExeFileRootPath();
    static std::wstring PathGetTempFile(const std::wstring& prefix);
    static std::wstring GetClassNameThroughTypeInfo(const std::type_info& type);
    static std::wstring GetClassNameThroughSerializedTask(const std::wstring& serializedTask);
    static std::wstring ConvertIPv6AddressToDNSLiteralName(const std::wstring& address);
    static std::wstring ConvertWin32ErrorCodeToString(DWORD code);
    static std::wstring GenerateGuidString();

private:
    CStringSupport() = delete;
    ~CStringSupport() = delete;
};

// A writable, NUL-terminated wide character array, for system calls that modify their input.
class CStringBuffer
{
public:
    CStringBuffer() = default;
    explicit CStringBuffer(const wchar_t* text);
    explicit CStringBuffer(const std::wstring& text);
    ~CStringBuffer();
    CStringBuffer(const CStringBuffer&) = delete;
    CStringBuffer& operator=(const CStringBuffer&) = delete;

    void SetBuffer(const wchar_t* text);
    void SetBuffer(const std::wstring& text);
    wchar_t* GetBuffer() { return m_pBuffer; }
    unsigned int GetCapacity() const { return m_uiCapacity; }
    void KeepContentAndExtendBuffer(unsigned int size);
    void DropContentAndExtendBuffer(unsigned int size);

private:
    void Assign(const wchar_t* text, size_t length);

    wchar_t* m_pBuffer = nullptr;
    unsigned int m_uiCapacity = 0;
};
