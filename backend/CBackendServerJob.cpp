#include "backend/BackendJobs.h"
#include "backend/CBackendMiscAPI.h"
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "winport/WinBase.h"
#include "winport/WinProcess.h"

CBackendServerJob::~CBackendServerJob()
{
    while (m_nLiveThreads.load() != 0)
        Sleep(1);
}

void CBackendServerJob::StartRun(const wchar_t* function, const std::vector<std::wstring>& servers,
                                 const std::function<int(const std::wstring&)>& start)
{
    // Held until the last thread has started: a thread that ends at once waits for it to end
    // its record, so that it never finds the map empty while servers are still to start and
    // announces the end of all too early.
    CCriticalSectionSentry guard(m_Lock);
    if (!m_ThreadMap.empty())
        ADVLOG_ASSERT_FAILED(function, L"m_ThreadMap.size() == 0");
    m_bAllFinishedSent = false;
    for (const std::wstring& server : servers)
        if (!start(server))
            ADVLOG_UNEXPECTED_BRANCH(function);
}

int CBackendServerJob::StartServerThread(const std::wstring& serverName,
                                         LPTHREAD_START_ROUTINE entry)
{
    auto* record = new CServerThreadRecord();
    DWORD id = 0;
    ++m_nLiveThreads;
    HANDLE thread = CreateThread(nullptr, 0, entry, record, CREATE_SUSPENDED, &id);
    if (thread == nullptr)
    {
        --m_nLiveThreads;
        delete record;
        return FALSE;
    }
    record->m_pOwner = this;
    record->m_strServerName = serverName;
    record->m_hThread = thread;
    record->m_dwThreadId = id;
    {
        CCriticalSectionSentry guard(m_Lock);
        m_ThreadMap[id] = record;
    }
    ResumeThread(thread);
    return TRUE;
}

void CBackendServerJob::EndServerThread(CServerThreadRecord* record, const wchar_t* message,
                                        CMessageSupportArgs* args)
{
    {
        CCriticalSectionSentry guard(m_Lock);
        CloseHandle(record->m_hThread);
        m_ThreadMap.erase(record->m_dwThreadId);
        delete record;
    }
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(message, args);
    // The job may go as soon as this count reaches 0: nothing of it is touched afterwards.
    --m_nLiveThreads;
}

bool CBackendServerJob::IsLastThreadEnded(const wchar_t* progressFormat)
{
    ADVLOG(ADVLOG_SEVERITY_NOISY, progressFormat, static_cast<int>(m_ThreadMap.size()));
    if (!m_ThreadMap.empty() || m_bAllFinishedSent)
        return false;
    m_bAllFinishedSent = true;
    return true;
}

void CBackendServerJob::DumpServerPropertyToDebugLog(CPropertyManagerNamespaceView& view,
                                                     const std::wstring& indent,
                                                     const std::wstring& key,
                                                     const std::wstring& hint)
{
    std::wstring value = view.GetProperty(key);
    if (value.empty())
        return;
    std::wstring suffix = hint.empty() ? std::wstring() : L" (" + hint + L")";
    ADVLOG(ADVLOG_SEVERITY_NOISY, L"%s%s=%s%s", indent.c_str(), key.c_str(), value.c_str(),
           suffix.c_str());
}
