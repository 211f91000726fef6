#include "framework/CCommandLineParamParser.h"

#include "framework/CStringSupport.h"
#include "winport/WinBase.h"
#include "winport/WinString.h"

#include <algorithm>
#include <climits>
#include <cwctype>

namespace
{

struct SEntry
{
    std::wstring name;
    bool required = false;
    int minimum = 0;
    int maximum = INT_MAX;
};

bool ParseNumber(const std::wstring& text, size_t& pos, int& value)
{
    size_t start = pos;
    long long v = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9')
    {
        v = v * 10 + (text[pos] - L'0');
        if (v > INT_MAX)
            return false;
        ++pos;
    }
    value = static_cast<int>(v);
    return pos > start;
}

// The whole entry must have the form; trailing characters make it malformed.
bool ParseEntry(const std::wstring& text, SEntry& entry)
{
    size_t pos = 0;
    while (pos < text.size() && (iswalnum(text[pos]) || text[pos] == L'_' || text[pos] == L'?'))
    {
        if (text[pos] > 127)
            return false;
        ++pos;
    }
    if (pos == 0)
        return false;
    entry.name = text.substr(0, pos);
    if (pos < text.size() && text[pos] == L'*')
    {
        entry.required = true;
        ++pos;
    }
    if (pos == text.size())
        return true;
    if (text[pos] != L':')
        return false;
    ++pos;
    if (!ParseNumber(text, pos, entry.minimum))
        return false;
    if (pos < text.size() && text[pos] == L'-')
    {
        ++pos;
        if (!ParseNumber(text, pos, entry.maximum))
            return false;
    }
    return pos == text.size() && entry.minimum <= entry.maximum;
}

} // namespace

int CCommandLineParamParser::SetCommandLine(const wchar_t* commandLine)
{
    Clear();
    m_strCommandLine = commandLine != nullptr ? commandLine : L"";
    return DoParse();
}

void CCommandLineParamParser::Clear()
{
    m_strCommandLine.clear();
    m_AllParams.clear();
    m_SwitchPositions.clear();
}

int CCommandLineParamParser::DoParse()
{
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(m_strCommandLine.c_str(), &count);
    if (arguments == nullptr)
        return 0;
    for (int i = 0; i < count; ++i)
    {
        std::wstring argument = arguments[i];
        if (!argument.empty() && (argument[0] == L'-' || argument[0] == L'/'))
        {
            m_SwitchPositions.push_back(static_cast<int>(m_AllParams.size()));
            m_AllParams.push_back(argument.substr(1));
        }
        else
            m_AllParams.push_back(argument);
    }
    LocalFree(arguments);
    return 1;
}

bool CCommandLineParamParser::StringCompare(const std::wstring& a, const std::wstring& b)
{
    return m_iCaseSensitive ? a == b : _wcsicmp(a.c_str(), b.c_str()) == 0;
}

int CCommandLineParamParser::GetSwitchIndexInAllParamVector(const wchar_t* name)
{
    if (name == nullptr)
        return -1;
    for (int position : m_SwitchPositions)
    {
        if (StringCompare(m_AllParams[static_cast<size_t>(position)], name))
            return position;
    }
    return -1;
}

int CCommandLineParamParser::IsSwitchFound(const wchar_t* name)
{
    return GetSwitchIndexInAllParamVector(name) >= 0 ? 1 : 0;
}

int CCommandLineParamParser::GetSwitchValueCount(const wchar_t* name)
{
    int index = GetSwitchIndexInAllParamVector(name);
    if (index < 0)
        return 0;
    auto next = std::upper_bound(m_SwitchPositions.begin(), m_SwitchPositions.end(), index);
    int end = next == m_SwitchPositions.end() ? static_cast<int>(m_AllParams.size()) : *next;
    return end - index - 1;
}

int CCommandLineParamParser::GetSwitchValue(const wchar_t* name, int index, std::wstring& value)
{
    value.clear();
    int position = GetSwitchIndexInAllParamVector(name);
    if (position < 0 || index < 0 || index >= GetSwitchValueCount(name))
        return 0;
    value = m_AllParams[static_cast<size_t>(position + 1 + index)];
    return 1;
}

int CCommandLineParamParser::Validate(const wchar_t* description, VALIDATE_FAILURE_REASON& reason,
                                      std::wstring& context)
{
    reason = VALIDATE_BAD_DESCRIPTION;
    context.clear();
    if (description == nullptr)
        return 0;
    std::vector<int> remaining = m_SwitchPositions;
    for (const std::wstring& text : CStringSupport::StringToVector(description, L';'))
    {
        if (text.empty())
            continue;
        SEntry entry;
        if (!ParseEntry(text, entry))
            return 0;
        int position = GetSwitchIndexInAllParamVector(entry.name.c_str());
        if (position < 0)
        {
            if (entry.required)
            {
                reason = VALIDATE_REQUIRED_SWITCH_MISSING;
                context = entry.name;
                return 0;
            }
            continue;
        }
        // The first occurrence still unclaimed: a name listed twice claims a second one, or
        // nothing when there is none left.
        auto claimed = std::find_if(remaining.begin(), remaining.end(), [&](int at) {
            return StringCompare(m_AllParams[static_cast<size_t>(at)], entry.name);
        });
        if (claimed != remaining.end())
            remaining.erase(claimed);
        int count = GetSwitchValueCount(entry.name.c_str());
        if (count < entry.minimum || count > entry.maximum)
        {
            reason = VALIDATE_WRONG_VALUE_COUNT;
            context = entry.name;
            return 0;
        }
    }
    if (!remaining.empty())
    {
        reason = VALIDATE_UNLISTED_SWITCH;
        for (size_t i = 0; i < remaining.size(); ++i)
        {
            if (i > 0)
                context += L" ";
            context += L"'" + m_AllParams[static_cast<size_t>(remaining[i])] + L"'";
        }
        return 0;
    }
    reason = VALIDATE_SUCCESS;
    return 1;
}
