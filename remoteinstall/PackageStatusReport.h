// Package status reporting: code running in a package process on a target server reports
// progress, errors, debug lines and the final result to the wizard, and may ask it for the
// logon account. Each report is a task that rides in a bus task to the agent, waits there in the
// backwards queue and runs on the wizard. Also the server synchronization tasks.
#pragma once

#include "framework/CAdvancedLog.h"
#include "framework/CMessageSupport.h"
#include "framework/CPropertyManager.h"
#include "framework/CStringBundler.h"
#include "remoteinstall/CTaskSupport.h"

#include <string>

class CCommunicationPeerSupport;

// Carries a serialized task from a package process to the agent, which forwards it to the wizard.
class CTaskBusAgentToSource : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    std::wstring m_strPassenger;

protected:
    void OnRun() override;
};

class CTaskSendPackageInstallProgress : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    bool m_bIsErrorMessage = false;
    std::wstring m_strMessage;

protected:
    void OnRun() override;
};

class CTaskSendPackageFinalResult : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    bool m_bIsSucceed = false;
    std::wstring m_strFinalMessage;

protected:
    void OnRun() override;
};

class CTaskSendPackageDebugLog : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    int m_iSeverity = ADVLOG_SEVERITY_NONE;
    std::wstring m_strText;

protected:
    void OnRun() override;
};

class CTaskRetrieveLogonAccount : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    std::wstring m_strLogonUsername;
    std::wstring m_strLogonPassword;

protected:
    void OnRun() override;
};

class CTaskServerSyncLockRequest : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    bool m_bGranted = false;
    std::wstring m_strLockName;
    std::wstring m_strOwner;
    bool m_bAcquire = false;

protected:
    void OnRun() override;
};

class CTaskServerSyncGetAllVariables : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    std::wstring m_strVariables;

protected:
    void OnRun() override;
};

class CTaskServerSyncSetSingleVariable : public ITaskSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    std::wstring m_strName;
    std::wstring m_strValue;

protected:
    void OnRun() override;
};

// ---- Message arguments raised on the wizard -----------------------------------------------------

class CArgVane52PackageProgressChanged : public CMessageSupportArgs
{
public:
    std::wstring DumpObjectToString() override;
    std::wstring m_strServerName;
    std::wstring m_strLastProgressMessage;
    bool m_bIsErrorMessage = false;
};

class CArgVane52PackageFinalResult : public CMessageSupportArgs
{
public:
    std::wstring DumpObjectToString() override;
    std::wstring m_strServerName;
    bool m_bIsSucceed = false;
    std::wstring m_strFinalResultMessage;
};

class CArgVane52RetrieveLogonAccount : public CMessageSupportArgs
{
public:
    std::wstring DumpObjectToString() override; // never prints the password
    std::wstring m_strServerName;
    std::wstring m_strLogonUsername;
    std::wstring m_strLogonPassword;
};

// ---- The package side ---------------------------------------------------------------------------

class CPackageStatusReport
{
public:
    static int Init();
    static void Uninit();
    static int SendTaskToSetup(ITaskSupport* task);
    static int SendTaskToSetupUsingThreadPool(ITaskSupport* task);
    static void ReportProgressToUI(const std::wstring& message);
    static void ReportErrorMessageToUI(const std::wstring& message);
    static void ReportDebugLogToUI(int severity, const std::wstring& text);
    static void ReportFinalResultToUI(bool succeeded, const std::wstring& message);
    static int RetrieveLogonAccount(std::wstring* user, std::wstring* password);

    static CCommunicationPeerSupport* m_pPeerToAgent;
    static CThreadPoolForBlockOperation* m_pThreadPool;
    static int m_nBusTaskSendFailedCount;
};

class CStatusReporter
{
public:
    static void Initialize(const std::wstring& stringBundlePath, CPropertyManager* properties);
    // The same with texts already loaded: a custom action's host reads its bundle once.
    static void Initialize(CStringBundler& loaded, CPropertyManager* properties);
    static void Uninitialize();
    static void ReportProgress(const wchar_t* key);
    static void ReportProgressWithFormat(const wchar_t* key, ...);
    static void ReportErrorMessage(const wchar_t* key);
    static void ReportErrorMessageWithFormat(const wchar_t* key, ...);

    static CPropertyManager* m_pPropertyManager;
    static CStringBundler* m_pStringBundler;

private:
    static bool IsRollback();
    static void ReportRollbackActinProgress();
};
