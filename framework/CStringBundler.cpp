#include "framework/CStringBundler.h"

#include "framework/CAdvancedLog.h"

int CStringBundler::LoadStringBundle(const std::wstring& path)
{
    // Read into a fresh store first, so that a bundle that cannot be read keeps the old texts.
    CPropertyManager loaded;
    CPersistentStorageFile storage(path);
    if (!CSerializer::ConstructObjectFromStorage(&loaded, &storage))
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CStringBundler::LoadStringBundle");
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"LoadStringBundle, ConstructObjectFromStorage return false. Setup is unable to "
               L"read string resource from %s",
               path.c_str());
        return 0;
    }
    m_Strings.Clear();
    m_Strings.LoadPropertiesFromAnotherInstance(&loaded);
    m_strBundleFilePath = path;
    return 1;
}

std::wstring CStringBundler::GetString(const std::wstring& id)
{
    std::wstring text = m_Strings.GetProperty(id);
    if (!text.empty())
        return text;
    if (!m_strBundleFilePath.empty())
        ADVLOG(ADVLOG_SEVERITY_FATAL,
               L"CStringBundler::GetString('%s') failed. Unable to get string. Current resource "
               L"bundle file is %s",
               id.c_str(), m_strBundleFilePath.c_str());
    else
        ADVLOG(ADVLOG_SEVERITY_FATAL,
               L"CStringBundler::GetString('%s') failed. Unable to get string. Resource bundle "
               L"file is not specified",
               id.c_str());
    return std::wstring();
}

void CStringBundler::Clear()
{
    m_Strings.Clear();
    m_strBundleFilePath.clear();
}
