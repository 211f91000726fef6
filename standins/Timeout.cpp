// The wait command of batch files:
//   timeout /T SECONDS [/NOBREAK]      (also "timeout SECONDS"; -1 waits until it is ended)
// It waits and exits with 0; bad arguments give one line on standard error and exit 1. There is
// no keyboard to break a wait, so /NOBREAK changes nothing but is accepted.
#include "winport/WinBase.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace
{

constexpr long kLongest = 99999;

int Refuse(const std::wstring& message)
{
    fprintf(stderr, "ERROR: %s\n", winport::ToUtf8(message).c_str());
    return 1;
}

bool IsSwitch(const std::wstring& arg, const wchar_t* name)
{
    return (arg[0] == L'/' || arg[0] == L'-') && _wcsicmp(arg.c_str() + 1, name) == 0;
}

int Main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
        return Refuse(L"Invalid syntax.");
    std::vector<std::wstring> args(argv + 1, argv + argc);
    LocalFree(argv);

    const std::wstring* value = nullptr;
    for (size_t i = 0; i < args.size(); ++i)
    {
        const std::wstring& arg = args[i];
        if (arg.empty())
            return Refuse(L"Invalid syntax.");
        if (IsSwitch(arg, L"NOBREAK"))
            continue;
        bool named = IsSwitch(arg, L"T");
        if (!named && (arg[0] == L'/' || (arg[0] == L'-' && arg.size() > 1 && !iswdigit(arg[1]))))
            return Refuse(L"Invalid argument/option - '" + arg + L"'.");
        if (value != nullptr)
            return Refuse(L"Invalid syntax. Default option is not allowed more than '1' time(s).");
        if (named && i + 1 >= args.size())
            return Refuse(L"Invalid syntax. Value expected for '/T'.");
        value = named ? &args[++i] : &arg;
    }
    if (value == nullptr)
        return Refuse(L"Invalid syntax. Value expected for '/T'.");
    wchar_t* end = nullptr;
    long seconds = wcstol(value->c_str(), &end, 10);
    if (value->empty() || *end != L'\0' || seconds < -1 || seconds > kLongest)
        return Refuse(L"Invalid value for timeout (/T) specified. Valid range is -1 to 99999.");

    if (seconds < 0)
    {
        printf("Press CTRL+C to quit ...\n");
        fflush(stdout);
        Sleep(INFINITE);
    }
    printf("Waiting for %ld seconds, press CTRL+C to quit ...\n", seconds);
    fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    return 0;
}

} // namespace

int main()
{
    return Main();
}
