// testactions.dll: actions for the host's tests: one that succeeds and shows what it was given,
// one that fails, one that takes its time, one that crashes.
#include "package/ActionSupport.h"
#include "winport/WinBase.h"

#include <csignal>

PACKAGE_ACTION Succeed()
{
    PackageProperties()->SetProperty(L"Test.SeenParameter", CActionParameters().Text());
    return true;
}

PACKAGE_ACTION Fail()
{
    return false;
}

PACKAGE_ACTION TakeTime()
{
    Sleep(static_cast<DWORD>(CStringSupport::StringToInt(CActionParameters().Get(L"ms"))));
    return true;
}

PACKAGE_ACTION Crash()
{
    std::raise(SIGSEGV);
    return true;
}
