// The per-process bundle of shared services of the wizard and the backend.
#pragma once

#include "framework/CMessageSupport.h"
#include "framework/CPropertyManager.h"
#include "framework/CStringBundler.h"

class CFrameworkGlobalVariables
{
public:
    // Members are destroyed in reverse order: string bundle, property store, message bus.
    CMessageSupport m_MessageSupport;
    CPropertyManager m_PropertyManager;
    CStringBundler m_StringBundler;
};

// The process instance, created on the first call (made on the main thread at start-up).
CFrameworkGlobalVariables* GetFrameworkGlobalVariables();
void FreeFrameworkGlobalVariables();
// The process instance if there is one; never creates it.
CFrameworkGlobalVariables* PeekFrameworkGlobalVariables();

// The process's global property store.
inline CPropertyManager& GlobalProperties()
{
    return GetFrameworkGlobalVariables()->m_PropertyManager;
}
