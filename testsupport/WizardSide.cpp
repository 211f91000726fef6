// The wizard's receiver of package reports and the agent service, for tests.
#include "testsupport/WizardSide.h"

#include "framework/CFrameworkGlobalVariables.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/PackageStatusReport.h"
#include "testsupport/TestSupport.h"
#include "winport/WinSecurity.h"
#include "winport/WinSvc.h"

#include <gtest/gtest.h>

#include <chrono>

namespace testsupport
{

namespace
{
constexpr const wchar_t* kMessages[] = {L"MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED",
                                        L"MESSAGE_VANE52_PACKAGE_EXECUTION_FINISHED",
                                        L"MESSAGE_VANE52_RETRIEVE_LOGON_ACCOUNT"};
} // namespace

CWizardSide::CWizardSide(const std::wstring& logonUser, const std::wstring& logonPassword)
    : m_strLogonUser(logonUser), m_strLogonPassword(logonPassword)
{
    for (const wchar_t* name : kMessages)
        GetFrameworkGlobalVariables()->m_MessageSupport.RegisterReceiver(name, this);
}

CWizardSide::~CWizardSide()
{
    for (const wchar_t* name : kMessages)
        GetFrameworkGlobalVariables()->m_MessageSupport.UnregisterReceiver(name, this);
}

void CWizardSide::OnFire(CEventSupportArgs* args)
{
    auto* message = static_cast<CMessageSupportArgs*>(args);
    std::lock_guard<std::mutex> guard(m_Lock);
    if (auto* progress = dynamic_cast<CArgVane52PackageProgressChanged*>(message))
        m_Received.push_back(progress->m_strServerName + L" progress " +
                             progress->m_strLastProgressMessage);
    else if (auto* final = dynamic_cast<CArgVane52PackageFinalResult*>(message))
        m_Received.push_back(final->m_strServerName + L" final " +
                             (final->m_bIsSucceed ? L"1 " : L"0 ") +
                             final->m_strFinalResultMessage);
    else if (auto* logon = dynamic_cast<CArgVane52RetrieveLogonAccount*>(message))
    {
        m_Received.push_back(logon->m_strServerName + L" logon");
        logon->m_strLogonUsername = m_strLogonUser;
        logon->m_strLogonPassword = m_strLogonPassword;
    }
}

std::vector<std::wstring> CWizardSide::ReceivedFrom(const std::wstring& server)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<std::wstring> mine;
    for (const std::wstring& line : m_Received)
        if (line.rfind(server + L" ", 0) == 0)
            mine.push_back(line.substr(server.size() + 1));
    return mine;
}

void StartAgentService(const std::wstring& server, const std::wstring& domain,
                       const std::wstring& password, const std::wstring& image)
{
    CImpersonateUser administrator(domain, L"Administrator", password,
                                   LOGON32_LOGON_NEW_CREDENTIALS);
    std::wstring machine = L"\\\\" + server;
    SC_HANDLE manager = OpenSCManagerW(machine.c_str(), nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr) << GetLastError();
    SC_HANDLE service = CreateServiceW(manager, L"HalvornInstallAgent", L"Halvorn Install Agent",
                                       SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS)
        service = OpenServiceW(manager, L"HalvornInstallAgent", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr) << GetLastError();
    ASSERT_TRUE(StartServiceW(service, 0, nullptr) ||
                GetLastError() == ERROR_SERVICE_ALREADY_RUNNING)
        << GetLastError();
    SERVICE_STATUS status = {};
    EXPECT_TRUE(WaitFor(
        [&] {
            return QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_RUNNING;
        },
        std::chrono::seconds(30)));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

} // namespace testsupport
