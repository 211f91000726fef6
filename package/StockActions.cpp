// stockactions.dll: the generic custom actions of a package: the start of a run, the install
// copy and its undoing, the package's uninstall files, registry changes, a command, the end.
// Service actions are in StockServiceActions.cpp.
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "package/ActionSupport.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CFileSupport.h"
#include "setupsupport/CRegistrySupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"
#include "winport/WinReg.h"

#include <string>
#include <vector>

namespace
{

const wchar_t kSymbolsSection[] = L"[ProductInstall.Symbols]";
const wchar_t kSetupWarning[] = L"SP2SetupWarning";
// A symbol that refers to itself would expand for ever.
constexpr int kMaximumExpansionRounds = 32;

std::wstring ErrorText(DWORD code)
{
    return CStringSupport::ConvertWin32ErrorCodeToString(code);
}

// Replaces every "%NAME%" by the property's value (empty when there is none), again and again
// while names are left.
std::wstring ExpandSymbol(std::wstring value)
{
    CPropertyManager* properties = PackageProperties();
    for (int round = 0; round < kMaximumExpansionRounds; ++round)
    {
        std::vector<std::wstring> names = CollectMarkedNames(value, L"%");
        if (names.empty())
            return value;
        for (const std::wstring& name : names)
            value = CStringSupport::StringReplace(
                value, L"%" + name + L"%",
                properties->IsPropertyExist(name) ? properties->GetProperty(name) : std::wstring());
    }
    ADVLOG(ADVLOG_SEVERITY_WARNING,
           L"The symbol value [%s] still refers to symbols after %d rounds", value.c_str(),
           kMaximumExpansionRounds);
    return value;
}

void ReadSymbols()
{
    std::vector<std::wstring> lines;
    if (!CFileSupport::ReadFileContentIntoVector(L".\\hotfix.ini", nullptr, lines))
        return;
    bool inSection = false;
    for (std::wstring line : lines)
    {
        line = CStringSupport::StringTrim(line, L"\r");
        if (inSection && CStringSupport::IsStringBeginWith(line, L"[") &&
            CStringSupport::IsStringEndWith(line, L"]"))
            break;
        if (!inSection)
        {
            inSection = line == kSymbolsSection;
            continue;
        }
        size_t at = line.find(L'=');
        if (at == std::wstring::npos)
            continue;
        PackageProperties()->SetProperty(line.substr(0, at), ExpandSymbol(line.substr(at + 1)));
    }
}

// The product's value "SP2SetupWarning" as it is (exists, text), to be put back.
struct SSetupWarning
{
    bool exists = false;
    std::wstring text;
};

bool OpenProductKey(REGSAM access, HKEY& key)
{
    LSTATUS rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, PackageNames::kProductKey, 0,
                               access | KEY_WOW64_64KEY, &key);
    if (rc == ERROR_SUCCESS)
        return true;
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"warningMsgKey.Open failed because:%d, %s", static_cast<int>(rc),
           ErrorText(static_cast<DWORD>(rc)).c_str());
    return false;
}

SSetupWarning ReadSetupWarning()
{
    SSetupWarning warning;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, PackageNames::kProductKey, 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return warning;
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    warning.exists = RegQueryValueExW(key, kSetupWarning, nullptr, &type,
                                      reinterpret_cast<BYTE*>(buffer), &size) == ERROR_SUCCESS;
    warning.text = buffer;
    RegCloseKey(key);
    return warning;
}

void WriteSetupWarning(const SSetupWarning& warning)
{
    HKEY key = nullptr;
    if (!OpenProductKey(KEY_SET_VALUE, key))
        return;
    LSTATUS rc =
        warning.exists
            ? RegSetValueExW(key, kSetupWarning, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(warning.text.c_str()),
                             static_cast<DWORD>((warning.text.size() + 1) * sizeof(wchar_t)))
            : RegDeleteValueW(key, kSetupWarning);
    if (rc != ERROR_SUCCESS)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"warningMsgKey.SetValue failed because:%d, %s",
               static_cast<int>(rc), ErrorText(static_cast<DWORD>(rc)).c_str());
    RegCloseKey(key);
}

bool CopyFailed(const CNormalErrorHandle& result)
{
    CStatusReporter::ReportErrorMessageWithFormat(L"error.GeneralError",
                                                  result.GetErrorMessage().c_str());
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    return false;
}

// The lock information of a copy, kept for the final report.
void KeepLockInformation(const CNormalErrorHandle& result)
{
    if (result.GetSuccessMessage().empty())
        return;
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"write property %s, %s", PackageNames::kFileLockInformation,
           result.GetSuccessMessage().c_str());
    PackageProperties()->SetProperty(PackageNames::kFileLockInformation,
                                     result.GetSuccessMessage());
}

const wchar_t kCleanScript[] = L"REM Firstline guard\n"
                               L"SET UninstallDir=%~dp0Uninstall\n"
                               L":delete_start\n"
                               L"del \"%UninstallDir%\\*\" /Q /F /S\n"
                               L"if exist \"%UninstallDir%\\patchstarter.exe\" (ping -n 3 "
                               L"127.0.0.1 >nul\n"
                               L"goto delete_start)\n"
                               L"rmdir \"%UninstallDir%\" /Q /S\n"
                               L"del \"%UninstallDir%\\..\\clean.bat\" /Q \n";

} // namespace

PACKAGE_ACTION Initialize()
{
    ADVLOG_TRACE_FUNCTION(L"Initialize");
    ReadSymbols();
    // The symbols only fill the package's own properties: a fault up to here leaves nothing.
    if (CActionGlobalResource::IsFaultInjected(L"before") ||
        CActionGlobalResource::IsFaultInjected(L"middle"))
        return false;
    SSetupWarning previous = ReadSetupWarning();
    WriteSetupWarning(SSetupWarning{true, L""});
    if (CActionGlobalResource::IsFaultInjected(L"after"))
    {
        WriteSetupWarning(previous);
        return false;
    }
    return true;
}

PACKAGE_ACTION Install_CopyFile()
{
    ADVLOG_TRACE_FUNCTION(L"Install_CopyFile");
    CActionParameters parameters;
    if (!parameters.Has({L"BackupPath", L"SrcPath", L"DesPath"}))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Install_CopyFile failed, the parameter string is not correct:%s",
               parameters.Text().c_str());
        return false;
    }
    std::wstring backup = parameters.Get(L"BackupPath"), source = parameters.Get(L"SrcPath"),
                 destination = parameters.Get(L"DesPath");
    CStatusReporter::ReportProgress(L"info.CopyFile");
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Start install copy file from [%s] to [%s] backup path is [%s]",
           source.c_str(), destination.c_str(), backup.c_str());
    bool compare =
        CStringSupport::IsStringEqualIgnoreCase(parameters.Get(L"CompareFileVersion"), L"true");
    if (compare)
        ADVLOG(ADVLOG_SEVERITY_INFO,
               L"This copy file action should compare the file version, if the destination file "
               L"version is higher or equal, will skip copy the file");
    CNormalErrorHandle result = CFileSupport::InstallCopyFile(source, destination, backup, compare);
    ADVLOG(ADVLOG_SEVERITY_INFO,
           L"Finished install copy file from [%s] to [%s] backup path is [%s]", source.c_str(),
           destination.c_str(), backup.c_str());
    if (!result.IsSuccess())
        return CopyFailed(result);
    KeepLockInformation(result);
    return true;
}

namespace
{

// RollBack_CopyFile and Uninstall_CopyFile: the backup folder back into the destination.
bool UndoCopy(const wchar_t* trace, bool uninstall)
{
    ADVLOG_TRACE_FUNCTION(trace);
    CActionParameters parameters;
    if (!parameters.Has({L"SrcPath", L"DesPath"}))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Install_CopyFile failed, the parameter string is not correct:%s",
               parameters.Text().c_str());
        return false;
    }
    std::wstring backup = parameters.Get(L"SrcPath"), destination = parameters.Get(L"DesPath");
    CStatusReporter::ReportProgress(L"info.RollbackFile");
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Start rollback copy file from [%s] to [%s]", backup.c_str(),
           destination.c_str());
    CNormalErrorHandle result = uninstall ? CFileSupport::UninstallCopyFile(backup, destination)
                                          : CFileSupport::RollbackCopyFile(backup, destination);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"End rollback copy file from [%s] to [%s]", backup.c_str(),
           destination.c_str());
    if (!result.IsSuccess())
        return CopyFailed(result);
    if (uninstall)
        KeepLockInformation(result);
    return true;
}

} // namespace

PACKAGE_ACTION RollBack_CopyFile()
{
    return UndoCopy(L"RollBack_CopyFile", false);
}

PACKAGE_ACTION Uninstall_CopyFile()
{
    return UndoCopy(L"Uninstall_CopyFile", true);
}

PACKAGE_ACTION Install_CopyUnInstallFile()
{
    ADVLOG_TRACE_FUNCTION(L"Install_CopyUnInstallFile");
    CActionParameters parameters;
    if (!parameters.Has({L"SrcPath", L"DesPath"}))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Install_CopyUnInstallFile failed, the parameter string is not correct:%s",
               parameters.Text().c_str());
        return true;
    }
    std::wstring source = parameters.Get(L"SrcPath"), destination = parameters.Get(L"DesPath");
    if (!CFileSupport::IsDirectory(source))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Copy file failed, the source folder[%s] is not exist.",
               source.c_str());
        return true;
    }
    bool createdFolder = false;
    if (!CFileSupport::IsDirectory(destination))
    {
        if (!CFileSupport::CreateDirectoryW(destination).IsSuccess())
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Copy file failed, the destination folder[%s] is not exist.",
                   destination.c_str());
            return true;
        }
        createdFolder = true;
    }
    std::wstring force =
        parameters.Has({L"ForceAllowUninstall"})
            ? CStringSupport::StringToLowerCase(parameters.Get(L"ForceAllowUninstall"))
            : L"false";
    bool keepScript = force == L"false" && PackageProperties()->GetPropertyInt(L"ClusterType") != 0;
    std::vector<std::wstring> files, added;
    CFileSupport::EnumAllFilesInFolder(source, files);
    // Only a test fault fails this action: then what it added goes again.
    auto undo = [&]
    {
        for (const std::wstring& name : added)
            DeleteFileW(CStringSupport::PathCombinePath(destination, name).c_str());
        if (createdFolder)
            CFileSupport::RemoveDirectoryEx(destination);
        return false;
    };
    for (size_t i = 0; i < files.size(); ++i)
    {
        std::wstring name = CStringSupport::PathGetFileName(files[i]);
        if (keepScript && CStringSupport::StringToLowerCase(name) == L"uninstall.bat")
            continue;
        std::wstring target = CStringSupport::PathCombinePath(destination, name);
        bool existed = CFileSupport::IsExist(target);
        if (CopyFileW(CStringSupport::PathCombinePath(source, name).c_str(), target.c_str(),
                      FALSE) &&
            !existed)
            added.push_back(name);
        if (i == files.size() / 2 && CActionGlobalResource::IsFaultInjected(L"middle"))
            return undo();
    }
    if (CActionGlobalResource::IsFaultInjected(L"after"))
        return undo();
    return true;
}

PACKAGE_ACTION Uninstall_RemoveUnInstallFile()
{
    ADVLOG_TRACE_FUNCTION(L"Uninstall_RemoveUnInstallFile");
    CActionParameters parameters;
    if (!parameters.Has({L"SrcPath"}))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Uninstall_RemoveUnInstallFile failed, the parameter string is not correct:%s",
               parameters.Text().c_str());
        return true;
    }
    std::wstring source = parameters.Get(L"SrcPath");
    if (!CFileSupport::IsDirectory(source))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"Uninstall_RemoveUnInstallFile do nothing because the srcPath is not exist:%s",
               source.c_str());
        return true;
    }
    std::wstring script = CStringSupport::PathCombinePath(
        CStringSupport::PathGetPath(CStringSupport::PathGetRunningExeFileRootPath()),
        PackageNames::kCleanScript);
    CFileSupportErrorHandle written = CFileSupport::WriteToFile(kCleanScript, script, L"wt");
    if (!written.IsSuccess())
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"WriteToFile is failed for %s, because: %s", script.c_str(),
               written.GetSystemErrorInfor().c_str());
    std::wstring commandLine = L"\"" + script + L"\"";
    ADVLOG(ADVLOG_SEVERITY_INFO, L"CommandLine is: %s", commandLine.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process))
    {
        ADVLOG(ADVLOG_SEVERITY_INFO, L"process is running...");
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    else
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"Uninstall_RemoveUnInstallFile CreateProcess failed, CommandLine is %s",
               commandLine.c_str());
    return true;
}

PACKAGE_ACTION Install_ModifyRegistry()
{
    ADVLOG_TRACE_FUNCTION(L"Install_ModifyRegistry");
    std::wstring text = PackageProperties()->GetProperty(PackageNames::kParameterString);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Install_ModifyRegistry Parameter string is:%s", text.c_str());
    CStatusReporter::ReportProgress(L"info.ModifyRegistry");
    // "[NAME:BACKUPFOLDER,ACTIONID]=ACTIONS"
    size_t equals = text.find(L'=');
    std::wstring head = equals == std::wstring::npos ? text : text.substr(0, equals);
    std::wstring actions = equals == std::wstring::npos ? std::wstring() : text.substr(equals + 1);
    size_t colon = head.find(L':');
    std::wstring settings = colon == std::wstring::npos ? std::wstring() : head.substr(colon + 1);
    settings = CStringSupport::StringTrim(settings, L"[] ");
    std::vector<std::wstring> items = CStringSupport::StringToVector(settings, L',');
    if (equals == std::wstring::npos || items.size() < 2)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Install_ModifyRegistry Parameter string is not well formatted:%s", text.c_str());
        return false;
    }
    ADVLOG(ADVLOG_SEVERITY_INFO,
           L"Install_ModifyRegistry backupPath is:%s, action id is:%s, reg action string is:%s",
           items[0].c_str(), items[1].c_str(), actions.c_str());
    CNormalErrorHandle result =
        CRegistrySupport::InstallModifyRegistry(items[0], items[1], actions);
    if (result.IsSuccess())
        return true;
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    CStatusReporter::ReportErrorMessage(L"error.ModifyRegsitry.failed");
    return false;
}

PACKAGE_ACTION Install_RollbackRegistry()
{
    ADVLOG_TRACE_FUNCTION(L"Install_RollbackRegistry");
    CActionParameters parameters;
    if (!parameters.Has({L"BackupPath", L"ActionId"}))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Install_RollbackRegistry failed, the parameter string is not correct:%s",
               parameters.Text().c_str());
        return false;
    }
    CStatusReporter::ReportProgress(L"info.RollbackRegistry");
    CNormalErrorHandle result = CRegistrySupport::RollbackModifyRegistry(
        parameters.Get(L"BackupPath"), parameters.Get(L"ActionId"));
    if (result.IsSuccess())
        return true;
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    CStatusReporter::ReportErrorMessage(L"error.RollbackRegsitry.failed");
    return false;
}

PACKAGE_ACTION DoSystemCommand()
{
    ADVLOG_TRACE_FUNCTION(L"DoSystemCommand");
    CActionParameters parameters;
    if (!parameters.Has({L"Command"}))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"DoCommand failed, the parameter string is not correct:%s",
               parameters.Text().c_str());
        return false;
    }
    wchar_t remembered[MAX_PATH] = {};
    DWORD length = GetCurrentDirectoryW(MAX_PATH, remembered);
    if (length == 0 || length >= MAX_PATH)
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Get current directory Failed!");
    std::wstring folder = CStringSupport::StringTrim(parameters.Get(L"CommandRunDirectory"), L" ");
    while (folder.size() > 1 && folder.back() == L'\\')
        folder.pop_back();
    if (!folder.empty() && CFileSupport::IsDirectory(folder))
    {
        if (SetCurrentDirectoryW(folder.c_str()))
            ADVLOG(ADVLOG_SEVERITY_INFO, L"Set current directory: %s", folder.c_str());
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Set current directory: %s Failed!", folder.c_str());
    }
    auto restore = [&]
    {
        if (length > 0 && length < MAX_PATH)
            SetCurrentDirectoryW(remembered);
    };
    if (_wsystem(nullptr) == 0)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"The command processor is not available!");
        restore();
        return false;
    }
    if (CActionGlobalResource::IsFaultInjected(L"middle"))
    {
        restore();
        return false;
    }
    std::wstring command = parameters.Get(L"Command");
    ADVLOG(ADVLOG_SEVERITY_INFO, L"Do command: %s", command.c_str());
    _wsystem(command.c_str());
    restore();
    // A command cannot be taken back: a package gives it no lasting effect to undo.
    return !CActionGlobalResource::IsFaultInjected(L"after");
}

PACKAGE_ACTION EndSuccessAction()
{
    ADVLOG_TRACE_FUNCTION(L"EndSuccessAction");
    // The final report is the action's only work: a fault anywhere comes before it.
    if (CActionGlobalResource::IsFaultInjected(L"middle") ||
        CActionGlobalResource::IsFaultInjected(L"after"))
        return false;
    CPropertyManager* properties = PackageProperties();
    if (properties->IsPropertyExist(PackageNames::kFileLockInformation))
    {
        std::wstring text = CStringSupport::StringFormat(
            CActionGlobalResource::GetMessageText(L"info.FinishedFileLockExist").c_str(),
            properties->GetProperty(PackageNames::kFileLockInformation).c_str());
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"%s", text.c_str());
        CPackageStatusReport::ReportDebugLogToUI(40, text);
    }
    CPackageStatusReport::ReportFinalResultToUI(true, L"");
    return true;
}
