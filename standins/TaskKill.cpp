// The process-ending command of batch files:
//   taskkill /PID N [/PID N ...] [/IM NAME ...] [/F]
// ends each process named (by id, or every process of the machine whose program file has that
// name) with TerminateProcess and exit code 1. There are no windows to ask to close, so a process
// is ended with or without /F. Exit code 0 when all were ended, 128 when one was not found, 1 when
// one could not be ended or the arguments are wrong.
#include "setupsupport/CProcessOperation.h"
#include "winport/TlHelp32.h"
#include "winport/WinBase.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr int kNotFound = 128;
constexpr DWORD kGuard = 30000; // how long an ended process may take to go

void Print(FILE* stream, const std::wstring& text)
{
    fputs(winport::ToUtf8(text + L"\n").c_str(), stream);
}

std::wstring SystemMessage(DWORD error)
{
    wchar_t buffer[512] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, buffer, 512, nullptr);
    std::wstring text(buffer, length);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

bool IsSwitch(const std::wstring& arg, const wchar_t* name)
{
    return !arg.empty() && (arg[0] == L'/' || arg[0] == L'-') &&
           _wcsicmp(arg.c_str() + 1, name) == 0;
}

// Ends one process; its exit code for the tool, the messages printed. image names the process
// as /IM found it, empty for /PID.
int End(DWORD pid, const std::wstring& shownId, const std::wstring& image)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    DWORD error = process == nullptr ? GetLastError() : ERROR_SUCCESS;
    if (process != nullptr && !TerminateProcess(process, 1))
        error = GetLastError();
    if (process != nullptr && error == ERROR_SUCCESS)
        WaitForSingleObject(process, kGuard);
    if (process != nullptr)
        CloseHandle(process);
    std::wstring named = image.empty() ? L"" : L"\"" + image + L"\" ";
    if (error == ERROR_SUCCESS)
    {
        Print(stdout,
              L"SUCCESS: The process " + named + L"with PID " + shownId + L" has been terminated.");
        return 0;
    }
    if (error == ERROR_INVALID_PARAMETER) // no such process (any more)
    {
        Print(stderr,
              L"ERROR: The process \"" + (image.empty() ? shownId : image) + L"\" not found.");
        return kNotFound;
    }
    Print(stderr, L"ERROR: The process " + named + L"with PID " + shownId +
                      L" could not be terminated.\nReason: " + SystemMessage(error));
    return 1;
}

// The processes of this machine whose program file is named so, other than this one, with the
// name as the process has it.
std::vector<std::pair<DWORD, std::wstring>> ProcessesNamed(const std::wstring& image)
{
    std::vector<std::pair<DWORD, std::wstring>> found;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
    {
        if (entry.th32ProcessID != GetCurrentProcessId() &&
            _wcsicmp(entry.szExeFile, image.c_str()) == 0)
            found.emplace_back(entry.th32ProcessID, entry.szExeFile);
    }
    CloseHandle(snapshot);
    return found;
}

int Main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return 1;
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);

    std::vector<std::wstring> ids, images;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        if (IsSwitch(arg, L"F"))
            continue;
        bool pid = IsSwitch(arg, L"PID");
        if (!pid && !IsSwitch(arg, L"IM"))
        {
            Print(stderr, L"ERROR: Invalid argument/option - '" + arg + L"'.");
            return 1;
        }
        if (i + 1 >= args.size())
        {
            Print(stderr, L"ERROR: Invalid syntax. Value expected for '" + arg + L"'.");
            return 1;
        }
        (pid ? ids : images).push_back(args[++i]);
    }
    if (ids.empty() && images.empty())
    {
        Print(stderr, L"ERROR: Invalid syntax. Neither /FI nor /PID nor /IM were specified.");
        return 1;
    }

    // As Windows' own kill tool, with the debug privilege, so that services can be ended.
    CProcessOperation::EnableDebugPrivilege(true);
    int result = 0;
    for (const std::wstring& id : ids)
    {
        wchar_t* end = nullptr;
        unsigned long pid = wcstoul(id.c_str(), &end, 10);
        bool number = !id.empty() && iswdigit(id[0]) && *end == L'\0' && pid <= 0xFFFFFFFFul;
        int code = kNotFound;
        if (number)
            code = End(static_cast<DWORD>(pid), id, L"");
        else
            Print(stderr, L"ERROR: The process \"" + id + L"\" not found.");
        result = std::max(result, code);
    }
    for (const std::wstring& image : images)
    {
        auto processes = ProcessesNamed(image);
        if (processes.empty())
        {
            Print(stderr, L"ERROR: The process \"" + image + L"\" not found.");
            result = std::max(result, kNotFound);
        }
        for (const auto& [pid, name] : processes)
            result = std::max(result, End(pid, std::to_wstring(pid), name));
    }
    return result;
}

} // namespace

int main()
{
    int code = Main();
    fflush(stdout);
    return code;
}
