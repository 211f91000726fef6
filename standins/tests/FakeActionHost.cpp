// A custom action host for the patch engine's tests: appends "current folder|command line" to
// "hostcalls.txt" of its folder and exits with the code that "hostcodes.txt" of its folder gives
// its function (lines "Function=code"; 0 for a function not named there). "code@ms" ends after a
// delay of ms milliseconds and then appends "|host ended FUNCTION"; "code!" moves the host away
// (to "actionhost.gone"), so that no later host can be started.
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <cstdio>
#include <string>

int main()
{
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return 70;
    wchar_t buffer[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    std::wstring folder(buffer, n < MAX_PATH ? n : 0);
    folder.erase(folder.rfind(L'\\') + 1);
    n = GetCurrentDirectoryW(MAX_PATH, buffer);
    std::wstring current(buffer, n < MAX_PATH ? n : 0);

    FILE* calls = _wfopen((folder + L"hostcalls.txt").c_str(), L"ab");
    if (calls == nullptr)
        return 99;
    fputs(winport::ToUtf8(current + L"|" + GetCommandLineW() + L"\n").c_str(), calls);
    fclose(calls);

    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring function = argv != nullptr && argc == 7 ? argv[3] : L"(bad command line)";
    LocalFree(argv);
    int code = function == L"(bad command line)" ? 98 : 0;
    std::wstring how;
    if (FILE* codes = _wfopen((folder + L"hostcodes.txt").c_str(), L"rt"))
    {
        wchar_t line[256];
        while (winport::fgetws(line, 256, codes) != nullptr)
            if (std::wstring(line).rfind(function + L"=", 0) == 0)
            {
                how = line + function.size() + 1;
                code = _wtoi(how.c_str());
            }
        fclose(codes);
    }
    size_t delay = how.find(L'@');
    if (delay != std::wstring::npos)
    {
        Sleep(static_cast<DWORD>(_wtoi(how.c_str() + delay + 1)));
        if (FILE* ends = _wfopen((folder + L"hostcalls.txt").c_str(), L"ab"))
        {
            fputs(winport::ToUtf8(L"|host ended " + function + L"\n").c_str(), ends);
            fclose(ends);
        }
    }
    if (how.find(L'!') != std::wstring::npos &&
        !MoveFileW((folder + L"actionhost.exe").c_str(), (folder + L"actionhost.gone").c_str()))
        return 97;
    return code;
}
