// The workstation's side of a package run in tests: the wizard's receiver of the package reports
// that arrive through the agents, and the agent started as a service on a server.
#pragma once

#include "framework/CMessageSupport.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport
{

// Records the package messages raised on the wizard's bus, in order, as "SERVER progress TEXT",
// "SERVER final 1|0 TEXT" and "SERVER logon"; answers logon questions with the account given.
class CWizardSide : public IEventSupportCallback
{
public:
    CWizardSide(const std::wstring& logonUser = L"", const std::wstring& logonPassword = L"");
    ~CWizardSide() override;
    CWizardSide(const CWizardSide&) = delete;
    CWizardSide& operator=(const CWizardSide&) = delete;

    void OnFire(CEventSupportArgs* args) override;
    // What came from one server, without its name.
    std::vector<std::wstring> ReceivedFrom(const std::wstring& server);

private:
    std::wstring m_strLogonUser;
    std::wstring m_strLogonPassword;
    std::mutex m_Lock;
    std::vector<std::wstring> m_Received;
};

// Installs the agent service "HalvornInstallAgent" with the image given on a server through its
// remote service manager (as DOMAIN\Administrator) and waits until it runs.
void StartAgentService(const std::wstring& server, const std::wstring& domain,
                       const std::wstring& password, const std::wstring& image);

} // namespace testsupport
