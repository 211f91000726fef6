#include "framework/CStringBundler.h"

#include "framework/CAdvancedLog.h"

CStringBundler::CStringBundler() : m_pStrings(std::make_shared<CPropertyManager>()) {}

int CStringBundler::LoadStringBundle(const std::wstring& path)
{
    auto loaded = std::make_shared<CPropertyManager>();
    CPersistentStorageFile storage(path);
    if (!CSerializer::ConstructObjectFromStorage(loaded.get(), &storage))
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CStringBundler::LoadStringBundle");
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"LoadStringBundle, ConstructObjectFromStorage return false. Setup is unable to "
               L"read string resource from %s",
               path.c_str());
        return 0;
    }
    CCriticalSectionSentry sentry(m_Lock);
    m_pStrings.swap(loaded);
    m_strBundleFilePath = path;
    return 1;
}

void CStringBundler::ShareStringsOf(CStringBundler& other)
{
    std::shared_ptr<CPropertyManager> strings;
    std::wstring path;
    {
        CCriticalSectionSentry sentry(other.m_Lock);
        strings = other.m_pStrings;
        path = other.m_strBundleFilePath;
    }
    CCriticalSectionSentry sentry(m_Lock);
    m_pStrings.swap(strings);
    m_strBundleFilePath.swap(path);
}

std::wstring CStringBundler::GetString(const std::wstring& id)
{
    std::shared_ptr<CPropertyManager> strings;
    std::wstring bundlePath;
    {
        CCriticalSectionSentry sentry(m_Lock);
        strings = m_pStrings;
        bundlePath = m_strBundleFilePath;
    }
    std::wstring text = strings->GetProperty(id);
    if (!text.empty())
        return text;
    if (!bundlePath.empty())
        ADVLOG(ADVLOG_SEVERITY_FATAL,
               L"CStringBundler::GetString('%s') failed. Unable to get string. Current resource "
               L"bundle file is %s",
               id.c_str(), bundlePath.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_FATAL,
               L"CStringBundler::GetString('%s') failed. Unable to get string. Resource bundle "
               L"file is not specified",
               id.c_str());
    return std::wstring();
}

void CStringBundler::Clear()
{
    auto empty = std::make_shared<CPropertyManager>();
    CCriticalSectionSentry sentry(m_Lock);
    m_pStrings.swap(empty);
    m_strBundleFilePath.clear();
}
