// Servers of a domain in the test's fleet, for the suites that link the fleet's store, and
// calls made as one of its accounts.
#pragma once

#include "fleetsim/Fleet.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinSecurity.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport
{

// Creates the domain and adds the servers (name, profile name), joined to it; adjust changes a
// server's profile before it is added (a server left out of the domain clears its domain).
inline void
AddDomainServers(const fleetsim::SDomain& domain,
                 const std::vector<std::pair<std::string, std::string>>& servers,
                 const std::function<void(fleetsim::SMachineProfile&)>& adjust = nullptr)
{
    std::string root = FleetRoot();
    ASSERT_EQ(fleetsim::CreateDomain(root, domain), 0u);
    for (const auto& [name, profileName] : servers)
    {
        fleetsim::SMachineProfile profile;
        ASSERT_EQ(fleetsim::ParseProfileName(profileName, profile), 0u) << profileName;
        profile.name = name;
        profile.settings.domain = domain.name;
        if (adjust)
            adjust(profile);
        ASSERT_EQ(fleetsim::AddMachine(root, profile), 0u) << name;
    }
}

// Runs f impersonating the account with new credentials, as the wizard's workers do.
template <class F>
void AsAccount(const wchar_t* domain, const wchar_t* user, const wchar_t* password, F f)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(LogonUserW(user, domain, password, LOGON32_LOGON_NEW_CREDENTIALS,
                           LOGON32_PROVIDER_WINNT50, &token));
    ASSERT_TRUE(ImpersonateLoggedOnUser(token));
    CloseHandle(token);
    f();
    RevertToSelf();
}

} // namespace testsupport
