// A program that loads the C++ runtime and fleetkit.dll, as every program of ours does, and
// ends: what any of our programs pays before its own work.
#include "winport/WinBase.h"

int main()
{
    return static_cast<int>(GetLastError());
}
