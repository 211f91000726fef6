// The probe library that probeinvoker.exe runs on a server: the Exchange virtual servers of the
// cluster the server is a node of, read from the cluster database (HKLM\Cluster). A group is an
// Exchange virtual server when it holds an Exchange System Attendant resource; its name is that
// of its network name resource, and it is online on this node when its OwnerNode is this
// computer.
#include "winport/WinBase.h"
#include "winport/WinNet.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <algorithm>
#include <string>
#include <vector>

namespace
{

const wchar_t kGroups[] = L"Cluster\\Groups";
const wchar_t kResources[] = L"Cluster\\Resources\\";

// A string value (REG_SZ or REG_MULTI_SZ, with its null characters) of HKLM\key; empty when
// there is none.
std::wstring ReadValue(const std::wstring& key, const wchar_t* name)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &opened) !=
        ERROR_SUCCESS)
        return {};
    std::wstring value;
    DWORD type = 0, size = 0;
    LSTATUS rc = RegQueryValueExW(opened, name, nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS && (type == REG_SZ || type == REG_MULTI_SZ) && size > 0)
    {
        value.resize(size / sizeof(wchar_t) + 1);
        rc = RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(value.data()),
                              &size);
        value.resize(rc == ERROR_SUCCESS ? size / sizeof(wchar_t) : 0);
        while (!value.empty() && value.back() == L'\0')
            value.pop_back();
    }
    RegCloseKey(opened);
    return value;
}

std::vector<std::wstring> SplitMulti(const std::wstring& multi)
{
    std::vector<std::wstring> items;
    for (size_t start = 0; start < multi.size();)
    {
        size_t end = multi.find(L'\0', start);
        if (end == std::wstring::npos)
            end = multi.size();
        if (end > start)
            items.push_back(multi.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

} // namespace

// Fills all with every Exchange virtual server of the cluster and online with those this node
// holds, in name order; both empty on a server that is no cluster node. False when the database
// cannot be read.
extern "C" __attribute__((visibility("default"))) bool
GetExchangeVirtualServers(std::vector<std::wstring>* all, std::vector<std::wstring>* online)
{
    if (all == nullptr || online == nullptr)
        return false;
    all->clear();
    online->clear();
    wchar_t computer[64] = {};
    DWORD length = 64;
    if (!GetComputerNameW(computer, &length))
        return false;

    HKEY groups = nullptr;
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kGroups, 0, KEY_READ | KEY_WOW64_64KEY, &groups);
    if (rc == ERROR_FILE_NOT_FOUND)
        return true; // no cluster database: no node
    if (rc != ERROR_SUCCESS)
        return false;
    wchar_t id[256];
    DWORD index = 0;
    for (DWORD size = 256; (rc = RegEnumKeyExW(groups, index, id, &size, nullptr, nullptr, nullptr,
                                               nullptr)) == ERROR_SUCCESS;
         size = 256, ++index)
    {
        std::wstring group = std::wstring(kGroups) + L"\\" + id;
        bool exchange = false;
        std::wstring networkName;
        for (const std::wstring& resource : SplitMulti(ReadValue(group, L"Contains")))
        {
            std::wstring type = ReadValue(kResources + resource, L"Type");
            if (type == L"Microsoft Exchange System Attendant")
                exchange = true;
            else if (type == L"Network Name")
                networkName = ReadValue(kResources + resource + L"\\Parameters", L"Name");
        }
        if (!exchange)
            continue;
        if (networkName.empty())
            networkName = ReadValue(group, L"Name");
        all->push_back(networkName);
        if (_wcsicmp(ReadValue(group, L"OwnerNode").c_str(), computer) == 0)
            online->push_back(networkName);
    }
    RegCloseKey(groups);
    // In name order: the database's order is that of its GUIDs.
    auto byName = [](const std::wstring& a, const std::wstring& b)
    { return _wcsicmp(a.c_str(), b.c_str()) < 0; };
    std::sort(all->begin(), all->end(), byName);
    std::sort(online->begin(), online->end(), byName);
    return rc == ERROR_NO_MORE_ITEMS;
}
