// serveractions.dll: what a target server is, recorded as package properties for the engine
// script and the later actions: its name and Windows, its Exchange version and roles, the
// product's facts and whether the server is clustered.
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "package/ActionSupport.h"
#include "winport/WinNet.h"
#include "winport/WinReg.h"

#include <string>

namespace
{

const wchar_t kExchangeSetup[] = L"SOFTWARE\\Microsoft\\Exchange\\Setup";
const wchar_t kExchange14Setup[] = L"SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup";
const wchar_t kExchange2007Roles[] = L"SOFTWARE\\Microsoft\\Exchange\\v8.0";
const wchar_t kExchange2010Roles[] = L"SOFTWARE\\Microsoft\\ExchangeServer\\v14";
const wchar_t kHotfixKey[] = L"Software\\Halvorn\\Parvel for Exchange\\Hotfix\\";

// One key of the local machine, read in the 64-bit view.
class CReadKey
{
public:
    explicit CReadKey(const std::wstring& path)
    {
        m_Status =
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &m_Key);
    }
    ~CReadKey()
    {
        if (m_Key != nullptr)
            RegCloseKey(m_Key);
    }
    CReadKey(const CReadKey&) = delete;
    CReadKey& operator=(const CReadKey&) = delete;
    bool IsOpen() const { return m_Status == ERROR_SUCCESS; }
    LSTATUS Status() const { return m_Status; }
    // A number stored as REG_DWORD or as decimal text.
    bool Number(const wchar_t* name, DWORD& value) const
    {
        BYTE data[512] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t), type = 0;
        if (!IsOpen() ||
            RegQueryValueExW(m_Key, name, nullptr, &type, data, &size) != ERROR_SUCCESS)
            return false;
        if (type == REG_DWORD && size == sizeof(DWORD))
        {
            value = *reinterpret_cast<DWORD*>(data);
            return true;
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ)
            return false;
        value = static_cast<DWORD>(CStringSupport::StringToInt(reinterpret_cast<wchar_t*>(data)));
        return true;
    }
    bool Text(const wchar_t* name, std::wstring& text) const
    {
        wchar_t data[1024] = {};
        DWORD size = sizeof(data) - sizeof(wchar_t), type = 0;
        if (!IsOpen() ||
            RegQueryValueExW(m_Key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
                ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return false;
        text = data;
        return true;
    }
    bool HasSubKey(const wchar_t* name) const
    {
        HKEY sub = nullptr;
        if (!IsOpen() || RegOpenKeyExW(m_Key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS)
            return false;
        RegCloseKey(sub);
        return true;
    }

private:
    HKEY m_Key = nullptr;
    LSTATUS m_Status;
};

CPropertyManager* Properties()
{
    return PackageProperties();
}

bool AnalyzeOperatingSystem()
{
    wchar_t name[64] = {};
    DWORD size = 64;
    if (GetComputerNameW(name, &size))
        Properties()->SetProperty(L"LocalComputerName", name);
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not get OS version!");
        return false;
    }
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    Properties()->SetPropertyInt(
        L"OSPlatform", system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? 2 : 1);
    Properties()->SetProperty(L"OSVersion", CStringSupport::StringFormat(
                                                L"%d.%d", static_cast<int>(version.dwMajorVersion),
                                                static_cast<int>(version.dwMinorVersion)));
    Properties()->SetProperty(L"OSServicePack", version.szCSDVersion);
    return true;
}

bool AnalyzeExchange(int& exchangeVersion)
{
    exchangeVersion = 0;
    int servicePack = 0;
    DWORD newestBuild = 0, servicePackBuild = 0, major = 0, minor = 0;
    CReadKey legacy(kExchangeSetup);
    legacy.Number(L"NewestBuild", newestBuild);
    legacy.Number(L"ServicePackBuild", servicePackBuild);
    if (!legacy.Number(L"MsiProductMajor", major))
    {
        CReadKey current(kExchange14Setup);
        current.Number(L"MsiProductMajor", major);
        current.Number(L"MsiProductMinor", minor);
    }
    else
        legacy.Number(L"MsiProductMinor", minor);
    bool known = true;
    if (newestBuild > 6943 && newestBuild <= 7999)
    {
        exchangeVersion = 2003;
        servicePack = servicePackBuild == 0 ? 0 : servicePackBuild > 7226 ? 2 : 1;
    }
    else if (newestBuild != 0 && newestBuild <= 6943)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"AddonAnalyzeTargetServer");
        known = false;
    }
    else if (major == 8)
    {
        exchangeVersion = 2007;
        servicePack = minor == 0 ? 0 : minor == 1 ? 1 : 2;
    }
    else if (major == 14)
    {
        exchangeVersion = 2010;
        servicePack = minor == 0 ? 0 : 1;
    }
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Newest build number: %d, major version: %d",
           static_cast<int>(newestBuild), static_cast<int>(major));
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Exchange major version: %d", exchangeVersion);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Exchange service pack: %d", servicePack);
    if (!known)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not get Exchange version!");
        return false;
    }
    Properties()->SetPropertyInt(L"ExchangeVersion", exchangeVersion);
    Properties()->SetPropertyInt(L"ExchangeServicePack", servicePack);
    return true;
}

bool AnalyzeRoles(int exchangeVersion)
{
    if (exchangeVersion != 2007 && exchangeVersion != 2010)
        return true;
    CReadKey roles(exchangeVersion == 2007 ? kExchange2007Roles : kExchange2010Roles);
    if (!roles.IsOpen())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not get Exchange server role!");
        return false;
    }
    static const struct
    {
        const wchar_t* key;
        const wchar_t* property;
        const wchar_t* found;
    } kRoles[] = {
        {L"MailboxRole", L"HasMailboxRole", L"Mailbox server role found!"},
        {L"HubTransportRole", L"HasHubTransportRole", L"Hub transport server role found!"},
        {L"EdgeTransportRole", L"HasEdgeTransportRole", L"Edge transport server role found!"},
    };
    for (const auto& role : kRoles)
    {
        bool present = roles.HasSubKey(role.key);
        if (present)
            ADVLOG(ADVLOG_SEVERITY_INFO, L"%s", role.found);
        Properties()->SetPropertyInt(role.property, present ? 1 : 0);
    }
    return true;
}

bool AnalyzeProduct()
{
    CReadKey product(PackageNames::kProductKey);
    std::wstring home, version;
    DWORD build = 0, patchBuild = 0;
    if (!product.Text(L"HomeDir", home) || !product.Text(L"Version", version) ||
        !product.Number(L"Build", build))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not get PRVL information!");
        return false;
    }
    product.Number(L"PatchBuild", patchBuild);
    Properties()->SetProperty(L"PRVLHomeDir", home);
    Properties()->SetProperty(L"PRVLVersion", version);
    Properties()->SetPropertyInt(L"PRVLBuild", static_cast<int>(build));
    Properties()->SetPropertyInt(L"PRVLPatchBuild", static_cast<int>(patchBuild));
    for (int pack : {1, 2})
    {
        DWORD installed = 0;
        CReadKey hotfix(std::wstring(kHotfixKey) + L"Service Pack " + std::to_wstring(pack));
        hotfix.Number(L"Installed", installed);
        Properties()->SetPropertyInt(L"IsPackage" + std::to_wstring(pack) + L"Installed",
                                     installed != 0 ? 1 : 0);
    }
    return true;
}

// 0 not clustered, 1 Windows cluster, 2 Veritas cluster.
bool GetClusterType(int& type)
{
    CReadKey product(PackageNames::kProductKey);
    if (!product.IsOpen())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not open registry key: %s", PackageNames::kProductKey);
        return false;
    }
    DWORD cluster = 0, thirdParty = 0;
    if (!product.Number(L"IsCluster", cluster))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not query value %s in registry key: %s", L"IsCluster",
               PackageNames::kProductKey);
        return false;
    }
    if (cluster == 1)
    {
        type = 1;
        return true;
    }
    if (cluster != 0)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"GetClusterType");
        return false;
    }
    if (!product.Number(L"ThirdPartyClusterType", thirdParty))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not query value %s in registry key: %s",
               L"ThirdPartyClusterType", PackageNames::kProductKey);
        return false;
    }
    if (thirdParty > 1)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"GetClusterType");
        return false;
    }
    type = thirdParty == 1 ? 2 : 0;
    return true;
}

} // namespace

PACKAGE_ACTION AddonAnalyzeTargetServer()
{
    ADVLOG_TRACE_FUNCTION(L"AddonAnalyzeTargetServer");
    if (Properties() == nullptr)
        return false;
    AnalyzeOperatingSystem();
    int exchangeVersion = 0;
    AnalyzeExchange(exchangeVersion);
    AnalyzeRoles(exchangeVersion);
    AnalyzeProduct();
    int clusterType = 0;
    if (!GetClusterType(clusterType))
        return false;
    if (clusterType == 2 && exchangeVersion == 2010)
        clusterType = 0; // this package does not handle that combination as a cluster
    Properties()->SetPropertyInt(L"ClusterType", clusterType);
    if (clusterType == 0)
        return true;
    // The virtual servers of a clustered node are read through the cluster object, which this
    // build of the library does not have yet.
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not get cluster object, maybe memory is used up.");
    return false;
}
