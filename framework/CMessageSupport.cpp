#include "framework/CMessageSupport.h"

#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CStringSupport.h"

#include <typeinfo>

// ---- CEventSupport ---------------------------------------------------------------------------

CEventSupport::CEventSupport(const CEventSupport& other)
{
    CEventSupport& source = const_cast<CEventSupport&>(other);
    CCriticalSectionSentry sentry(source.m_Lock);
    m_Hooks = source.m_Hooks;
    m_iLastKey = source.m_iLastKey;
}

CEventSupport& CEventSupport::operator=(const CEventSupport& other)
{
    if (this == &other)
        return *this;
    CEventSupport& source = const_cast<CEventSupport&>(other);
    std::vector<std::pair<int, IEventSupportCallback*>> hooks;
    int lastKey;
    {
        CCriticalSectionSentry sentry(source.m_Lock);
        hooks = source.m_Hooks;
        lastKey = source.m_iLastKey;
    }
    CCriticalSectionSentry sentry(m_Lock);
    m_Hooks = std::move(hooks);
    m_iLastKey = lastKey;
    return *this;
}

int CEventSupport::Hook(IEventSupportCallback* receiver)
{
    CCriticalSectionSentry sentry(m_Lock);
    int key = m_iLastKey + 1;
    if (m_iLastKey == 2147483647 || key <= 0)
        key = 1;
    m_iLastKey = key;
    m_Hooks.emplace_back(key, receiver);
    return key;
}

int CEventSupport::Unhook(int key)
{
    CCriticalSectionSentry sentry(m_Lock);
    for (auto it = m_Hooks.begin(); it != m_Hooks.end(); ++it)
    {
        if (it->first == key)
        {
            m_Hooks.erase(it);
            return 1;
        }
    }
    return 0;
}

int CEventSupport::Unhook(IEventSupportCallback* receiver)
{
    CCriticalSectionSentry sentry(m_Lock);
    size_t before = m_Hooks.size();
    std::erase_if(m_Hooks, [receiver](const auto& hook) { return hook.second == receiver; });
    return m_Hooks.size() != before ? 1 : 0;
}

void CEventSupport::UnhookAll()
{
    CCriticalSectionSentry sentry(m_Lock);
    m_Hooks.clear();
}

int CEventSupport::GetAttachedHookCount()
{
    CCriticalSectionSentry sentry(m_Lock);
    return static_cast<int>(m_Hooks.size());
}

void CEventSupport::Fire(CEventSupportArgs* args)
{
    if (args == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CEventSupport::Fire");
        return;
    }
    std::vector<std::pair<int, IEventSupportCallback*>> hooks;
    {
        CCriticalSectionSentry sentry(m_Lock);
        args->m_pEventSource = this;
        hooks = m_Hooks;
    }
    for (const auto& [key, receiver] : hooks)
    {
        args->m_iHookKey = key;
        receiver->OnFire(args);
    }
}

void CEventSupport::Fire()
{
    CEventSupportArgs args;
    Fire(&args);
}

// ---- CMessageSupport -------------------------------------------------------------------------

void CMessageSupport::LogReceiverCall(const wchar_t* function, const std::wstring& name,
                                      IEventSupportCallback* receiver)
{
    std::wstring className = receiver != nullptr
                                 ? CStringSupport::GetClassNameThroughTypeInfo(typeid(*receiver))
                                 : std::wstring(L"(null)");
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"%s(MsgName='%s', pCallback=%s %p) is called", function,
           name.c_str(), className.c_str(), static_cast<void*>(receiver));
}

void CMessageSupport::RegisterReceiver(const std::wstring& name, IEventSupportCallback* receiver)
{
    LogReceiverCall(L"CMessageSupport::RegisterReceiver", name, receiver);
    if (receiver == nullptr)
        return;
    CCriticalSectionSentry sentry(m_Lock);
    m_Events[name].Hook(receiver);
}

void CMessageSupport::UnregisterReceiver(const std::wstring& name, IEventSupportCallback* receiver)
{
    LogReceiverCall(L"CMessageSupport::UnregisterReceiver", name, receiver);
    CCriticalSectionSentry sentry(m_Lock);
    auto it = m_Events.find(name);
    if (it == m_Events.end())
        return;
    it->second.Unhook(receiver);
    if (it->second.GetAttachedHookCount() == 0)
        m_Events.erase(it);
}

void CMessageSupport::SendMessageW(const std::wstring& name)
{
    CMessageSupportArgs args;
    DoSendMessage(name, &args);
}

void CMessageSupport::SendMessageW(const std::wstring& name, CMessageSupportArgs* args)
{
    DoSendMessage(name, args);
}

void CMessageSupport::Uninit()
{
    CCriticalSectionSentry sentry(m_Lock);
    m_Events.clear();
}

CEventSupport* CMessageSupport::GetEventObjectByMsgName(const std::wstring& name)
{
    auto it = m_Events.find(name);
    return it == m_Events.end() ? nullptr : &it->second;
}

void CMessageSupport::DoSendMessage(const std::wstring& name, CMessageSupportArgs* args)
{
    CMessageSupportArgs defaults;
    if (args == nullptr)
        args = &defaults;
    std::wstring dump = args->DumpObjectToString();
    if (dump != L"<notprint>")
        ADVLOG(ADVLOG_SEVERITY_DEBUG, L"strMsgName='%s', pEventArgs='%s'", name.c_str(), dump.c_str());
    CEventSupport named, wildcard;
    bool haveNamed = false, haveWildcard = false;
    {
        CCriticalSectionSentry sentry(m_Lock);
        if (CEventSupport* event = GetEventObjectByMsgName(name))
        {
            named = *event;
            haveNamed = true;
        }
        if (CEventSupport* event = GetEventObjectByMsgName(L"*"))
        {
            wildcard = *event;
            haveWildcard = true;
        }
    }
    if (haveNamed)
    {
        args->m_strMessageName = name;
        args->m_pMessageSupport = this;
        named.Fire(args);
    }
    if (haveWildcard)
    {
        args->m_strMessageName = name;
        args->m_pMessageSupport = this;
        wildcard.Fire(args);
    }
}

// ---- CAutoMessageRegister --------------------------------------------------------------------

void CAutoMessageRegister::RegisterReceiver(const std::wstring& name, IEventSupportCallback* receiver)
{
    if (m_bRegistered)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CAutoMessageRegister::RegisterReceiver");
        return;
    }
    m_strMessageName = name;
    m_pReceiver = receiver;
    DoRegister();
}

void CAutoMessageRegister::DoRegister()
{
    if (m_bRegistered)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CAutoMessageRegister::DoRegister");
        return;
    }
    CFrameworkGlobalVariables* globals = GetFrameworkGlobalVariables();
    if (globals == nullptr)
        return;
    m_bRegistered = 1;
    globals->m_MessageSupport.RegisterReceiver(m_strMessageName, m_pReceiver);
}

void CAutoMessageRegister::DoUnregister()
{
    if (!m_bRegistered)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CAutoMessageRegister::DoUnregister");
        return;
    }
    // Once the globals are gone there is no bus left to leave.
    if (CFrameworkGlobalVariables* globals = PeekFrameworkGlobalVariables())
        globals->m_MessageSupport.UnregisterReceiver(m_strMessageName, m_pReceiver);
    Reset();
}

void CAutoMessageRegister::Reset()
{
    m_strMessageName.clear();
    m_pReceiver = nullptr;
    m_bRegistered = 0;
}
