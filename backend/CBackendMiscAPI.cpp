#include "backend/CBackendMiscAPI.h"

#include "backend/CServerContext.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"
#include "framework/Encryption.h"
#include "remoteinstall/CTaskSupport.h"
#include "remoteinstall/CWin32API.h"
#include "winport/WinBase.h"
#include "winport/WinProcess.h"

#include <algorithm>
#include <memory>
#include <mutex>

CSimpleCriticalSection CBackendMiscAPI::m_LockForServerListOperation;
CSimpleCriticalSection CBackendMiscAPI::m_LockForGetSystemUniqueId;
std::wstring CBackendMiscAPI::m_strSystemUniqueId;

namespace
{

const wchar_t kProductKey[] = L"Software\\Halvorn\\Parvel for Exchange\\CurrentVersion";
const DWORD kTaskWaitMs = 300000;

DWORD ReadDword(HKEY key, const wchar_t* name)
{
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return value;
}

std::vector<std::wstring> SubKeysOf(const wchar_t* path)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS)
        return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i)
    {
        DWORD length = 256;
        if (RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

// What a send on a worker thread shares with the caller that waits for it. The worker sends a
// copy of the task, so a caller that stopped waiting may destroy its task at once.
struct SSendState
{
    std::mutex lock;
    std::wstring serverName;
    std::wstring request;
    std::wstring result; // the copy's text after the send, empty when it was not sent
};

DWORD ThreadProc_RunTaskOnServer(LPVOID parameter)
{
    auto* holder = static_cast<std::shared_ptr<SSendState>*>(parameter);
    std::shared_ptr<SSendState> state = std::move(*holder);
    delete holder;
    const std::wstring& server = state->serverName;
    CPropertyManagerNamespaceView view = CBackendMiscAPI::GetServerView(server);
    view.SetProperty(PROP_SERVER_TASK_FAIL_MESSAGE, L"");
    std::wstring user = view.GetProperty(PROP_SERVER_USERNAME);
    std::wstring password = view.GetProperty(PROP_SERVER_PASSWORD);
    if (!CWin32API::NetworkCredentialImpersonateBegin(user, password))
    {
        ADVLOG_UNEXPECTED_BRANCH(L"ThreadProc_RunTaskOnServer");
        return 0;
    }
    CBackendRemoteServerContextManager* manager = GetServerContextManager();
    CServerContext* context = manager != nullptr ? manager->GetServerContext(server) : nullptr;
    if (context == nullptr || !context->m_bIsAgentReady)
        ADVLOG_UNEXPECTED_BRANCH(L"ThreadProc_RunTaskOnServer");
    else
    {
        std::unique_ptr<ITaskSupport> copy(
            RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString(state->request));
        if (!copy)
            ADVLOG_UNEXPECTED_BRANCH(L"ThreadProc_RunTaskOnServer");
        else
        {
            std::wstring className = CStringSupport::GetClassNameThroughTypeInfo(typeid(*copy));
            CCommunicationPeerSupport peer = context->m_RemotePeer;
            if (!peer.SendTask(copy.get()))
            {
                ADVLOG(ADVLOG_SEVERITY_DEBUG,
                       L"m_RemotePeer.SendTask failed. Server is %s, Task is %s", server.c_str(),
                       className.c_str());
                copy->m_bIsTaskExecuted = 0;
                view.SetProperty(PROP_SERVER_TASK_FAIL_MESSAGE, peer.GetErrorMessage());
            }
            std::wstring result =
                RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(copy.get());
            std::lock_guard<std::mutex> guard(state->lock);
            state->result = result;
        }
    }
    CWin32API::NetworkCredentialImpersonateEnd();
    return 0;
}

// Starts the worker of one send; null when the thread cannot be made.
HANDLE StartSend(const std::shared_ptr<SSendState>& state)
{
    auto* parameter = new std::shared_ptr<SSendState>(state);
    DWORD id = 0;
    HANDLE thread =
        CreateThread(nullptr, 0, ThreadProc_RunTaskOnServer, parameter, CREATE_SUSPENDED, &id);
    if (thread == nullptr)
    {
        delete parameter;
        return nullptr;
    }
    ResumeThread(thread);
    return thread;
}

// Reads a finished send back into the caller's task; a send still under way is left to end on
// its own with its copy.
void CollectSend(const std::shared_ptr<SSendState>& state, ITaskSupport* task, bool ended)
{
    std::lock_guard<std::mutex> guard(state->lock);
    if (ended && !state->result.empty())
        RemoteInstall::CRemoteInstallCommon::DeserializeTaskResultFromString(task, state->result);
}

} // namespace

void CBackendMiscAPI::EnterServerPrivateOwnedNamespace(CPropertyManagerNamespaceView& view,
                                                       const std::wstring& serverName)
{
    view.AttachPropertyProvider(&GlobalProperties());
    view.ChangeNamespace(CStringSupport::StringFormat(L"%s%c%s", PROP_SERVER_NAMESPACE_ROOT, L'\\',
                                                      serverName.c_str()));
}

CPropertyManagerNamespaceView CBackendMiscAPI::GetServerView(const std::wstring& serverName)
{
    CPropertyManagerNamespaceView view;
    EnterServerPrivateOwnedNamespace(view, serverName);
    return view;
}

int CBackendMiscAPI::AddServerToGlobalServerList(const std::wstring& serverName)
{
    CCriticalSectionSentry guard(m_LockForServerListOperation);
    std::vector<std::wstring> list =
        CStringSupport::StringToVector(GlobalProperties().GetProperty(PROP_SERVER_LIST), L';');
    if (std::find(list.begin(), list.end(), serverName) != list.end())
        return FALSE;
    list.push_back(serverName);
    GlobalProperties().SetProperty(PROP_SERVER_LIST, CStringSupport::VectorToString(list, L';'));
    GetServerView(serverName).Clear();
    return TRUE;
}

int CBackendMiscAPI::RemoveServerFromGlobalServerList(const std::wstring& serverName)
{
    CCriticalSectionSentry guard(m_LockForServerListOperation);
    std::vector<std::wstring> list =
        CStringSupport::StringToVector(GlobalProperties().GetProperty(PROP_SERVER_LIST), L';');
    auto found = std::find(list.begin(), list.end(), serverName);
    bool erased = found != list.end();
    if (erased)
        list.erase(found);
    GlobalProperties().SetProperty(PROP_SERVER_LIST, CStringSupport::VectorToString(list, L';'));
    if (CBackendRemoteServerContextManager* manager = GetServerContextManager())
        manager->RemoveServerContext(serverName);
    return erased ? TRUE : FALSE;
}

std::vector<std::wstring> CBackendMiscAPI::GetAllServers()
{
    return CStringSupport::StringToVector(GlobalProperties().GetProperty(PROP_SERVER_LIST), L';');
}

std::vector<std::wstring> CBackendMiscAPI::GetServerListThatPassedAnalysis()
{
    std::vector<std::wstring> passed;
    for (const std::wstring& server : GetAllServers())
        if (GetServerView(server).GetPropertyInt(PROP_SERVER_ANALYZE_STATE) == ANALYZE_STATE_PASSED)
            passed.push_back(server);
    return passed;
}

std::vector<std::wstring> CBackendMiscAPI::GetAllExchangeVirtualServers()
{
    return {};
}

int CBackendMiscAPI::IsAtLeastOneServerEncounteredFailure()
{
    for (const std::wstring& server : GetServerListThatPassedAnalysis())
        if (GetServerView(server).GetPropertyInt(PROP_SERVER_DEPLOY_STATE) !=
            DEPLOY_STATE_FINISHED_AND_SUCCEEDED)
            return TRUE;
    return FALSE;
}

int CBackendMiscAPI::IsLocalInstallMode()
{
    return GlobalProperties().GetPropertyInt(PROP_LOCAL_INSTALL);
}

UI_MODE CBackendMiscAPI::GetCurrentUIMode()
{
    return static_cast<UI_MODE>(GlobalProperties().GetPropertyInt(PROP_UI_MODE));
}

std::wstring CBackendMiscAPI::GetServerDisplayName(const std::wstring& serverName)
{
    CPropertyManagerNamespaceView view = GetServerView(serverName);
    std::wstring name = view.GetProperty(PROP_SERVER_DISPLAY_NAME);
    if (name.empty())
    {
        name = serverName;
        view.SetProperty(PROP_SERVER_DISPLAY_NAME, name);
    }
    return name;
}

std::wstring CBackendMiscAPI::GetServerConnectName(const std::wstring& serverName)
{
    CPropertyManagerNamespaceView view = GetServerView(serverName);
    std::wstring name = view.GetProperty(PROP_SERVER_CONNECT_NAME);
    if (name.empty())
    {
        name = serverName.find(L':') != std::wstring::npos
                   ? CStringSupport::ConvertIPv6AddressToDNSLiteralName(serverName)
                   : serverName;
        view.SetProperty(PROP_SERVER_CONNECT_NAME, name);
    }
    return name;
}

EXCHANGE_EDITION CBackendMiscAPI::GetExchangeEdition()
{
    DWORD newestBuild = 0, msiMajor = 0;
    bool found = false;
    for (const wchar_t* path : {L"SOFTWARE\\Microsoft\\Exchange\\Setup",
                                L"SOFTWARE\\Microsoft\\ExchangeServer\\v14\\Setup"})
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS)
            continue;
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"GetExchangeEdition, registry key '%s' exist", path);
        newestBuild = ReadDword(key, L"NewestBuild");
        msiMajor = ReadDword(key, L"MsiProductMajor");
        RegCloseKey(key);
        if (newestBuild != 0 || msiMajor != 0)
        {
            found = true;
            break;
        }
    }
    if (!found)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"GetExchangeEdition, Exchange newest build number and MSI "
                                      L"product major version are both zero");
        return EXCHANGE_EDITION_UNKNOWN;
    }
    ADVLOG(ADVLOG_SEVERITY_DEBUG,
           L"GetExchangeEdition, Exchange newest build number is %d, MSI product major version is "
           L"%d",
           static_cast<int>(newestBuild), static_cast<int>(msiMajor));
    if (newestBuild >= 6944 && newestBuild <= 7999)
        return EXCHANGE_EDITION_2003;
    if (newestBuild >= 1 && newestBuild <= 6943)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendMiscAPI::GetExchangeEdition");
        return EXCHANGE_EDITION_UNKNOWN;
    }
    if (msiMajor == 8)
        return EXCHANGE_EDITION_2007;
    if (msiMajor == 14)
        return EXCHANGE_EDITION_2010;
    ADVLOG_UNEXPECTED_BRANCH(L"CBackendMiscAPI::GetExchangeEdition");
    return EXCHANGE_EDITION_UNKNOWN;
}

int CBackendMiscAPI::GetExchangeServerRole()
{
    std::vector<std::wstring> names = SubKeysOf(L"SOFTWARE\\Microsoft\\Exchange\\v8.0");
    if (names.empty())
        names = SubKeysOf(L"SOFTWARE\\Microsoft\\ExchangeServer\\v14");
    static const std::pair<const wchar_t*, int> kRoles[] = {
        {L"ClientAccessRole", EXCHANGE_ROLE_CA},
        {L"UnifiedMessagingRole", EXCHANGE_ROLE_UM},
        {L"HubTransportRole", EXCHANGE_ROLE_HT},
        {L"EdgeTransportRole", EXCHANGE_ROLE_ET},
        {L"MailboxRole", EXCHANGE_ROLE_MBX}};
    int role = 0;
    for (const std::wstring& name : names)
        for (const auto& [roleName, bit] : kRoles)
            if (name == roleName)
                role |= bit;
    return role;
}

std::wstring CBackendMiscAPI::ExchangeEditionToString(int edition)
{
    static const wchar_t* const kIds[] = {
        L"BACKEND_EXCHANGE_EDITION_UNKNOWN", L"BACKEND_EXCHANGE_EDITION_2003",
        L"BACKEND_EXCHANGE_EDITION_2007", L"BACKEND_EXCHANGE_EDITION_2010"};
    if (edition < 0 || edition > 3)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CBackendMiscAPI::ExchangeEditionToString");
        return std::wstring();
    }
    return GetText(kIds[edition]);
}

std::wstring CBackendMiscAPI::ExchangeRoleToString(int role)
{
    static const std::pair<int, const wchar_t*> kIds[] = {
        {EXCHANGE_ROLE_CA, L"BACKEND_EXCHANGE_ROLE_CA"},
        {EXCHANGE_ROLE_UM, L"BACKEND_EXCHANGE_ROLE_UM"},
        {EXCHANGE_ROLE_HT, L"BACKEND_EXCHANGE_ROLE_HT"},
        {EXCHANGE_ROLE_ET, L"BACKEND_EXCHANGE_ROLE_ET"},
        {EXCHANGE_ROLE_MBX, L"BACKEND_EXCHANGE_ROLE_MBX"}};
    std::wstring text;
    for (const auto& [bit, id] : kIds)
        if (role & bit)
            text += (text.empty() ? L"" : L", ") + GetText(id);
    return text;
}

std::wstring CBackendMiscAPI::GetSystemUniqueId()
{
    CCriticalSectionSentry guard(m_LockForGetSystemUniqueId);
    if (m_strSystemUniqueId.empty())
    {
        CRandomNumberGenerate random;
        unsigned numbers[4];
        for (unsigned& number : numbers)
            number = static_cast<unsigned>(random.GenerateRandomNumber());
        if (numbers[0] != 0 || numbers[1] != 0 || numbers[2] != 0 || numbers[3] != 0)
            m_strSystemUniqueId = CStringSupport::StringFormat(L"%x_%x_%x_%x", numbers[0],
                                                               numbers[1], numbers[2], numbers[3]);
        else
        {
            ADVLOG_UNEXPECTED_BRANCH(L"CBackendMiscAPI::GetSystemUniqueId");
            m_strSystemUniqueId = L"Server_" + CWin32API::GetLocalComputerName() + L"_PID_" +
                                  std::to_wstring(GetCurrentProcessId());
        }
    }
    return m_strSystemUniqueId;
}

void CBackendMiscAPI::GetProductVersionBuild(std::wstring* version, unsigned* build,
                                             unsigned* servicePack)
{
    auto read = [](const wchar_t* name)
    { return CWin32API::RegReadStringValue_WOW6464Key(HKEY_LOCAL_MACHINE, kProductKey, name); };
    std::wstring buildText = read(L"PatchBuild");
    if (buildText.empty())
        buildText = read(L"Build");
    if (version != nullptr)
        *version = read(L"Version");
    if (build != nullptr)
        *build = static_cast<unsigned>(wcstoul(buildText.c_str(), nullptr, 10));
    if (servicePack != nullptr)
        *servicePack = static_cast<unsigned>(wcstoul(read(L"ServicePack").c_str(), nullptr, 10));
}

bool CBackendMiscAPI::IsServicePack1Installed()
{
    return CWin32API::RegReadDwordValue_WOW6464Key(
               HKEY_LOCAL_MACHINE,
               L"Software\\Halvorn\\Parvel for Exchange\\Hotfix\\Service Pack 1", L"Installed",
               0) == 1;
}

std::wstring CBackendMiscAPI::GetProductInstallRoot()
{
    return CStringSupport::StringTrim(
        CWin32API::RegReadStringValue_WOW6464Key(HKEY_LOCAL_MACHINE, kProductKey, L"HomeDir"),
        L"\\/");
}

void CBackendMiscAPI::RunTaskOnServer(const std::wstring& serverName, ITaskSupport* task)
{
    std::wstring className = CStringSupport::GetClassNameThroughTypeInfo(typeid(*task));
    bool quiet = CStringSupport::IsArrayContainItem(L"CTaskGetPackageStatusActively", className);
    if (!quiet)
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Start run task on server %s, Task is %s",
               serverName.c_str(), className.c_str());
    auto state = std::make_shared<SSendState>();
    state->serverName = serverName;
    state->request = RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(task);
    ULONGLONG start = GetTickCount64();
    HANDLE thread = StartSend(state);
    if (thread == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"StartThread_RunTaskOnServer");
        return;
    }
    bool ended = WaitForSingleObject(thread, kTaskWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    CollectSend(state, task, ended);
    if (!quiet)
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"Task execution finished. Target server %s, Task is %s, Elapsed seconds is %d",
               serverName.c_str(), className.c_str(),
               static_cast<int>((GetTickCount64() - start) / 1000));
}

void CBackendMiscAPI::RunTaskOnAllServers(ITaskSupport* task)
{
    std::vector<std::pair<HANDLE, std::shared_ptr<SSendState>>> sends;
    std::wstring request = RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(task);
    for (const std::wstring& server : GetServerListThatPassedAnalysis())
    {
        auto state = std::make_shared<SSendState>();
        state->serverName = server;
        state->request = request;
        HANDLE thread = StartSend(state);
        if (thread == nullptr)
            ADVLOG_UNEXPECTED_BRANCH(L"StartThread_RunTaskOnServer");
        else
            sends.emplace_back(thread, state);
    }
    for (auto& [thread, state] : sends)
    {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        CollectSend(state, task, true);
    }
}

std::wstring CBackendMiscAPI::GetText(const wchar_t* id)
{
    return GetFrameworkGlobalVariables()->m_StringBundler.GetString(id);
}
