// Splits a command line into switches and their values and checks it against a compact
// description of the allowed switches.
#pragma once

#include <string>
#include <vector>

enum VALIDATE_FAILURE_REASON
{
    VALIDATE_SUCCESS = 0,
    VALIDATE_BAD_DESCRIPTION = 1,
    VALIDATE_REQUIRED_SWITCH_MISSING = 2,
    VALIDATE_WRONG_VALUE_COUNT = 3,
    VALIDATE_UNLISTED_SWITCH = 4,
};

class CCommandLineParamParser
{
public:
    int SetCommandLine(const wchar_t* commandLine);
    void Clear();
    int IsSwitchFound(const wchar_t* name);
    int GetSwitchValueCount(const wchar_t* name);
    int GetSwitchValue(const wchar_t* name, int index, std::wstring& value);
    // Entries "name[*][:min[-max]]" separated by ";"; "*" marks a required switch.
    int Validate(const wchar_t* description, VALIDATE_FAILURE_REASON& reason, std::wstring& context);

    const std::vector<std::wstring>& GetAllParams() const { return m_AllParams; }

protected:
    int DoParse();
    int GetSwitchIndexInAllParamVector(const wchar_t* name);
    bool StringCompare(const std::wstring& a, const std::wstring& b);

private:
    int m_iCaseSensitive = 0;
    std::wstring m_strCommandLine;
    std::vector<std::wstring> m_AllParams;
    std::vector<int> m_SwitchPositions;
};
