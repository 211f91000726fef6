// Creating a machine with what Windows itself holds about it, and the system environment that
// its registry gives every process.
#include "fleetsim/store/MachineCreation.h"

#include "fleetsim/store/RegistryStore.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>

namespace machine
{
using namespace winport::fleet;
using winport::FromUtf8;
namespace posix = winport::posix;

namespace
{

constexpr const wchar_t* kEnvironmentKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
constexpr const wchar_t* kVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const wchar_t* kComputerNameKey =
    L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName";

struct SVersion
{
    const wchar_t* version;
    const wchar_t* build;
    const wchar_t* serverName;
};

SVersion VersionOf(const std::wstring& version)
{
    if (version == L"5.2")
        return {L"5.2", L"3790", L"Microsoft Windows Server 2003"};
    if (version == L"6.0")
        return {L"6.0", L"6002", L"Windows Server (R) 2008 Enterprise"};
    if (version == L"6.1")
        return {L"6.1", L"7601", L"Windows Server 2008 R2 Enterprise"};
    return {L"5.1", L"2600", L"Microsoft Windows XP"};
}

DWORD WriteRegistry(const std::string& dbPath, const std::string& name,
                    const SMachineSettings& settings)
{
    CRegistryStore store;
    DWORD rc = store.Open(dbPath);
    if (rc != ERROR_SUCCESS)
        return rc;
    rc = store.Begin();
    if (rc != ERROR_SUCCESS)
        return rc;
    CRegistryWriter w(store);
    std::wstring computer = FromUtf8(name);
    for (wchar_t& c : computer)
        c = static_cast<wchar_t>(towupper(c));
    bool server = settings.profile == EMachineProfile::Server;
    SVersion version = VersionOf(settings.osVersion);

    w.String(kComputerNameKey, L"ComputerName", computer);
    w.String(L"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
             L"ComputerName", computer);
    w.String(L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", L"Hostname",
             FromUtf8(name));
    w.String(L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters", L"Domain",
             settings.dnsDomain);
    w.String(L"SYSTEM\\CurrentControlSet\\Control\\ProductOptions", L"ProductType",
             server ? L"ServerNT" : L"WinNT");
    w.String(L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", L"ACP", L"1252");
    w.String(L"SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", L"OEMCP", L"437");
    w.Key(L"SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares");
    w.String(kVersionKey, L"ProductName", server ? version.serverName : L"Microsoft Windows XP");
    w.String(kVersionKey, L"CurrentVersion", version.version);
    w.String(kVersionKey, L"CurrentBuildNumber", version.build);
    w.String(kVersionKey, L"CSDVersion", settings.servicePack);
    w.String(kVersionKey, L"SystemRoot", L"C:\\Windows");
    w.String(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir",
             L"C:\\Program Files");
    w.String(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"DefaultDomainName",
             settings.domain.empty() ? computer : settings.domain);
    w.Key(L"SOFTWARE\\Classes");

    w.String(kEnvironmentKey, L"ComSpec", L"%SystemRoot%\\system32\\cmd.exe", REG_EXPAND_SZ);
    w.String(kEnvironmentKey, L"NUMBER_OF_PROCESSORS", L"2");
    w.String(kEnvironmentKey, L"OS", L"Windows_NT");
    w.String(kEnvironmentKey, L"Path",
             L"%SystemRoot%\\system32;%SystemRoot%;%SystemRoot%\\System32\\Wbem", REG_EXPAND_SZ);
    w.String(kEnvironmentKey, L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS;.JS;.WSF");
    w.String(kEnvironmentKey, L"PROCESSOR_ARCHITECTURE", settings.architecture);
    w.String(kEnvironmentKey, L"TEMP", L"%SystemRoot%\\Temp", REG_EXPAND_SZ);
    w.String(kEnvironmentKey, L"TMP", L"%SystemRoot%\\Temp", REG_EXPAND_SZ);
    w.String(kEnvironmentKey, L"windir", L"%SystemRoot%", REG_EXPAND_SZ);

    w.Check(store.AddGroup(L"Administrators"));
    w.Check(store.AddGroup(L"Users"));
    w.Check(store.AddAccount(L"Administrator", settings.administratorPassword));
    w.Check(store.AddGroupMember(L"Administrators", L"Administrator"));
    if (!settings.domain.empty())
    {
        // Joining a domain puts its administrators among the machine's.
        w.Check(store.AddGroupMember(L"Administrators", settings.domain + L"\\Domain Admins"));
        w.Check(store.AddGroupMember(L"Users", settings.domain + L"\\Domain Users"));
    }
    if (w.Status() != ERROR_SUCCESS)
        return w.Status();
    return store.Commit();
}

} // namespace

DWORD CreateMachine(const std::string& fleetRoot, const std::string& name,
                    const SMachineSettings& settings)
{
    if (!IsValidMachineName(name) || name.size() > 15)
        return ERROR_INVALID_COMPUTERNAME;
    if (settings.architecture != L"x86" && settings.architecture != L"AMD64")
        return ERROR_INVALID_PARAMETER;
    for (const std::string& alias : settings.aliases)
    {
        std::string folder;
        std::vector<std::string> names;
        if (!ParseHostsLine(name + " " + alias, folder, names) || names.size() != 1)
            return ERROR_INVALID_PARAMETER;
    }
    DWORD rc = posix::MakeDirectories(fleetRoot + "/machines");
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!FindMachineFolder(fleetRoot, name).empty())
        return ERROR_ALREADY_EXISTS;
    // Built aside and moved in whole, so that nobody sees half a machine.
    std::string staging = fleetRoot + "/machines/." + name + ".new." + std::to_string(getpid());
    posix::RemoveTree(staging);
    static const char* const kFolders[] = {
        "drive/c/Windows/Temp",
        "drive/c/Windows/System32",
        "drive/c/Program Files",
        "drive/c/Documents and Settings",
        "runtime",
    };
    for (const char* sub : kFolders)
    {
        rc = posix::MakeDirectories(staging + "/" + sub);
        if (rc != ERROR_SUCCESS)
        {
            posix::RemoveTree(staging);
            return rc;
        }
    }
    if (settings.profile == EMachineProfile::Workstation &&
        symlink("/", (staging + "/drive/z").c_str()) != 0)
        rc = posix::ErrnoToWin32(errno);
    if (rc == ERROR_SUCCESS)
        rc = WriteRegistry(staging + "/registry.db", name, settings);
    if (rc == ERROR_SUCCESS)
    {
        std::string target = fleetRoot + "/machines/" + name;
        if (rename(staging.c_str(), target.c_str()) != 0)
            rc = errno == EEXIST || errno == ENOTEMPTY ? ERROR_ALREADY_EXISTS
                                                       : posix::ErrnoToWin32(errno);
        else if ((rc = AddHostsLine(fleetRoot, name, settings.aliases)) != ERROR_SUCCESS)
            posix::RemoveTree(target);
    }
    posix::RemoveTree(staging);
    return rc;
}

DWORD CreateMachine(const std::string& fleetRoot, const std::string& name, EMachineProfile profile)
{
    SMachineSettings settings;
    settings.profile = profile;
    if (profile == EMachineProfile::Server)
    {
        settings.architecture = L"AMD64";
        settings.osVersion = L"5.2";
    }
    return CreateMachine(fleetRoot, name, settings);
}

std::vector<std::pair<std::wstring, std::wstring>> BuildEnvironment(CRegistryStore& store,
                                                                    const std::string& machineName)
{
    std::vector<std::pair<std::wstring, std::wstring>> variables;
    std::wstring systemRoot = L"C:\\Windows";
    std::wstring computer;
    // Built from the registry, as the session manager builds the block at boot.
    {
        int64_t key;
        DWORD type;
        std::string data;
        if (store.OpenKey(kKeyLocalMachine, kVersionKey, key) == ERROR_SUCCESS &&
            store.QueryValue(key, L"SystemRoot", type, data) == ERROR_SUCCESS)
            systemRoot = FromStoredString(data);
        if (store.OpenKey(kKeyLocalMachine, kComputerNameKey, key) == ERROR_SUCCESS &&
            store.QueryValue(key, L"ComputerName", type, data) == ERROR_SUCCESS)
            computer = FromStoredString(data);
        if (store.OpenKey(kKeyLocalMachine, kEnvironmentKey, key) == ERROR_SUCCESS)
        {
            std::wstring name;
            for (DWORD i = 0; store.EnumValue(key, i, name, type, data) == ERROR_SUCCESS; ++i)
            {
                std::wstring value = FromStoredString(data);
                if (type == REG_EXPAND_SZ)
                {
                    size_t at;
                    while ((at = value.find(L"%SystemRoot%")) != std::wstring::npos)
                        value.replace(at, 12, systemRoot);
                }
                variables.emplace_back(name, value);
            }
        }
    }
    if (computer.empty())
    {
        computer = FromUtf8(machineName);
        for (wchar_t& c : computer)
            c = static_cast<wchar_t>(towupper(c));
    }
    variables.emplace_back(L"COMPUTERNAME", computer);
    variables.emplace_back(L"SystemRoot", systemRoot);
    variables.emplace_back(L"SystemDrive", systemRoot.substr(0, 2));
    variables.emplace_back(L"ProgramFiles", L"C:\\Program Files");
    variables.emplace_back(L"CommonProgramFiles", L"C:\\Program Files\\Common Files");
    variables.emplace_back(L"ALLUSERSPROFILE", L"C:\\Documents and Settings\\All Users");
    return variables;
}

} // namespace machine
