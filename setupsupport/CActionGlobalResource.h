// The process-wide resources of the package runtime: the package's properties (backed by
// "properties.txt"), its message bundle ("package.dat"), and the names every program and action
// library of a package shares.
#pragma once

#include "framework/CPropertyManager.h"
#include "framework/CStringBundler.h"

#include <string>
#include <vector>

class CActionGlobalResource
{
public:
    // False when the property file is there but cannot be read: its properties are then not
    // loaded, and a caller must not write the file over.
    static bool InitializeResource(const std::wstring& propertyFilePath,
                                   const std::wstring& bundlerFilePath);
    // Rewrites the property file whole with the properties as they are now.
    static void WritePropertyToFile();
    static void UninitializeResource();
    // The bundle's text of a message id; the id itself when there is no bundle or no text, so
    // that a user still reads which message it was.
    static std::wstring GetMessageText(const std::wstring& id);
    // Test only: whether the property "Test.FailAction" ("ACTION:POINT") names the running
    // action (its host run's name) and this point of its work: "before", "middle" or "after".
    // An action that fails so undoes its own work first, as for any failure.
    static bool IsFaultInjected(const wchar_t* point);

    static CPropertyManager* s_pPropertyManager;
    static CStringBundler* s_pStringBundler;
    static std::wstring s_strPropertyFilePath;
    static std::wstring s_strBundlerFilePath;
};

// Names between markers in a text ("$$NAME$$" in the engine script template, "%NAME%" in its
// symbols): from each opening marker to the next, then on behind the closing one, so that text
// between a closing and the next opening marker is never a name. An unmatched marker is ignored;
// empty names and duplicates are kept.
std::vector<std::wstring> CollectMarkedNames(const std::wstring& text, const std::wstring& marker);

// The names shared by the package runtime.
namespace PackageNames
{
constexpr const wchar_t* kActionHost = L"actionhost.exe";
constexpr const wchar_t* kPropertyFile = L"properties.txt";
constexpr const wchar_t* kMessageBundle = L"package.dat";
constexpr const wchar_t* kCleanScript = L"clean.bat";
constexpr const wchar_t* kAddList = L"installAddFileList.txt";
constexpr const wchar_t* kOverrideList = L"installOverrideFileList.txt";
constexpr const wchar_t* kUninstallBackup = L"uninstall_bakckup_temp";
constexpr const wchar_t* kParameterString = L"CustomAction.ParameterString";
constexpr const wchar_t* kSkipCurrentRollbackAction = L"SkipCurrentRollbackAction";
constexpr const wchar_t* kInstallationStatus = L"CurrentInstallationStatus";
constexpr const wchar_t* kRunningTime = L"RunningTime";
constexpr const wchar_t* kCurrentBuild = L"CurrentBuild";
constexpr const wchar_t* kBeginActionFlag = L"BegineActionFlag";
constexpr const wchar_t* kFileLockInformation = L"InstallFileLockProcessInformation";
constexpr const wchar_t* kActionName = L"CustomAction.Name";
constexpr const wchar_t* kTestFailAction = L"Test.FailAction";
constexpr const wchar_t* kProductKey = L"SOFTWARE\\Halvorn\\Parvel for Exchange\\CurrentVersion";
} // namespace PackageNames
