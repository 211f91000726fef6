// The custom action host's work: its command line and the run of one action, in this process or
// in a second instance of the host (optionally under the administrator's logon account).
#pragma once

#include <string>

struct WrapperParameter
{
    std::wstring m_strActionName;
    std::wstring m_strLibrary;
    std::wstring m_strFunction;
    int m_nTimeLimit = -1; // seconds
    std::wstring m_strParameter;
    int m_nRunMode = 0; // 0 this process, 1 second instance, 2 second instance as logon user

    // Reads the host's command line (program, action, library, function, time limit,
    // parameter string[, run mode]); single quotes of the parameter string become double ones.
    bool Parse(const std::wstring& commandLine);
    // The arguments of a second instance, the reverse of Parse.
    std::wstring FormatArguments() const;
};

class CCustomActionWrapper
{
public:
    explicit CCustomActionWrapper(WrapperParameter& parameter) : m_Parameter(parameter) {}
    bool RunAction();

private:
    bool RunInThisProcess();
    bool RunSubInstanceDoAction();

    WrapperParameter& m_Parameter;
};
