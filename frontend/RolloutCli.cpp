// rolloutcli.exe: deploys a package to many servers from the command line, through the same
// backend jobs as the wizard (logon, analysis, deployment), and writes the result file of the
// unattended mode with a JSON and a JUnit XML report beside it.
#include "backend/BackendJobs.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFlexiblePropertyFileLoader.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CProgramDebugLog.h"
#include "framework/CStringSupport.h"
#include "frontend/Reports.h"
#include "remoteinstall/CWin32API.h"
#include "remoteinstall/PackageStatusReport.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace
{

const char kUsage[] =
    "usage: rolloutcli.exe --package FOLDER (--install | --uninstall) --user ACCOUNT\n"
    "                      (--password-file FILE | --password-env NAME | --password-prompt)\n"
    "                      [--servers NAME,NAME...] [--server-file FILE] [NAME...]\n"
    "                      [--result FILE] [--json FILE] [--junit FILE] [--plain]\n"
    "                      [--analyze-only]\n"
    "\n"
    "Logs on to every server with the account, analyses it, pushes the install agent and the\n"
    "package folder's branch for its platform, runs the package there and follows it to its\n"
    "result; at the end the agents remove themselves from the servers.\n"
    "\n"
    "  --package FOLDER       the package folder: agent files, lang.dat, config.dat (what the\n"
    "                         package applies to) and a folder per platform (x64, win32)\n"
    "  --install, --uninstall what to do\n"
    "  --user ACCOUNT         DOMAIN\\user, SERVER\\user or user (then tried as DOMAIN\\user\n"
    "                         and SERVER\\user of each server)\n"
    "  --password-file FILE   the password is the file's first line\n"
    "  --password-env NAME    the password is this environment variable's value\n"
    "  --password-prompt      asks for the password on the terminal, without echo\n"
    "                         (the password is never taken from the command line)\n"
    "  --servers LIST         target servers, separated by commas or semicolons\n"
    "  --server-file FILE     target servers, one a line ('#' starts a comment)\n"
    "  --result FILE          the plain-text result file (default rollout-result.txt)\n"
    "  --json FILE            the JSON report (default: the result file's name + .json)\n"
    "  --junit FILE           the JUnit XML report, one test case a server (default: + .xml)\n"
    "  --plain                one line a change, also on a terminal\n"
    "  --analyze-only         logs on and analyses the servers, deploys nothing\n"
    "\n"
    "Exit code: 0 when every server succeeded, 1 when one failed, 2 for bad input.\n";

// The waits of the three jobs, as the unattended mode bounds them.
const DWORD kLogonWaitMs = 300000, kAnalyzeWaitMs = 1200000, kDeployWaitMs = 14400000;

std::wstring Wide(const std::string& text)
{
    return CStringSupport::CharsetConvertUtf8ToUnicode(text);
}

std::string Narrow(const std::wstring& text)
{
    return CStringSupport::CharsetConvertUnicodeToUtf8(text);
}

// A path of the command line as this machine names it: Windows paths stay, Linux paths are
// reached through the workstation's drive of the Linux root.
std::wstring MachinePath(const std::string& path)
{
    if ((path.size() >= 2 && path[1] == ':') || path.rfind("\\\\", 0) == 0)
        return Wide(path);
    std::string absolute = path;
    if (path.empty() || path[0] != '/')
    {
        char cwd[4096];
        absolute = std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/") + "/" + path;
    }
    return winport::fleet::HostPathToWindows(absolute);
}

bool ReadLine(FILE* file, std::string& line)
{
    char buffer[4096];
    if (fgets(buffer, sizeof buffer, file) == nullptr)
        return false;
    line = buffer;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    return true;
}

bool PromptPassword(std::string& password)
{
    if (!isatty(STDIN_FILENO))
        return false;
    termios saved = {}, quiet = {};
    tcgetattr(STDIN_FILENO, &saved);
    quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    // Asked once the echo is off: what is typed after the question is neither shown nor dropped.
    fprintf(stderr, "Password: ");
    bool read = ReadLine(stdin, password);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    fprintf(stderr, "\n");
    return read;
}

// A name a server may have: a NetBIOS or DNS name, an IPv4 address, or an IPv6 address.
bool IsServerName(const std::wstring& name)
{
    if (name.empty() || name.size() > 255)
        return false;
    if (name.find(L':') != std::wstring::npos)
        return std::all_of(name.begin(), name.end(),
                           [](wchar_t c) { return iswxdigit(c) || c == L':' || c == L'.'; });
    if (name.front() == L'.' || name.front() == L'-' || name.back() == L'.')
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](wchar_t c)
                       { return (c < 128 && iswalnum(c)) || c == L'-' || c == L'_' || c == L'.'; });
}

struct SOptions
{
    std::wstring package;
    int deployType = -1;
    std::wstring user;
    std::string password;
    std::vector<std::wstring> servers;
    std::wstring result, json, junit;
    bool plain = false;
    bool analyzeOnly = false;
};

// Fills the options; an error text when the command line cannot be used.
std::string ParseOptions(int argc, char** argv, SOptions& options)
{
    std::string passwordSource, resultArg, jsonArg, junitArg;
    int passwordSources = 0;
    auto split = [&](const std::string& list)
    {
        std::string name;
        for (char c : list + ",")
            if (c == ',' || c == ';' || c == ' ' || c == '\t')
            {
                if (!name.empty())
                    options.servers.push_back(Wide(name));
                name.clear();
            }
            else
                name += c;
    };
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        auto value = [&](std::string& out)
        {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        if (arg == "--install" || arg == "--uninstall")
        {
            if (options.deployType != -1)
                return "give --install or --uninstall once";
            options.deployType = arg == "--install" ? 0 : 1;
        }
        else if (arg == "--plain")
            options.plain = true;
        else if (arg == "--analyze-only")
            options.analyzeOnly = true;
        else if (arg == "--password" || arg.rfind("--password=", 0) == 0)
            return "the password is never taken from the command line: use --password-file, "
                   "--password-env or --password-prompt";
        else if (arg == "--password-prompt")
        {
            ++passwordSources;
            if (!PromptPassword(options.password))
                return "--password-prompt needs a terminal";
        }
        else if (arg == "--password-file" || arg == "--password-env" || arg == "--package" ||
                 arg == "--user" || arg == "--servers" || arg == "--server-file" ||
                 arg == "--result" || arg == "--json" || arg == "--junit")
        {
            if (!value(text))
                return arg + " needs a value";
            if (arg == "--password-file")
            {
                ++passwordSources;
                FILE* file = fopen(text.c_str(), "r");
                bool read = file != nullptr && ReadLine(file, options.password);
                if (file != nullptr)
                    fclose(file);
                if (!read)
                    return "cannot read the password file " + text;
            }
            else if (arg == "--password-env")
            {
                ++passwordSources;
                const char* env = getenv(text.c_str());
                if (env == nullptr)
                    return "the environment variable " + text + " is not set";
                options.password = env;
            }
            else if (arg == "--package")
                options.package = MachinePath(text);
            else if (arg == "--user")
                options.user = Wide(text);
            else if (arg == "--servers")
                split(text);
            else if (arg == "--server-file")
            {
                FILE* file = fopen(text.c_str(), "r");
                if (file == nullptr)
                    return "cannot read the server file " + text;
                std::string line;
                while (ReadLine(file, line))
                    split(line.substr(0, line.find('#')));
                fclose(file);
            }
            else if (arg == "--result")
                resultArg = text;
            else if (arg == "--json")
                jsonArg = text;
            else
                junitArg = text;
        }
        else if (!arg.empty() && arg[0] == '-')
            return "unknown option " + arg;
        else
            split(arg);
    }
    if (options.package.empty())
        return "name the package folder with --package";
    if (options.deployType == -1)
        return "give --install or --uninstall";
    if (options.user.empty())
        return "name the account with --user";
    if (passwordSources != 1)
        return "give the password in exactly one way: --password-file, --password-env or "
               "--password-prompt";
    if (options.servers.empty())
        return "no target server: name them, or give --servers or --server-file";
    if (resultArg.empty())
        resultArg = "rollout-result.txt";
    std::string base = resultArg.size() > 4 && resultArg.substr(resultArg.size() - 4) == ".txt"
                           ? resultArg.substr(0, resultArg.size() - 4)
                           : resultArg;
    options.result = MachinePath(resultArg);
    options.json = MachinePath(jsonArg.empty() ? base + ".json" : jsonArg);
    options.junit = MachinePath(junitArg.empty() ? base + ".xml" : junitArg);
    return std::string();
}

// What is missing from the package folder, empty when nothing is.
std::wstring MissingPackageFile(const std::wstring& folder)
{
    if (!CFileSupport::IsExist(folder))
        return folder;
    for (const wchar_t* name : {L"config.dat", L"lang.dat", L"agenthost.exe", L"Setup.exe",
                                L"fleetkit.dll", L"rolloutengine.dll"})
    {
        std::wstring path = CStringSupport::PathCombinePath(folder, name);
        if (!CFileSupport::IsExist(path))
            return path;
    }
    for (const wchar_t* branch : {L"x64", L"win32"})
        if (CFileSupport::IsExist(CStringSupport::PathCombinePath(
                CStringSupport::PathCombinePath(folder, branch), L"patchstarter.exe")))
            return std::wstring();
    return CStringSupport::PathCombinePath(folder, L"x64\\patchstarter.exe");
}

// The terminal view: a live line a server on a terminal, else a line a change.
class CConsoleView
{
public:
    explicit CConsoleView(bool live) : m_bLive(live) {}

    void Update(const std::wstring& server, const std::wstring& state, const std::wstring& text)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto found = std::find_if(m_Lines.begin(), m_Lines.end(),
                                  [&](const SLine& line) { return line.server == server; });
        if (found == m_Lines.end())
        {
            m_Lines.push_back({server, state, text});
            found = m_Lines.end() - 1;
        }
        else if (found->state == state && found->text == text)
            return;
        else
        {
            found->state = state;
            found->text = text;
        }
        if (!m_bLive)
        {
            printf("%-20s %-11s %s\n", Narrow(server).c_str(), Narrow(state).c_str(),
                   Narrow(text).c_str());
            fflush(stdout);
            return;
        }
        if (m_nDrawn > 0)
            printf("\x1b[%zuA", m_nDrawn);
        for (const SLine& line : m_Lines)
        {
            std::string row = Narrow(line.server);
            row.resize(std::max<size_t>(row.size(), 20), ' ');
            row += " " + Narrow(line.state);
            row.resize(std::max<size_t>(row.size(), 33), ' ');
            row += " " + Narrow(line.text);
            if (row.size() > 150)
                row = row.substr(0, 147) + "...";
            printf("\r\x1b[2K%s\n", row.c_str());
        }
        m_nDrawn = m_Lines.size();
        fflush(stdout);
    }

    void Note(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        printf("%s\n", text.c_str());
        fflush(stdout);
        m_nDrawn = 0; // the live lines start again below
        m_Lines.clear();
    }

private:
    struct SLine
    {
        std::wstring server, state, text;
    };
    bool m_bLive;
    std::mutex m_Lock;
    std::vector<SLine> m_Lines;
    size_t m_nDrawn = 0;
};

// Sets an event when its message arrives: the end of one job.
class CEventOnMessage : public IEventSupportCallback
{
public:
    explicit CEventOnMessage(const wchar_t* message)
        : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        m_Register.RegisterReceiver(message, this);
    }
    ~CEventOnMessage() override { CloseHandle(m_hEvent); }
    void OnFire(CEventSupportArgs*) override { SetEvent(m_hEvent); }
    bool Wait(DWORD milliseconds)
    {
        return WaitForSingleObject(m_hEvent, milliseconds) == WAIT_OBJECT_0;
    }

private:
    HANDLE m_hEvent;
    CAutoMessageRegister m_Register;
};

// Listens on the bus as the unattended mode does, and shows what happens.
class CRunObserver : public CBackendMessageReceiver
{
public:
    explicit CRunObserver(CConsoleView& view) : m_View(view)
    {
        const wchar_t* names[] = {MESSAGE_BACKEND_REQUEST_RELOGON,
                                  MESSAGE_BACKEND_LOGON_SINGLE_SERVER_FINISHED,
                                  MESSAGE_BACKEND_ANALYZE_SINGLE_SERVER_FINISHED,
                                  MESSAGE_BACKEND_DEPLOY_PACKAGE_TO_SINGLE_SERVER_STATE_CHANGED,
                                  MESSAGE_VANE52_PACKAGE_PROGRESS_CHANGED};
        for (size_t i = 0; i < std::size(names); ++i)
            m_Registers[i].RegisterReceiver(names[i], this);
    }

    // Waits for the end of a job (0 logon, 1 analysis, 2 deployment).
    bool Wait(int job, DWORD milliseconds) { return m_Finished[job].Wait(milliseconds); }

    void OnMessageArrived(CMessageSupportArgs* args) override
    {
        if (auto* relogon = dynamic_cast<CArgRequestRelogon*>(args))
        {
            // No one to ask: the server is given up with the reason.
            std::lock_guard<std::mutex> guard(m_Lock);
            m_LogonFailures[relogon->m_strServerName] = relogon->m_strErrorMessage;
            relogon->m_bAnswered = 1;
            relogon->m_bRetry = 0;
            m_View.Update(relogon->m_strServerName, L"failed", relogon->m_strErrorMessage);
        }
        else if (auto* logon = dynamic_cast<CArgLogonFinished*>(args))
        {
            bool failed;
            {
                std::lock_guard<std::mutex> guard(m_Lock);
                failed = m_LogonFailures.count(logon->m_strServerName) != 0;
                m_Ended[logon->m_strServerName] = GetTickCount64();
            }
            if (!failed)
                m_View.Update(logon->m_strServerName, L"logged on",
                              CBackendMiscAPI::GetServerView(logon->m_strServerName)
                                  .GetProperty(PROP_SERVER_OS_PLATFORM));
        }
        else if (auto* analyzed = dynamic_cast<CArgAnalyzeFinished*>(args))
        {
            CPropertyManagerNamespaceView view =
                CBackendMiscAPI::GetServerView(analyzed->m_strServerName);
            bool passed = view.GetPropertyInt(PROP_SERVER_ANALYZE_STATE) == ANALYZE_STATE_PASSED;
            m_View.Update(analyzed->m_strServerName, passed ? L"ready" : L"failed",
                          view.GetProperty(PROP_SERVER_ANALYZE_MESSAGE));
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Ended[analyzed->m_strServerName] = GetTickCount64();
        }
        else if (auto* state = dynamic_cast<CArgDeployPackageState*>(args))
        {
            CPropertyManagerNamespaceView view =
                CBackendMiscAPI::GetServerView(state->m_strServerName);
            int deployState = view.GetPropertyInt(PROP_SERVER_DEPLOY_STATE);
            const wchar_t* names[] = {L"waiting", L"deploying", L"succeeded", L"failed"};
            m_View.Update(state->m_strServerName,
                          deployState >= 0 && deployState <= 3 ? names[deployState] : L"?",
                          view.GetProperty(PROP_SERVER_DEPLOY_MESSAGE));
            std::lock_guard<std::mutex> guard(m_Lock);
            m_Ended[state->m_strServerName] = GetTickCount64();
        }
        else if (auto* progress = dynamic_cast<CArgVane52PackageProgressChanged*>(args))
        {
            // As the wizard's install page: the first error text is kept for the final result.
            CPropertyManagerNamespaceView view =
                CBackendMiscAPI::GetServerView(progress->m_strServerName);
            if (progress->m_bIsErrorMessage &&
                view.GetProperty(PROP_SERVER_DEPLOY_FIRST_ERROR).empty())
                view.SetProperty(PROP_SERVER_DEPLOY_FIRST_ERROR,
                                 progress->m_strLastProgressMessage);
            m_View.Update(progress->m_strServerName, L"deploying",
                          progress->m_strLastProgressMessage);
        }
    }

    std::map<std::wstring, std::wstring> LogonFailures()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return m_LogonFailures;
    }

    ULONGLONG EndedAt(const std::wstring& server)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto found = m_Ended.find(server);
        return found != m_Ended.end() ? found->second : 0;
    }

private:
    CConsoleView& m_View;
    CEventOnMessage m_Finished[3] = {
        CEventOnMessage(MESSAGE_BACKEND_LOGON_ALL_SERVERS_FINISHED),
        CEventOnMessage(MESSAGE_BACKEND_ANALYZE_ALL_SERVERS_FINISHED),
        CEventOnMessage(MESSAGE_BACKEND_DEPLOY_PACKAGE_TO_ALL_SERVERS_FINISHED)};
    CAutoMessageRegister m_Registers[5];
    std::mutex m_Lock;
    std::map<std::wstring, std::wstring> m_LogonFailures;
    std::map<std::wstring, ULONGLONG> m_Ended;
};

// The result file of the unattended mode: appended, one text a line.
class CResultFile
{
public:
    explicit CResultFile(const std::wstring& path) : m_pFile(_wfopen(path.c_str(), L"a, ccs=UTF-8"))
    {
    }
    ~CResultFile()
    {
        if (m_pFile != nullptr)
            fclose(m_pFile);
    }
    bool IsOpen() const { return m_pFile != nullptr; }
    void Report(const std::wstring& text)
    {
        if (m_pFile != nullptr)
        {
            winport::fputws(text.c_str(), m_pFile);
            if (text.empty() || text.back() != L'\n')
                winport::fputws(L"\n", m_pFile);
            fflush(m_pFile);
        }
        ADVLOG(ADVLOG_SEVERITY_INFO, L"ReportStatus: %s", text.c_str());
    }
    void ReportId(const wchar_t* id) { Report(CBackendMiscAPI::GetText(id)); }

private:
    FILE* m_pFile;
};

void ServerTable(CResultFile& result, const wchar_t* title, const wchar_t* key,
                 const std::map<std::wstring, std::wstring>& logonFailures)
{
    result.Report(L"");
    result.Report(title);
    int number = 0;
    for (const std::wstring& server : CBackendMiscAPI::GetAllServers())
    {
        CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
        result.Report(CStringSupport::StringFormat(L"%d. %-15s %s", ++number, server.c_str(),
                                                   view.GetProperty(key).c_str()));
    }
    for (const auto& [server, message] : logonFailures)
        result.Report(CStringSupport::StringFormat(
            L"%d. %-15s %s", ++number, server.c_str(),
            CBackendMiscAPI::GetText(L"SILENT_INSTALL_LOGON_FAILED").c_str()));
    result.Report(L"");
}

bool WriteReport(const std::wstring& path, const std::string& text)
{
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr)
        return false;
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size();
    return fclose(file) == 0 && written;
}

// Whether anything of the agent is still on the server: its service, its folder, or its
// clean-up script (which removes itself last).
bool AgentPresent(const std::wstring& server)
{
    std::wstring host = CBackendMiscAPI::GetServerConnectName(server);
    std::wstring machine = L"\\\\" + host;
    SC_HANDLE manager = OpenSCManagerW(machine.c_str(), nullptr, GENERIC_READ);
    if (manager == nullptr)
        return false; // the server went away with it
    SC_HANDLE service = OpenServiceW(manager, L"HalvornInstallAgent", GENERIC_READ);
    bool present = service != nullptr || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST;
    if (service != nullptr)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    std::wstring share = GlobalProperties().GetProperty(PROP_SHARED_FOLDER);
    std::wstring relative = CStringSupport::StringTrim(
        GlobalProperties().GetProperty(L"Framework\\LaunchRootRelative"), L" \t");
    std::wstring root = L"\\\\?\\UNC\\" + host + L"\\" + (share.empty() ? L"ADMIN$" : share);
    for (const std::wstring& left :
         {CStringSupport::PathCombinePath(root, relative.empty() ? L"Temp\\HalvornRemoteInstall"
                                                                 : relative),
          L"\\\\?\\UNC\\" + host + L"\\ADMIN$\\Temp\\HalvornInstallCleanup.bat"})
        present = present || GetFileAttributesW(left.c_str()) != INVALID_FILE_ATTRIBUTES;
    return present;
}

// The agents remove themselves a few seconds after the shutdown task; a run that ended before
// they are gone would race the next run against the same servers.
std::vector<std::wstring> WaitForAgentsToLeave(const std::vector<std::wstring>& servers,
                                               DWORD milliseconds)
{
    std::vector<std::wstring> pending = servers;
    ULONGLONG end = GetTickCount64() + milliseconds;
    while (!pending.empty())
    {
        std::vector<std::wstring> still;
        for (const std::wstring& server : pending)
        {
            CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
            if (!CWin32API::NetworkCredentialImpersonateBegin(
                    view.GetProperty(PROP_SERVER_USERNAME), view.GetProperty(PROP_SERVER_PASSWORD)))
                continue;
            if (AgentPresent(server))
                still.push_back(server);
            CWin32API::NetworkCredentialImpersonateEnd();
        }
        pending.swap(still);
        if (pending.empty() || GetTickCount64() > end)
            break;
        Sleep(500);
    }
    return pending;
}

// Wipes a secret in place before its memory goes back.
void Wipe(std::string& text)
{
    volatile char* p = text.data();
    for (size_t i = 0; i < text.size(); ++i)
        p[i] = 0;
    text.clear();
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
        {
            fputs(kUsage, stdout);
            return 0;
        }
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
    {
        fprintf(stderr, "rolloutcli: this machine of the fleet cannot be reached\n");
        return 2;
    }
    SOptions options;
    std::string error = ParseOptions(argc, argv, options);
    if (!error.empty())
    {
        fprintf(stderr, "rolloutcli: %s\n%s", error.c_str(), kUsage);
        Wipe(options.password);
        return 2;
    }
    CProgramDebugLog::Start();
    GetFrameworkGlobalVariables();
    ULONGLONG start = GetTickCount64();

    SRunReport run;
    run.uninstall = options.deployType == DEPLOY_TYPE_UNINSTALL;
    run.packageFolder = options.package;
    std::wstring missing = MissingPackageFile(options.package);
    if (!missing.empty())
    {
        fprintf(stderr, "rolloutcli: the package folder is incomplete: %s is missing\n",
                Narrow(missing).c_str());
        Wipe(options.password);
        CProgramDebugLog::Stop();
        FreeFrameworkGlobalVariables();
        return 2;
    }

    // The package describes what it applies to; its bundle holds the texts of every result.
    CFlexiblePropertyFileLoader config;
    CPersistentStorageFile configFile(
        CStringSupport::PathCombinePath(options.package, L"config.dat"));
    if (CSerializer::ConstructObjectFromStorage(&config, &configFile))
        config.CopyPropertiesToAnotherPropertyProvider(&GlobalProperties());
    GetFrameworkGlobalVariables()->m_StringBundler.LoadStringBundle(
        CStringSupport::PathCombinePath(options.package, L"lang.dat"));
    GlobalProperties().SetPropertyInt(PROP_UI_MODE, UI_MODE_SILENT);
    GlobalProperties().SetPropertyInt(PROP_DEPLOY_TYPE, options.deployType);
    GlobalProperties().SetProperty(L"Framework\\PackageRoot", options.package);
    GlobalProperties().SetProperty(PROP_DEFAULT_USERNAME, options.user);
    GlobalProperties().SetProperty(PROP_DEFAULT_PASSWORD, Wide(options.password));
    Wipe(options.password);
    GlobalProperties().SetProperty(PROP_SERVER_LIST, L"");

    // Bad names are refused here; a name given twice is kept once.
    std::vector<std::wstring> requested;
    std::set<std::wstring> seen;
    for (const std::wstring& name : options.servers)
    {
        std::wstring folded = CStringSupport::StringToLowerCase(name);
        if (!seen.insert(folded).second)
        {
            fprintf(stderr, "rolloutcli: %s is named twice; it is deployed to once\n",
                    Narrow(name).c_str());
            continue;
        }
        requested.push_back(name);
        SServerReport report;
        report.name = name;
        if (!IsServerName(name))
        {
            report.phase = L"input";
            report.analyzeMessage = L"not a server name: " + name;
            run.servers.push_back(report);
            continue;
        }
        CBackendMiscAPI::AddServerToGlobalServerList(name);
    }

    // The reports' folders are made as needed.
    for (const std::wstring& report : {options.result, options.json, options.junit})
        CFileSupport::CreateDirectoryRecursively(CStringSupport::PathGetPath(report));
    CConsoleView view(!options.plain && isatty(STDOUT_FILENO));
    CResultFile result(options.result);
    if (!result.IsOpen())
        fprintf(stderr, "rolloutcli: cannot open the result file %s\n",
                Narrow(options.result).c_str());
    result.ReportId(L"SILENT_INSTALL_STARTED");
    result.ReportId(run.uninstall ? L"SILENT_INSTALL_DEPLOY_UNINSTALL"
                                  : L"SILENT_INSTALL_DEPLOY_INSTALL");

    InitSetupBackend();
    bool succeeded = false;
    bool abandoned = false; // a job's wait ran out
    std::map<std::wstring, std::wstring> logonFailures;
    {
        CRunObserver observer(view);
        // A job whose wait ran out may still have a worker in a call that does not return: it is
        // left to the end of the process instead of being waited for.
        auto logonJob = std::make_unique<CBackendLogonTargetServer>();
        auto analyzeJob = std::make_unique<CBackendAnalyzeTargetServer>();
        auto deployJob = std::make_unique<CBackendInstallInProgress>();
        CBackendLogonTargetServer& logon = *logonJob;
        CBackendAnalyzeTargetServer& analyze = *analyzeJob;
        CBackendInstallInProgress& deploy = *deployJob;
        do
        {
            if (CBackendMiscAPI::GetAllServers().empty())
            {
                run.error = L"no valid server name";
                break;
            }
            view.Note("Logging on to " + std::to_string(CBackendMiscAPI::GetAllServers().size()) +
                      " servers");
            ADVLOG(ADVLOG_SEVERITY_INFO, L"Start log on to all servers");
            logon.LogonAllServers();
            if (!observer.Wait(0, kLogonWaitMs))
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"Log on to target server timeout");
                logonJob.release();
                abandoned = true;
                result.ReportId(L"SILENT_INSTALL_LOGON_TIMEOUT");
                run.error = L"the logon did not end in time";
                break;
            }
            logonFailures = observer.LogonFailures();
            if (CBackendMiscAPI::GetAllServers().empty())
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"No server has passed the log on");
                result.ReportId(L"SILENT_INSTALL_NO_SERVER_PASS_THE_LOGON");
                run.error = L"no server passed the logon";
                break;
            }
            view.Note("Analysing " + std::to_string(CBackendMiscAPI::GetAllServers().size()) +
                      " servers");
            ADVLOG(ADVLOG_SEVERITY_INFO, L"Start analyze all servers");
            analyze.AnalyzeAllServers();
            if (!observer.Wait(1, kAnalyzeWaitMs))
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"Analyze target server timeout");
                analyzeJob.release();
                abandoned = true;
                result.ReportId(L"SILENT_INSTALL_ANALYZE_TIMEOUT");
                run.error = L"the analysis did not end in time";
                break;
            }
            ServerTable(result, L"System requirement checking result:", PROP_SERVER_ANALYZE_MESSAGE,
                        logonFailures);
            if (options.analyzeOnly)
            {
                succeeded = logonFailures.empty() &&
                            CBackendMiscAPI::GetServerListThatPassedAnalysis().size() ==
                                CBackendMiscAPI::GetAllServers().size();
                break;
            }
            if (CBackendMiscAPI::GetServerListThatPassedAnalysis().empty())
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"No server has passed the analyzing");
                run.error = L"no server passed the analysis";
                break;
            }
            view.Note(std::string(run.uninstall ? "Uninstalling from " : "Installing on ") +
                      std::to_string(CBackendMiscAPI::GetServerListThatPassedAnalysis().size()) +
                      " servers");
            ADVLOG(ADVLOG_SEVERITY_INFO, L"Start deploy package to all servers");
            deploy.DeployPackageToAllServers();
            if (!observer.Wait(2, kDeployWaitMs))
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR, L"Deploy package timeout");
                deployJob.release();
                abandoned = true;
                result.ReportId(L"SILENT_INSTALL_DEPLOY_TIMEOUT");
                run.error = L"the deployment did not end in time";
                break;
            }
            ServerTable(result, L"Deploy result:", PROP_SERVER_DEPLOY_MESSAGE, {});
            succeeded =
                !CBackendMiscAPI::IsAtLeastOneServerEncounteredFailure() && logonFailures.empty();
        } while (false);

        // What each named server came to.
        std::vector<std::wstring> listed = CBackendMiscAPI::GetAllServers();
        std::vector<std::wstring> everyone = requested;
        for (const std::wstring& name : listed)
            if (std::find(everyone.begin(), everyone.end(), name) == everyone.end())
                everyone.push_back(name); // found as a cluster node
        for (const std::wstring& name : everyone)
        {
            if (std::any_of(run.servers.begin(), run.servers.end(),
                            [&](const SServerReport& r) { return r.name == name; }))
                continue;
            SServerReport report;
            report.name = name;
            ULONGLONG ended = observer.EndedAt(name);
            report.seconds = ended != 0 ? (ended - start) / 1000.0 : 0;
            CPropertyManagerNamespaceView server = CBackendMiscAPI::GetServerView(name);
            report.platform = server.GetProperty(PROP_SERVER_OS_PLATFORM);
            report.clusterType = server.GetPropertyInt(PROP_SERVER_CLUSTER_TYPE);
            report.analyzeState = server.GetPropertyInt(PROP_SERVER_ANALYZE_STATE);
            report.analyzeMessage = server.GetProperty(PROP_SERVER_ANALYZE_MESSAGE);
            report.deployState = server.GetPropertyInt(PROP_SERVER_DEPLOY_STATE);
            report.deployMessage = server.GetProperty(PROP_SERVER_DEPLOY_MESSAGE);
            report.firstError = server.GetProperty(PROP_SERVER_DEPLOY_FIRST_ERROR);
            if (report.analyzeState != ANALYZE_STATE_NOT_ANALYZED)
            {
                report.exchangeEdition = CBackendMiscAPI::ExchangeEditionToString(
                    server.GetPropertyInt(PROP_SERVER_EXCHANGE_EDITION));
                report.exchangeRoles = CBackendMiscAPI::ExchangeRoleToString(
                    server.GetPropertyInt(PROP_SERVER_EXCHANGE_ROLE));
            }
            bool inList = std::find(listed.begin(), listed.end(), name) != listed.end();
            if (logonFailures.count(name) != 0)
            {
                report.phase = L"logon";
                report.analyzeMessage = logonFailures[name];
            }
            else if (!inList)
            {
                report.outcome = EServerOutcome::Removed;
                report.phase = L"analysis";
                report.analyzeMessage = L"removed from the list: a cluster name, an Exchange "
                                        L"virtual server or a second name of a listed machine";
            }
            else if (options.analyzeOnly && report.analyzeState == ANALYZE_STATE_PASSED)
            {
                report.phase = L"analysis";
                report.outcome = EServerOutcome::Succeeded;
            }
            else if (report.analyzeState != ANALYZE_STATE_PASSED)
                report.phase =
                    report.analyzeState == ANALYZE_STATE_NOT_ANALYZED ? L"logon" : L"analysis";
            else
            {
                report.phase = L"deployment";
                if (report.deployState == DEPLOY_STATE_FINISHED_AND_SUCCEEDED)
                    report.outcome = EServerOutcome::Succeeded;
            }
            run.servers.push_back(report);
        }

        ADVLOG(ADVLOG_SEVERITY_INFO, L"Program exit: the agents remove themselves");
        std::vector<std::wstring> withAgent;
        for (const std::wstring& name : listed)
        {
            CPropertyManagerNamespaceView server = CBackendMiscAPI::GetServerView(name);
            if (server.GetPropertyInt(PROP_SERVER_ANALYZE_STATE) != ANALYZE_STATE_NOT_ANALYZED)
                withAgent.push_back(name);
        }
        GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(MESSAGE_VANE52_PROGRAM_EXIT);
        if (!withAgent.empty())
        {
            view.Note("Waiting for the agents to remove themselves from the servers");
            for (const std::wstring& name : WaitForAgentsToLeave(withAgent, 60000))
                fprintf(stderr, "rolloutcli: the agent on %s has not removed itself yet\n",
                        Narrow(name).c_str());
        }
    }

    bool allSucceeded = succeeded;
    for (const SServerReport& report : run.servers)
        allSucceeded = allSucceeded && report.outcome != EServerOutcome::Failed;
    if (allSucceeded)
        result.ReportId(run.uninstall ? L"SILENT_INSTALL_FINISHED_UNINSTALL_SUCCESSFULLY"
                                      : L"SILENT_INSTALL_FINISHED_INSTALL_SUCCESSFULLY");
    else
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"At least one server encounter failure");
        result.ReportId(L"SILENT_INSTALL_FINISHED_WITH_ERROR");
    }
    result.Report(L"");
    run.seconds = (GetTickCount64() - start) / 1000.0;
    bool written =
        WriteReport(options.json, JsonReport(run)) && WriteReport(options.junit, JUnitReport(run));

    printf("\n%-20s %-10s %s\n", "SERVER", "OUTCOME", "MESSAGE");
    for (const SServerReport& report : run.servers)
    {
        const std::wstring& message =
            report.outcome == EServerOutcome::Succeeded || report.phase == L"deployment"
                ? report.deployMessage
                : report.analyzeMessage;
        printf("%-20s %-10s %s\n", Narrow(report.name).c_str(),
               Narrow(OutcomeName(report.outcome)).c_str(), Narrow(message).c_str());
    }
    if (!run.error.empty())
        printf("The run ended early: %s\n", Narrow(run.error).c_str());
    printf("\nResult file: %s\nJSON report: %s\nJUnit report: %s\n", Narrow(options.result).c_str(),
           Narrow(options.json).c_str(), Narrow(options.junit).c_str());
    if (!written)
        fprintf(stderr, "rolloutcli: the reports could not be written\n");
    int exitCode = allSucceeded && written ? 0 : 1;
    if (abandoned)
    {
        // Workers still inside the backend must not see it torn down under them.
        CProgramDebugLog::Stop();
        fflush(nullptr);
        _exit(exitCode);
    }
    UninitSetupBackend();
    CProgramDebugLog::Stop();
    FreeFrameworkGlobalVariables();
    return exitCode;
}
