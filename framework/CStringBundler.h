// User-visible texts by id, from a string bundle file in the provider form.
#pragma once

#include "framework/CPropertyManager.h"

#include <string>

class CStringBundler
{
public:
    virtual ~CStringBundler() = default;

    int LoadStringBundle(const std::wstring& path);
    std::wstring GetString(const std::wstring& id);
    void Clear();

private:
    CPropertyManager m_Strings;
    std::wstring m_strBundleFilePath;
};
