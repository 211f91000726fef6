// What every action of an action library does first: read its parameters from the package's
// properties.
#pragma once

#include "framework/CStringSupport.h"
#include "setupsupport/CActionGlobalResource.h"

#include <initializer_list>
#include <map>
#include <string>

// Action libraries export their actions under their own names, with C linkage.
#define PACKAGE_ACTION extern "C" __attribute__((visibility("default"))) bool

class CActionParameters
{
public:
    CActionParameters()
        : m_strText(CActionGlobalResource::s_pPropertyManager != nullptr
                        ? CActionGlobalResource::s_pPropertyManager->GetProperty(
                              PackageNames::kParameterString)
                        : std::wstring()),
          m_Items(CStringSupport::StringToMap(m_strText, L'=', L','))
    {
    }
    const std::wstring& Text() const { return m_strText; }
    bool Has(std::initializer_list<const wchar_t*> keys) const
    {
        for (const wchar_t* key : keys)
            if (m_Items.find(key) == m_Items.end())
                return false;
        return true;
    }
    // The value without the double quotes around it; empty when the key is not there.
    std::wstring Get(const wchar_t* key) const
    {
        auto found = m_Items.find(key);
        return found == m_Items.end() ? std::wstring()
                                      : CStringSupport::StringTrim(found->second, L"\"");
    }

private:
    std::wstring m_strText;
    std::map<std::wstring, std::wstring> m_Items;
};

inline CPropertyManager* PackageProperties()
{
    return CActionGlobalResource::s_pPropertyManager;
}
