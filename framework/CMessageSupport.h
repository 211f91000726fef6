// Named messages between parts of a process: events with ordered receivers, and a bus that
// keeps one event per message name plus the wildcard "*". Dispatch is synchronous.
#pragma once

#include "framework/CAdvancedLog.h"
#include "framework/Sync.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

class CEventSupport;
class CMessageSupport;

class CEventSupportArgs : public IDebugSupport
{
public:
    CEventSupport* m_pEventSource = nullptr;
    int m_iHookKey = 0;
};

class CMessageSupportArgs : public CEventSupportArgs
{
public:
    std::wstring DumpObjectToString() override { return L"<empty>"; }

    CMessageSupport* m_pMessageSupport = nullptr;
    std::wstring m_strMessageName;
};

class IEventSupportCallback
{
public:
    virtual ~IEventSupportCallback() = default;
    virtual void OnFire(CEventSupportArgs* args) {}
};

class CEventSupport
{
public:
    CEventSupport() { Init(); }
    CEventSupport(const CEventSupport& other);
    CEventSupport& operator=(const CEventSupport& other);
    virtual ~CEventSupport() { Uninit(); }

    int Hook(IEventSupportCallback* receiver);
    int Unhook(int key);
    int Unhook(IEventSupportCallback* receiver);
    void UnhookAll();
    void Clear() { UnhookAll(); }
    int GetAttachedHookCount();
    // Receivers run outside the lock, on a copy of the hook list.
    void Fire(CEventSupportArgs* args);
    void Fire();

private:
    void Init() { m_iLastKey = 0; }
    void Uninit() { UnhookAll(); }
    void LockMe() { m_Lock.Lock(); }
    void UnlockMe() { m_Lock.Unlock(); }

    std::vector<std::pair<int, IEventSupportCallback*>> m_Hooks;
    CSimpleCriticalSection m_Lock;
    int m_iLastKey = 0;
};

class CMessageSupport
{
public:
    virtual ~CMessageSupport() { Uninit(); }

    void RegisterReceiver(const std::wstring& name, IEventSupportCallback* receiver);
    void UnregisterReceiver(const std::wstring& name, IEventSupportCallback* receiver);
    void SendMessageW(const std::wstring& name);
    void SendMessageW(const std::wstring& name, CMessageSupportArgs* args);
    void Init() {}
    void Uninit();

protected:
    void DoSendMessage(const std::wstring& name, CMessageSupportArgs* args);
    CEventSupport* GetEventObjectByMsgName(const std::wstring& name);

private:
    void LogReceiverCall(const wchar_t* function, const std::wstring& name,
                         IEventSupportCallback* receiver);

    std::map<std::wstring, CEventSupport> m_Events;
    CSimpleCriticalSection m_Lock;
};

// Registers one receiver on the bus of the framework globals and removes it when destroyed.
class CAutoMessageRegister
{
public:
    CAutoMessageRegister() = default;
    CAutoMessageRegister(const CAutoMessageRegister&) = delete;
    CAutoMessageRegister& operator=(const CAutoMessageRegister&) = delete;
    virtual ~CAutoMessageRegister() { DoUnregister(); }

    void RegisterReceiver(const std::wstring& name, IEventSupportCallback* receiver);
    void RegisterReceiver(IEventSupportCallback* receiver) { RegisterReceiver(L"*", receiver); }

protected:
    void DoRegister();
    void DoUnregister();
    void Reset();

private:
    std::wstring m_strMessageName;
    IEventSupportCallback* m_pReceiver = nullptr;
    int m_bRegistered = 0;
};
