// patchstarter.exe: starts a package on a server.
//
//   patchstarter.exe install | uninstall | uninstall_withhvpatchui
//
// Prepares the package's property file, has the product action library analyse the server,
// writes the engine script "hotfix.ini" from "hotfix_template.ini" and runs the patch engine.
// Exit code 0, or -1 when the launcher cannot read its own file version.
#include "framework/CAdvancedLog.h"
#include "framework/CProgramDebugLog.h"
#include "framework/CStringSupport.h"
#include "framework/Serialization.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CActionGlobalResource.h"
#include "setupsupport/CFileSupport.h"
#include "setupsupport/CProcessOperation.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinModule.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"
#include "winport/WinVersion.h"

#include <string>
#include <vector>

namespace
{

const wchar_t kMutexName[] = L"HVPatchLauncherMutext";
const wchar_t kTemplateFile[] = L"hotfix_template.ini";
const wchar_t kScriptFile[] = L"hotfix.ini";
const wchar_t kEngineFile[] = L"HVPatch.exe";
const wchar_t kAnalysisLibrary[] = L"serveractions.dll";

std::wstring PackageFile(const wchar_t* name)
{
    return CStringSupport::PathCombinePath(CStringSupport::PathGetRunningExeFileRootPath(), name);
}

// The launcher's own build: the fourth number of its file version.
bool ReadOwnBuild(int& build)
{
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(self, &handle);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(self, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<LPVOID*>(&fixed), &length) ||
        fixed == nullptr)
        return false;
    build = static_cast<int>(fixed->dwFileVersionLS & 0xFFFF);
    return true;
}

namespace HVPatchLauncher
{

void LaunchHVPatch(const std::wstring& engine, int mode)
{
    ADVLOG_TRACE_FUNCTION(L"HVPatchLauncher::LaunchHVPatch");
    // The engine's path is quoted: a package folder under "Program Files" (where the uninstall
    // files live) would otherwise give the engine the rest of its own path as arguments.
    const wchar_t* format = mode == 0   ? L"\"%s\" /s"
                            : mode == 1 ? L"\"%s\" /u /s"
                            : mode == 2 ? L"\"%s\" /u"
                                        : nullptr;
    if (format == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"HVPatchLauncher::LaunchHVPatch");
        return;
    }
    std::wstring commandLine = CStringSupport::StringFormat(format, engine.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Cannot create process %s, code: %d", commandLine.c_str(),
               static_cast<int>(GetLastError()));
        return;
    }
    // The launcher's end tells the agent that the package is over: it must not come while the
    // engine still runs, also when the engine's handle went with the machine's server.
    DWORD exitCode = 0;
    if (CProcessOperation::WaitForProcess(process.hProcess, process.dwProcessId, INFINITE,
                                          exitCode) == EProcessEnd::Ended)
        ADVLOG(ADVLOG_SEVERITY_INFO, L"Process returned code: %d", static_cast<int>(exitCode));
    else
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Process ended, its exit code is unknown");
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

// Puts the value of each property named between "$$" markers into the text; a name that is no
// property stays as it is.
std::wstring ExpandTemplate(std::wstring text)
{
    CPropertyManager* properties = CActionGlobalResource::s_pPropertyManager;
    for (const std::wstring& name : CollectMarkedNames(text, L"$$"))
    {
        if (properties->IsPropertyExist(name))
            text = CStringSupport::StringReplace(text, L"$$" + name + L"$$",
                                                 properties->GetProperty(name));
        else
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"The property %s is not exist, and the parameter $$%s$$ is not replaced.",
                   name.c_str(), name.c_str());
    }
    return text;
}

bool Launch(int mode)
{
    ADVLOG_TRACE_FUNCTION(L"HVPatchLauncher::Launch");
    HMODULE library = LoadLibraryW(kAnalysisLibrary);
    if (library == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not find Initial module %s!", kAnalysisLibrary);
        return false;
    }
    using TAnalyze = bool (*)();
    auto analyze = reinterpret_cast<TAnalyze>(GetProcAddress(library, "AddonAnalyzeTargetServer"));
    if (analyze == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Can not execute Initial function!, Error: %d",
               static_cast<int>(GetLastError()));
        FreeLibrary(library);
        return false;
    }
    if (!analyze())
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"execute Initial function failed!");
        FreeLibrary(library);
        return false;
    }
    CActionGlobalResource::WritePropertyToFile();

    std::vector<std::wstring> lines;
    if (!CFileSupport::ReadFileContentIntoVector(PackageFile(kTemplateFile), nullptr, lines))
    {
        ADVLOG_UNEXPECTED_BRANCH(L"HVPatchLauncher::Launch");
        FreeLibrary(library);
        return false;
    }
    std::wstring script = ExpandTemplate(CStringSupport::VectorToString(lines, L'\n'));
    if (!CFileSupport::WriteToFile(script, PackageFile(kScriptFile), L"wt").IsSuccess())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"HVPatchLauncher::Launch");
        FreeLibrary(library);
        return false;
    }
    LaunchHVPatch(PackageFile(kEngineFile), mode);
    FreeLibrary(library);
    return true;
}

} // namespace HVPatchLauncher

void SetRunningTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    CActionGlobalResource::s_pPropertyManager->SetProperty(
        PackageNames::kRunningTime,
        CStringSupport::StringFormat(L"%04d-%02d-%02d %02d:%02d:%02d", now.wYear, now.wMonth,
                                     now.wDay, now.wHour, now.wMinute, now.wSecond));
}

} // namespace

int main()
{
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return 70;
    CProgramDebugLog::Start();
    std::wstring propertyFile = PackageFile(PackageNames::kPropertyFile);
    {
        // Every launch starts from an empty property set.
        CPersistentStorageFile storage(propertyFile);
        storage.DeleteExistingFile();
    }
    CActionGlobalResource::InitializeResource(propertyFile,
                                              PackageFile(PackageNames::kMessageBundle));
    CPropertyManager* properties = CActionGlobalResource::s_pPropertyManager;
    LPWSTR* argv = nullptr;
    // Held until the process ends, which is after the engine has ended.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kMutexName);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Error happened:another HVPatchLauncher instance is "
                                      L"running, please do not run two instance at once.");
        CStatusReporter::ReportErrorMessage(L"error.HVPatch.alreadyRunning");
    }
    else
    {
        std::wstring commandLine = GetCommandLineW();
        int count = 0;
        argv = CommandLineToArgvW(commandLine.c_str(), &count);
        if (argv == nullptr)
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"CommandLineToArgvW failed:[%s]", commandLine.c_str());
        else if (count < 2)
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"Parameter should not be empty for HVPatchLauncher!");
        else
        {
            std::wstring keyword = CStringSupport::StringToLowerCase(argv[1]);
            SetRunningTime();
            int build = 0;
            if (!ReadOwnBuild(build))
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"Get file version infor failed before launch HVPatch");
                LocalFree(argv);
                CProgramDebugLog::Stop();
                ExitProcess(static_cast<UINT>(-1));
            }
            properties->SetPropertyInt(PackageNames::kCurrentBuild, build);
            int mode = keyword == L"uninstall"                 ? 1
                       : keyword == L"install"                 ? 0
                       : keyword == L"uninstall_withhvpatchui" ? 2
                                                               : -1;
            if (mode < 0)
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"launch HVPatch failed! The parameter is invalidate:%s", keyword.c_str());
            else
            {
                properties->SetProperty(PackageNames::kInstallationStatus,
                                        mode == 0 ? L"Install" : L"Uninstall");
                ADVLOG(ADVLOG_SEVERITY_INFO, L"launch HVPatch for %s", keyword.c_str());
                HVPatchLauncher::Launch(mode);
            }
        }
    }
    LocalFree(argv);
    CActionGlobalResource::UninitializeResource();
    {
        ADVLOG_TRACE_FUNCTION(L"wWinMain");
    }
    CProgramDebugLog::Stop();
    return 0;
}
