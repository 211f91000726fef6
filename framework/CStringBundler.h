// User-visible texts by id, from a string bundle file in the provider form.
#pragma once

#include "framework/CPropertyManager.h"
#include "framework/Sync.h"

#include <memory>
#include <string>

class CStringBundler
{
public:
    CStringBundler();
    virtual ~CStringBundler() = default;
    CStringBundler(const CStringBundler&) = delete;
    CStringBundler& operator=(const CStringBundler&) = delete;

    // Reads the whole bundle aside and swaps it in; a bundle that cannot be read, or is cut
    // short, keeps the previous texts.
    int LoadStringBundle(const std::wstring& path);
    // Takes the texts another bundler has loaded, without reading the file again.
    void ShareStringsOf(CStringBundler& other);
    std::wstring GetString(const std::wstring& id);
    void Clear();

private:
    // The texts in force and the file they came from, replaced together under m_Lock; a
    // reader keeps the store it took even while a reload swaps in the next one.
    std::shared_ptr<CPropertyManager> m_pStrings;
    std::wstring m_strBundleFilePath;
    CSimpleCriticalSection m_Lock;
};
