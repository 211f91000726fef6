// One custom action run: the rollback-skip protocol, the action's library and export, and the
// second instance with its time limit.
#include "package/CCustomActionWrapper.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CActionGlobalResource.h"
#include "setupsupport/CProcessOperation.h"
#include "winport/WinBase.h"
#include "winport/WinModule.h"
#include "winport/WinProcess.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"

#include <algorithm>

namespace
{

std::wstring ErrorText(DWORD code)
{
    return CStringSupport::ConvertWin32ErrorCodeToString(code);
}

CPropertyManager* Properties()
{
    return CActionGlobalResource::s_pPropertyManager;
}

// Wipes a secret before its memory is given back.
void Scrub(std::wstring& secret)
{
    std::fill(secret.begin(), secret.end(), L'\0');
    secret.clear();
}

} // namespace

bool WrapperParameter::Parse(const std::wstring& commandLine)
{
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &count);
    if (argv == nullptr)
    {
        DWORD code = GetLastError();
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CommandLineToArgvW failed:[%s] because:%d %s",
               commandLine.c_str(), static_cast<int>(code), ErrorText(code).c_str());
        return false;
    }
    bool parsed = count >= 6;
    if (!parsed)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"actionhost parameter count is below 3");
    else
    {
        m_strActionName = argv[1];
        m_strLibrary = argv[2];
        m_strFunction = argv[3];
        m_nTimeLimit = CStringSupport::StringToInt(argv[4]);
        m_strParameter = CStringSupport::StringReplace(argv[5], L"'", L"\"");
        if (count >= 7)
            m_nRunMode = CStringSupport::StringToInt(argv[6]);
    }
    LocalFree(argv);
    return parsed;
}

std::wstring WrapperParameter::FormatArguments() const
{
    return CStringSupport::StringFormat(
        L"\"%s\" \"%s\" \"%s\" %d \"%s\" %d", m_strActionName.c_str(), m_strLibrary.c_str(),
        m_strFunction.c_str(), m_nTimeLimit,
        CStringSupport::StringReplace(m_strParameter, L"\"", L"'").c_str(), m_nRunMode);
}

bool CCustomActionWrapper::RunAction()
{
    ADVLOG_TRACE_FUNCTION(L"CCustomActionWrapper::RunAction");
    CPropertyManager* properties = Properties();
    std::wstring status = properties->GetProperty(PackageNames::kInstallationStatus);
    bool result;
    if (m_Parameter.m_nRunMode == 1 || m_Parameter.m_nRunMode == 2)
        result = RunSubInstanceDoAction();
    else
    {
        if (!properties->IsPropertyExist(PackageNames::kBeginActionFlag))
        {
            properties->SetProperty(PackageNames::kBeginActionFlag, L"FollowAction");
            ADVLOG(ADVLOG_SEVERITY_INFO,
                   L"----------------------------%s Action Begin, Build Number is "
                   L"%d----------------------------",
                   status.c_str(), properties->GetPropertyInt(PackageNames::kCurrentBuild));
        }
        result = RunInThisProcess();
    }
    if (m_Parameter.m_nRunMode == 0)
    {
        CActionGlobalResource::WritePropertyToFile();
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               result ? L"Sucessful when run custom action for %s, library name:[%s], function "
                        L"name:[%s], parameter:[%s]"
                      : L"Failed when run custom action for %s, library name:[%s], function "
                        L"name:[%s], parameter:[%s]",
               status.c_str(), m_Parameter.m_strLibrary.c_str(), m_Parameter.m_strFunction.c_str(),
               m_Parameter.m_strParameter.c_str());
    }
    return result;
}

bool CCustomActionWrapper::RunInThisProcess()
{
    CPropertyManager* properties = Properties();
    // The failed action's own rollback comes first in a rollback and must not run.
    if (properties->IsPropertyExist(PackageNames::kSkipCurrentRollbackAction) &&
        properties->GetPropertyInt(PackageNames::kSkipCurrentRollbackAction) == 0)
    {
        properties->SetPropertyInt(PackageNames::kSkipCurrentRollbackAction, 1);
        ADVLOG(ADVLOG_SEVERITY_INFO,
               L"This is the last action's rollback and it should be done by itself, so skipped!");
        return true;
    }
    std::wstring status = properties->GetProperty(PackageNames::kInstallationStatus);
    properties->SetProperty(PackageNames::kParameterString, m_Parameter.m_strParameter);
    properties->SetProperty(PackageNames::kActionName, m_Parameter.m_strActionName);
    ADVLOG(ADVLOG_SEVERITY_INFO,
           L"Run custom action for %s, library name:[%s], function name:[%s], parameter:[%s]",
           status.c_str(), m_Parameter.m_strLibrary.c_str(), m_Parameter.m_strFunction.c_str(),
           m_Parameter.m_strParameter.c_str());

    HMODULE library = LoadLibraryW(m_Parameter.m_strLibrary.c_str());
    if (library == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"load library[%s] error when run action!",
               m_Parameter.m_strLibrary.c_str());
        return false;
    }
    bool result = false;
    using TAction = bool (*)();
    auto action = reinterpret_cast<TAction>(GetProcAddress(
        library, CStringSupport::CharsetConvertUnicodeToAnsi(m_Parameter.m_strFunction).c_str()));
    if (action == nullptr)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"GetProcAddress[%s] from library[%s] error when run action!",
               m_Parameter.m_strFunction.c_str(), m_Parameter.m_strLibrary.c_str());
    else
    {
        // A fault injected before the work fails the action as if it had refused at once.
        result = !CActionGlobalResource::IsFaultInjected(L"before") && action();
        if (!result)
        {
            properties->SetPropertyInt(PackageNames::kSkipCurrentRollbackAction, 0);
            ADVLOG(ADVLOG_SEVERITY_INFO, L"This action is failed, it should be rollback by itself "
                                         L"and its rollback action should be skipped!");
            properties->SetProperty(PackageNames::kInstallationStatus, L"Rollback");
        }
    }
    FreeLibrary(library);
    return result;
}

bool CCustomActionWrapper::RunSubInstanceDoAction()
{
    ADVLOG_TRACE_FUNCTION(L"CCustomActionWrapper::RunSubInstanceDoAction");
    if (m_Parameter.m_nRunMode == 0)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CCustomActionWrapper::RunSubInstanceDoAction");
        return false;
    }
    bool asLogonUser = m_Parameter.m_nRunMode == 2;
    int runMode = m_Parameter.m_nRunMode;
    m_Parameter.m_nRunMode = 0; // the second instance runs the action itself
    std::wstring arguments = m_Parameter.FormatArguments();
    m_Parameter.m_nRunMode = runMode;

    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
    {
        DWORD code = GetLastError();
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Get current binary file name failed, because:%d %s",
               static_cast<int>(code), ErrorText(code).c_str());
        return false;
    }
    std::wstring commandLine = CStringSupport::StringFormat(L"\"%s\" %s", self, arguments.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    HANDLE token = nullptr;
    if (!asLogonUser)
    {
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process))
        {
            DWORD code = GetLastError();
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"CreateProcess failed because:%d, %s",
                   static_cast<int>(code), ErrorText(code).c_str());
            return false;
        }
    }
    else
    {
        ADVLOG(ADVLOG_SEVERITY_INFO, L"Run actionhost as logon user priviliage!");
        std::wstring account, password, domain, user;
        if (!CPackageStatusReport::RetrieveLogonAccount(&account, &password))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Get account information failed!");
            return false;
        }
        CWin32API::PickupDomainUsername(account, domain, user);
        ADVLOG(ADVLOG_SEVERITY_INFO,
               L"Login user as logonAccount:%s, password:******, domain:%s, userName:%s",
               account.c_str(), domain.c_str(), user.c_str());
        BOOL loggedOn = LogonUserW(user.c_str(), domain.c_str(), password.c_str(),
                                   LOGON32_LOGON_INTERACTIVE, LOGON32_PROVIDER_DEFAULT, &token);
        DWORD code = GetLastError();
        Scrub(password);
        if (!loggedOn)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"LogonUser failed, because:%d %s",
                   static_cast<int>(code), ErrorText(code).c_str());
            return false;
        }
        if (!CreateProcessAsUserW(token, nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0,
                                  nullptr, nullptr, &startup, &process))
        {
            code = GetLastError();
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"CreateProcessAsUser failed because:%d, %s",
                   static_cast<int>(code), ErrorText(code).c_str());
            CloseHandle(token);
            return false;
        }
    }
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Create new process to do custom action.");
    // A negative limit is no limit (the multiplied value would be a wait of some weeks).
    DWORD wait = m_Parameter.m_nTimeLimit < 0
                     ? INFINITE
                     : static_cast<DWORD>(m_Parameter.m_nTimeLimit) * 1000u;
    bool result = false;
    // The engine goes on when this host ends: never while the second instance still works on
    // the property file, also when its handle went with the machine's server.
    DWORD exitCode = 0;
    EProcessEnd end =
        CProcessOperation::WaitForProcess(process.hProcess, process.dwProcessId, wait, exitCode);
    if (end == EProcessEnd::TimedOut)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"The action is Running out of time [%d seconds], and be terminated forcely",
               m_Parameter.m_nTimeLimit);
        TerminateProcess(process.hProcess, 0xFFFFFFFF);
        CStatusReporter::ReportErrorMessage(
            (L"error.timeout." + m_Parameter.m_strActionName).c_str());
    }
    else
    {
        if (end == EProcessEnd::CodeUnknown)
        {
            DWORD code = GetLastError();
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"GetExitCodeProcess failed for new process because:%d, %s",
                   static_cast<int>(code), ErrorText(code).c_str());
        }
        else if (exitCode != 0)
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"dwExitCode != 0");
        else
            result = true;
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    if (token != nullptr)
        CloseHandle(token);
    return result;
}
