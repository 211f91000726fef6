#include "framework/CFrameworkGlobalVariables.h"

#include <new>

namespace
{
CFrameworkGlobalVariables* s_pFrameworkGlobalVariables = nullptr;
}

CFrameworkGlobalVariables* GetFrameworkGlobalVariables()
{
    if (s_pFrameworkGlobalVariables == nullptr)
        s_pFrameworkGlobalVariables = new (std::nothrow) CFrameworkGlobalVariables();
    return s_pFrameworkGlobalVariables;
}

void FreeFrameworkGlobalVariables()
{
    delete s_pFrameworkGlobalVariables;
    s_pFrameworkGlobalVariables = nullptr;
}

CFrameworkGlobalVariables* PeekFrameworkGlobalVariables() { return s_pFrameworkGlobalVariables; }
