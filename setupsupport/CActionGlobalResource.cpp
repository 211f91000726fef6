// The package runtime's process-wide resources.
#include "setupsupport/CActionGlobalResource.h"

#include "framework/Serialization.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinFile.h"

CPropertyManager* CActionGlobalResource::s_pPropertyManager = nullptr;
CStringBundler* CActionGlobalResource::s_pStringBundler = nullptr;
std::wstring CActionGlobalResource::s_strPropertyFilePath;
std::wstring CActionGlobalResource::s_strBundlerFilePath;

void CActionGlobalResource::InitializeResource(const std::wstring& propertyFilePath,
                                               const std::wstring& bundlerFilePath)
{
    s_strPropertyFilePath = propertyFilePath;
    s_strBundlerFilePath = bundlerFilePath;
    delete s_pPropertyManager;
    delete s_pStringBundler;
    s_pPropertyManager = new CPropertyManager();
    s_pStringBundler = new CStringBundler();
    CPersistentStorageFile storage(propertyFilePath);
    if (!CFileSupport::IsExist(propertyFilePath))
        CSerializer::SerializeObjectToStorage(s_pPropertyManager, &storage);
    else
        CSerializer::ConstructObjectFromStorage(s_pPropertyManager, &storage);
    s_pStringBundler->LoadStringBundle(bundlerFilePath);
    CStatusReporter::Initialize(bundlerFilePath, s_pPropertyManager);
}

void CActionGlobalResource::WritePropertyToFile()
{
    if (s_pPropertyManager == nullptr)
        return;
    CPersistentStorageFile storage(s_strPropertyFilePath);
    if (!s_strPropertyFilePath.empty())
        DeleteFileW(s_strPropertyFilePath.c_str());
    CSerializer::SerializeObjectToStorage(s_pPropertyManager, &storage);
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
