// Snapshots of a machine's files, registry and services for before/after comparisons.
#include "testsupport/MachineState.h"

#include "testsupport/TestSupport.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace testsupport
{

std::map<std::string, std::string> TreeSnapshot(const std::wstring& folder)
{
    std::map<std::string, std::string> entries;
    fs::path root = HostPath(folder);
    if (!fs::exists(root))
        return entries;
    for (const auto& entry : fs::recursive_directory_iterator(root))
    {
        std::string relative = fs::relative(entry.path(), root).string();
        bool readOnly =
            (fs::status(entry.path()).permissions() & fs::perms::owner_write) == fs::perms::none;
        entries[relative] =
            (entry.is_directory() ? std::string("<dir>") : ReadHostFile(entry.path().string())) +
            (readOnly ? " (read-only)" : "");
    }
    return entries;
}

std::string HexOf(const void* bytes, size_t size)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i)
    {
        unsigned char c = static_cast<const unsigned char*>(bytes)[i];
        hex += kDigits[c >> 4];
        hex += kDigits[c & 15];
    }
    return hex;
}

namespace
{

void DumpKey(HKEY parent, const std::wstring& path, std::vector<std::string>& lines)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    lines.push_back("[" + winport::ToUtf8(path) + "]");
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            break;
        std::string data(size, '\0');
        nameLength = 16384;
        RegEnumValueW(key, i, name, &nameLength, nullptr, &type,
                      reinterpret_cast<BYTE*>(data.data()), &size);
        lines.push_back(winport::ToUtf8(name) + " " + std::to_string(type) + " " +
                        HexOf(data.data(), std::min<size_t>(size, data.size())));
    }
    std::vector<std::wstring> subKeys;
    for (DWORD i = 0;; ++i)
    {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        subKeys.push_back(name);
    }
    RegCloseKey(key);
    for (const std::wstring& sub : subKeys)
        DumpKey(parent, path + L"\\" + sub, lines);
}

} // namespace

std::vector<std::string> RegistrySnapshot(const std::wstring& key)
{
    std::vector<std::string> lines;
    DumpKey(HKEY_LOCAL_MACHINE, key, lines);
    return lines;
}

std::vector<std::string> ServiceSnapshot(const std::vector<std::wstring>& services)
{
    std::vector<std::string> lines;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    for (const std::wstring& name : services)
    {
        SC_HANDLE service =
            manager != nullptr
                ? OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG)
                : nullptr;
        SERVICE_STATUS status = {};
        DWORD start = 0, needed = 0;
        if (service != nullptr && QueryServiceStatus(service, &status))
        {
            std::vector<BYTE> buffer(8192);
            auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
            if (QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed))
                start = config->dwStartType;
        }
        if (service != nullptr)
            CloseServiceHandle(service);
        lines.push_back(winport::ToUtf8(name) + " state=" + std::to_string(status.dwCurrentState) +
                        " start=" + std::to_string(start));
    }
    if (manager != nullptr)
        CloseServiceHandle(manager);
    return lines;
}

} // namespace testsupport
