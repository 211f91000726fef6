// The package runtime's process-wide resources.
#include "setupsupport/CActionGlobalResource.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "framework/Serialization.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"

CPropertyManager* CActionGlobalResource::s_pPropertyManager = nullptr;
CStringBundler* CActionGlobalResource::s_pStringBundler = nullptr;
std::wstring CActionGlobalResource::s_strPropertyFilePath;
std::wstring CActionGlobalResource::s_strBundlerFilePath;

bool CActionGlobalResource::InitializeResource(const std::wstring& propertyFilePath,
                                               const std::wstring& bundlerFilePath)
{
    s_strPropertyFilePath = propertyFilePath;
    s_strBundlerFilePath = bundlerFilePath;
    delete s_pPropertyManager;
    delete s_pStringBundler;
    s_pPropertyManager = new CPropertyManager();
    s_pStringBundler = new CStringBundler();
    CPersistentStorageFile storage(propertyFilePath);
    bool read = true;
    if (!CFileSupport::IsExist(propertyFilePath))
        CSerializer::SerializeObjectToStorage(s_pPropertyManager, &storage);
    else
        read = CSerializer::ConstructObjectFromStorage(s_pPropertyManager, &storage) != 0;
    if (!read)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"The property file [%s] cannot be read",
               propertyFilePath.c_str());
    s_pStringBundler->LoadStringBundle(bundlerFilePath);
    CStatusReporter::Initialize(*s_pStringBundler, s_pPropertyManager);
    return read;
}

void CActionGlobalResource::WritePropertyToFile()
{
    if (s_pPropertyManager == nullptr)
        return;
    if (s_strPropertyFilePath.empty())
        return;
    // Written beside and then put in place in one step: a process killed while writing leaves
    // the previous file whole, since the later actions (and a rollback) live on its values.
    std::wstring next = s_strPropertyFilePath + L".new";
    DeleteFileW(next.c_str());
    {
        CPersistentStorageFile storage(next);
        CSerializer::SerializeObjectToStorage(s_pPropertyManager, &storage);
    }
    if (!MoveFileExW(next.c_str(), s_strPropertyFilePath.c_str(), MOVEFILE_REPLACE_EXISTING))
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Write property file [%s] failed, error %d",
               s_strPropertyFilePath.c_str(), static_cast<int>(GetLastError()));
}

void CActionGlobalResource::UninitializeResource()
{
    delete s_pPropertyManager;
    s_pPropertyManager = nullptr;
    delete s_pStringBundler;
    s_pStringBundler = nullptr;
    delete CStatusReporter::m_pStringBundler;
    CStatusReporter::m_pStringBundler = nullptr;
    CStatusReporter::m_pPropertyManager = nullptr; // it was ours
    CPackageStatusReport::Uninit();
}

std::wstring CActionGlobalResource::GetMessageText(const std::wstring& id)
{
    std::wstring text =
        s_pStringBundler != nullptr ? s_pStringBundler->GetString(id) : std::wstring();
    return text.empty() ? id : text;
}

bool CActionGlobalResource::IsFaultInjected(const wchar_t* point)
{
    if (s_pPropertyManager == nullptr ||
        !s_pPropertyManager->IsPropertyExist(PackageNames::kTestFailAction))
        return false;
    std::wstring wanted = s_pPropertyManager->GetProperty(PackageNames::kTestFailAction);
    std::wstring action = s_pPropertyManager->GetProperty(PackageNames::kActionName);
    if (action.empty() || !CStringSupport::IsStringEqualIgnoreCase(wanted, action + L":" + point))
        return false;
    ADVLOG(ADVLOG_SEVERITY_WARNING, L"Test fault: the action %s fails %s its work", action.c_str(),
           point);
    return true;
}

std::vector<std::wstring> CollectMarkedNames(const std::wstring& text, const std::wstring& marker)
{
    std::vector<std::wstring> names;
    size_t length = text.size(), at = 0;
    while (at < length)
    {
        size_t open = text.find(marker, at);
        if (open == std::wstring::npos || open + marker.size() >= length)
            break;
        size_t close = text.find(marker, open + marker.size());
        if (close == std::wstring::npos)
            break;
        names.push_back(text.substr(open + marker.size(), close - open - marker.size()));
        at = close + marker.size();
    }
    return names;
}
