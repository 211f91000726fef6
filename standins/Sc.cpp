// The service control command of the system's scripts:
//   sc [\\server] create NAME binPath= PATH [start= auto|demand|disabled] [DisplayName= TEXT]
//                        [depend= A/B]
//   sc [\\server] start|stop|delete|query|qc NAME
//   sc [\\server] config NAME [start= ...] [binPath= ...] [DisplayName= ...] [depend= ...]
// It prints the service's status or configuration and exits with 0 or the Win32 error.
#include "winport/WinBase.h"
#include "winport/WinProcess.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <cstdio>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace
{

void Print(const std::wstring& text)
{
    fputs(winport::ToUtf8(text).c_str(), stdout);
}

std::wstring SystemMessage(DWORD error)
{
    wchar_t buffer[1024] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, buffer, 1024, nullptr);
    return std::wstring(buffer, length);
}

int Failed(const wchar_t* call, DWORD error)
{
    Print(std::wstring(L"[SC] ") + call + L" FAILED " + std::to_wstring(error) + L":\n\n" +
          SystemMessage(error) + L"\n");
    return static_cast<int>(error);
}

int Usage(const wchar_t* text)
{
    Print(std::wstring(L"[SC] ") + text +
          L"\n\nUsage: sc [\\\\server] "
          L"create|start|stop|delete|query|qc|config NAME [option= value ...]\n");
    return ERROR_INVALID_PARAMETER;
}

const wchar_t* StateName(DWORD state)
{
    switch (state)
    {
    case SERVICE_STOPPED:
        return L"STOPPED";
    case SERVICE_START_PENDING:
        return L"START_PENDING";
    case SERVICE_STOP_PENDING:
        return L"STOP_PENDING";
    case SERVICE_RUNNING:
        return L"RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return L"PAUSE_PENDING";
    case SERVICE_PAUSED:
        return L"PAUSED";
    default:
        return L"";
    }
}

std::wstring TypeText(DWORD type)
{
    std::wstring text = std::to_wstring(type & ~SERVICE_INTERACTIVE_PROCESS) + L"  ";
    text +=
        (type & SERVICE_WIN32_SHARE_PROCESS) != 0 ? L"WIN32_SHARE_PROCESS" : L"WIN32_OWN_PROCESS";
    if ((type & SERVICE_INTERACTIVE_PROCESS) != 0)
        text += L" (interactive)";
    return text;
}

std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    _snwprintf(text, 16, L"0x%x", value);
    return text;
}

void PrintStatus(const std::wstring& name, const SERVICE_STATUS_PROCESS& status, bool withPid)
{
    std::wstring text = L"\nSERVICE_NAME: " + name + L"\n";
    text += L"        TYPE               : " + TypeText(status.dwServiceType) + L"\n";
    text += L"        STATE              : " + std::to_wstring(status.dwCurrentState) + L"  " +
            StateName(status.dwCurrentState) + L"\n";
    text += L"        WIN32_EXIT_CODE    : " + std::to_wstring(status.dwWin32ExitCode) + L"  (" +
            Hex(status.dwWin32ExitCode) + L")\n";
    text += L"        SERVICE_EXIT_CODE  : " + std::to_wstring(status.dwServiceSpecificExitCode) +
            L"  (" + Hex(status.dwServiceSpecificExitCode) + L")\n";
    text += L"        CHECKPOINT         : " + Hex(status.dwCheckPoint) + L"\n";
    text += L"        WAIT_HINT          : " + Hex(status.dwWaitHint) + L"\n";
    if (withPid)
        text += L"        PID                : " + std::to_wstring(status.dwProcessId) + L"\n";
    Print(text);
}

// "start= auto" pairs after the service name; false when one lacks its value.
bool ParseOptions(const std::vector<std::wstring>& args, size_t first,
                  std::map<std::wstring, std::wstring>& options)
{
    for (size_t i = first; i < args.size(); ++i)
    {
        std::wstring key = args[i];
        size_t equal = key.find(L'=');
        if (equal == std::wstring::npos || equal == 0)
            return false;
        std::wstring value = key.substr(equal + 1);
        key.resize(equal);
        if (value.empty())
        {
            if (i + 1 >= args.size())
                return false;
            value = args[++i];
        }
        for (wchar_t& c : key)
            c = static_cast<wchar_t>(towlower(c));
        options[key] = value;
    }
    return true;
}

// SERVICE_NO_CHANGE for no "start=", ~0 - 1 for an unknown type.
DWORD StartType(const std::map<std::wstring, std::wstring>& options)
{
    auto found = options.find(L"start");
    if (found == options.end())
        return SERVICE_NO_CHANGE;
    if (_wcsicmp(found->second.c_str(), L"auto") == 0)
        return SERVICE_AUTO_START;
    if (_wcsicmp(found->second.c_str(), L"demand") == 0)
        return SERVICE_DEMAND_START;
    if (_wcsicmp(found->second.c_str(), L"disabled") == 0)
        return SERVICE_DISABLED;
    return SERVICE_NO_CHANGE - 1;
}

// "A/B" as a double-null list.
std::wstring Dependencies(const std::wstring& text)
{
    std::wstring list;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t slash = text.find(L'/', start);
        std::wstring item = text.substr(start, slash == std::wstring::npos ? slash : slash - start);
        if (!item.empty())
            list += item + L'\0';
        if (slash == std::wstring::npos)
            break;
        start = slash + 1;
    }
    return list + L'\0';
}

const wchar_t* Option(const std::map<std::wstring, std::wstring>& options, const wchar_t* key)
{
    auto found = options.find(key);
    return found == options.end() ? nullptr : found->second.c_str();
}

int Query(SC_HANDLE service, const std::wstring& name)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof status, &needed))
        return Failed(L"QueryServiceStatus", GetLastError());
    PrintStatus(name, status, false);
    return 0;
}

int QueryConfig(SC_HANDLE service, const std::wstring& name)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return Failed(L"QueryServiceConfig", GetLastError());
    std::vector<unsigned long long> buffer(needed / sizeof(unsigned long long) + 1);
    auto* config = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed))
        return Failed(L"QueryServiceConfig", GetLastError());
    static const wchar_t* const startNames[] = {L"BOOT_START", L"SYSTEM_START", L"AUTO_START",
                                                L"DEMAND_START", L"DISABLED"};
    static const wchar_t* const errorNames[] = {L"IGNORE", L"NORMAL", L"SEVERE", L"CRITICAL"};
    auto text = [](LPCWSTR value) { return std::wstring(value != nullptr ? value : L""); };
    std::wstring out = L"[SC] QueryServiceConfig SUCCESS\n\nSERVICE_NAME: " + name + L"\n";
    out += L"        TYPE               : " + TypeText(config->dwServiceType) + L"\n";
    out += L"        START_TYPE         : " + std::to_wstring(config->dwStartType) + L"   " +
           (config->dwStartType <= 4 ? startNames[config->dwStartType] : L"") + L"\n";
    out += L"        ERROR_CONTROL      : " + std::to_wstring(config->dwErrorControl) + L"   " +
           (config->dwErrorControl <= 3 ? errorNames[config->dwErrorControl] : L"") + L"\n";
    out += L"        BINARY_PATH_NAME   : " + text(config->lpBinaryPathName) + L"\n";
    out += L"        LOAD_ORDER_GROUP   : " + text(config->lpLoadOrderGroup) + L"\n";
    out += L"        TAG                : " + std::to_wstring(config->dwTagId) + L"\n";
    out += L"        DISPLAY_NAME       : " + text(config->lpDisplayName) + L"\n";
    out += L"        DEPENDENCIES       : ";
    bool first = true;
    for (LPCWSTR item = config->lpDependencies; item != nullptr && *item != L'\0';
         item += wcslen(item) + 1)
    {
        out += (first ? L"" : L"                           : ") + std::wstring(item) + L"\n";
        first = false;
    }
    if (first)
        out += L"\n";
    out += L"        SERVICE_START_NAME : " + text(config->lpServiceStartName) + L"\n";
    Print(out);
    return 0;
}

int Main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return static_cast<int>(GetLastError());
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);

    std::wstring server;
    if (!args.empty() && args[0].rfind(L"\\\\", 0) == 0)
    {
        server = args[0];
        args.erase(args.begin());
    }
    if (args.size() < 2)
        return Usage(L"Missing command or service name.");
    std::wstring command = args[0];
    for (wchar_t& c : command)
        c = static_cast<wchar_t>(towlower(c));
    const std::wstring& name = args[1];
    std::map<std::wstring, std::wstring> options;
    if (!ParseOptions(args, 2, options))
        return Usage(L"An option lacks its value.");
    bool known = command == L"create" || command == L"start" || command == L"stop" ||
                 command == L"delete" || command == L"query" || command == L"qc" ||
                 command == L"config";
    if (!known)
        return Usage(L"Unknown command.");
    DWORD startType = StartType(options);
    if (startType == SERVICE_NO_CHANGE - 1)
        return Usage(L"start= takes auto, demand or disabled.");
    if (command != L"create" && command != L"config" && !options.empty())
        return Usage(L"This command takes no options.");

    SC_HANDLE manager =
        OpenSCManagerW(server.empty() ? nullptr : server.c_str(), nullptr,
                       command == L"create" ? SC_MANAGER_CREATE_SERVICE : SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return Failed(L"OpenSCManager", GetLastError());

    int rc = 0;
    if (command == L"create")
    {
        const wchar_t* path = Option(options, L"binpath");
        const wchar_t* depend = Option(options, L"depend");
        std::wstring dependencies = depend != nullptr ? Dependencies(depend) : L"";
        SC_HANDLE service = nullptr;
        if (path == nullptr)
            rc = Usage(L"create needs binPath=.");
        else if ((service = CreateServiceW(
                      manager, name.c_str(), Option(options, L"displayname"), SERVICE_ALL_ACCESS,
                      SERVICE_WIN32_OWN_PROCESS,
                      startType == SERVICE_NO_CHANGE ? SERVICE_DEMAND_START : startType,
                      SERVICE_ERROR_NORMAL, path, nullptr, nullptr,
                      depend != nullptr ? dependencies.c_str() : nullptr, nullptr, nullptr)) ==
                 nullptr)
            rc = Failed(L"CreateService", GetLastError());
        else
        {
            Print(L"[SC] CreateService SUCCESS\n");
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
        return rc;
    }

    DWORD access = SERVICE_QUERY_STATUS;
    if (command == L"start")
        access |= SERVICE_START;
    else if (command == L"stop")
        access |= SERVICE_STOP;
    else if (command == L"delete")
        access = DELETE;
    else if (command == L"qc")
        access = SERVICE_QUERY_CONFIG;
    else if (command == L"config")
        access = SERVICE_CHANGE_CONFIG;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), access);
    if (service == nullptr)
        rc = Failed(L"OpenService", GetLastError());
    else if (command == L"query")
        rc = Query(service, name);
    else if (command == L"qc")
        rc = QueryConfig(service, name);
    else if (command == L"start")
    {
        if (!StartServiceW(service, 0, nullptr))
            rc = Failed(L"StartService", GetLastError());
        else
        {
            SERVICE_STATUS_PROCESS status = {};
            DWORD needed = 0;
            QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                 sizeof status, &needed);
            PrintStatus(name, status, true);
        }
    }
    else if (command == L"stop")
    {
        SERVICE_STATUS status = {};
        if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
            rc = Failed(L"ControlService", GetLastError());
        else
        {
            SERVICE_STATUS_PROCESS shown = {};
            shown.dwServiceType = status.dwServiceType;
            shown.dwCurrentState = status.dwCurrentState;
            shown.dwWin32ExitCode = status.dwWin32ExitCode;
            shown.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
            shown.dwCheckPoint = status.dwCheckPoint;
            shown.dwWaitHint = status.dwWaitHint;
            PrintStatus(name, shown, false);
        }
    }
    else if (command == L"delete")
    {
        if (!DeleteService(service))
            rc = Failed(L"DeleteService", GetLastError());
        else
            Print(L"[SC] DeleteService SUCCESS\n");
    }
    else // config
    {
        const wchar_t* depend = Option(options, L"depend");
        std::wstring dependencies = depend != nullptr ? Dependencies(depend) : L"";
        if (!ChangeServiceConfigW(service, SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE,
                                  Option(options, L"binpath"), nullptr, nullptr,
                                  depend != nullptr ? dependencies.c_str() : nullptr, nullptr,
                                  nullptr, Option(options, L"displayname")))
            rc = Failed(L"ChangeServiceConfig", GetLastError());
        else
            Print(L"[SC] ChangeServiceConfig SUCCESS\n");
    }
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

} // namespace

int main()
{
    ExitProcess(static_cast<DWORD>(Main()));
}
