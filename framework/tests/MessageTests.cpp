#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CMessageSupport.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace
{

using testsupport::CLogCapture;

// Appends its name and what it saw to a shared trace.
class CTraceReceiver : public IEventSupportCallback
{
public:
    CTraceReceiver(std::wstring name, std::vector<std::wstring>* trace)
        : m_Name(std::move(name)), m_pTrace(trace)
    {
    }
    void OnFire(CEventSupportArgs* args) override
    {
        auto* message = dynamic_cast<CMessageSupportArgs*>(args);
        m_pTrace->push_back(m_Name + L":" + (message ? message->m_strMessageName : L"-"));
        m_LastKey = args->m_iHookKey;
        m_pLastSource = args->m_pEventSource;
        m_pLastBus = message ? message->m_pMessageSupport : nullptr;
        if (m_OnFire)
            m_OnFire(args);
    }
    std::wstring m_Name;
    std::vector<std::wstring>* m_pTrace;
    int m_LastKey = 0;
    CEventSupport* m_pLastSource = nullptr;
    CMessageSupport* m_pLastBus = nullptr;
    std::function<void(CEventSupportArgs*)> m_OnFire;
};

class CCounter : public IEventSupportCallback
{
public:
    void OnFire(CEventSupportArgs*) override { ++m_Calls; }
    std::atomic<int> m_Calls{0};
};

// A request whose answer the receivers write in.
class CArgQuestion : public CMessageSupportArgs
{
public:
    std::wstring DumpObjectToString() override { return m_Dump; }
    std::wstring m_Dump = L"<notprint>";
    int m_Question = 0;
    int m_Answer = 0;
};

} // namespace

TEST(EventSupport, HookKeysUnhookAndFire)
{
    CLogCapture log;
    std::vector<std::wstring> trace;
    CTraceReceiver a(L"a", &trace), b(L"b", &trace);
    CEventSupport event;
    EXPECT_EQ(event.Hook(&a), 1);
    EXPECT_EQ(event.Hook(&b), 2);
    EXPECT_EQ(event.Hook(&a), 3);
    EXPECT_EQ(event.GetAttachedHookCount(), 3);
    event.Fire();
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"a:-", L"b:-", L"a:-"}));
    EXPECT_EQ(a.m_LastKey, 3);
    EXPECT_EQ(a.m_pLastSource, &event);

    // Keys are not reused after an unhook.
    EXPECT_EQ(event.Unhook(2), 1);
    EXPECT_EQ(event.Unhook(2), 0);
    EXPECT_EQ(event.Hook(&b), 4);
    // A copy carries the hooks and the last key; changing it leaves the original alone.
    CEventSupport copy(event);
    EXPECT_EQ(copy.GetAttachedHookCount(), 3);
    EXPECT_EQ(copy.Hook(&b), 5);
    EXPECT_EQ(event.GetAttachedHookCount(), 3);
    CEventSupport assigned;
    assigned = copy;
    EXPECT_EQ(assigned.Hook(&a), 6);

    EXPECT_EQ(event.Unhook(&a), 1);
    EXPECT_EQ(event.Unhook(&a), 0);
    EXPECT_EQ(event.GetAttachedHookCount(), 1);
    trace.clear();
    CEventSupportArgs args;
    event.Fire(&args);
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"b:-"}));
    EXPECT_EQ(args.m_iHookKey, 4);
    EXPECT_EQ(args.m_pEventSource, &event);

    event.Fire(nullptr);
    EXPECT_EQ(log.CountUnexpected(L"CEventSupport::Fire"), 1);
    event.Clear();
    EXPECT_EQ(event.GetAttachedHookCount(), 0);
    EXPECT_EQ(event.Hook(&a), 5);
}

TEST(MessageSupport, DispatchOrderWildcardAndCase)
{
    CLogCapture log;
    std::vector<std::wstring> trace;
    CTraceReceiver a(L"A", &trace), b(L"B", &trace), c(L"C", &trace), lower(L"x", &trace);
    CMessageSupport bus;
    bus.RegisterReceiver(L"*", &c);
    bus.RegisterReceiver(L"X", &a);
    bus.RegisterReceiver(L"X", &b);
    bus.RegisterReceiver(L"x", &lower);
    EXPECT_GE(log.CountPrefix(L"CMessageSupport::RegisterReceiver(MsgName='X', pCallback="), 2);

    bus.SendMessageW(L"X");
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"A:X", L"B:X", L"C:X"}));
    EXPECT_EQ(a.m_pLastBus, &bus);
    EXPECT_EQ(log.Count(ADVLOG_SEVERITY_DEBUG, L"strMsgName='X', pEventArgs='<empty>'"), 1);
    trace.clear();
    bus.SendMessageW(L"Y");
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"C:Y"}));
    trace.clear();
    bus.SendMessageW(L"x");
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"x:x", L"C:x"}));

    // Registered twice: called twice; one unregistration removes both hooks.
    trace.clear();
    bus.RegisterReceiver(L"X", &a);
    bus.RegisterReceiver(L"*", &a);
    bus.SendMessageW(L"X");
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"A:X", L"B:X", L"A:X", L"C:X", L"A:X"}));
    trace.clear();
    bus.UnregisterReceiver(L"X", &a);
    bus.UnregisterReceiver(L"X", &c); // not registered under that name
    bus.UnregisterReceiver(L"nothing", &c);
    bus.SendMessageW(L"X");
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"B:X", L"C:X", L"A:X"}));
    EXPECT_GE(log.CountPrefix(L"CMessageSupport::UnregisterReceiver(MsgName='X', pCallback="), 2);

    bus.Uninit();
    trace.clear();
    bus.SendMessageW(L"X");
    EXPECT_TRUE(trace.empty());
}

TEST(MessageSupport, RequestAnswerAndLogLine)
{
    CLogCapture log;
    CMessageSupport bus;
    CTraceReceiver answerer(L"q", nullptr);
    std::vector<std::wstring> trace;
    answerer.m_pTrace = &trace;
    answerer.m_OnFire = [](CEventSupportArgs* args)
    {
        auto* question = dynamic_cast<CArgQuestion*>(args);
        if (question != nullptr)
            question->m_Answer = question->m_Question * 2;
    };
    bus.RegisterReceiver(L"ASK", &answerer);
    CArgQuestion question;
    question.m_Question = 21;
    bus.SendMessageW(L"ASK", &question);
    EXPECT_EQ(question.m_Answer, 42);
    EXPECT_EQ(question.m_strMessageName, L"ASK");
    EXPECT_EQ(question.m_pMessageSupport, &bus);
    EXPECT_EQ(log.CountPrefix(L"strMsgName="), 0);
    question.m_Dump = L"Question=21";
    bus.SendMessageW(L"nobody listens", &question);
    EXPECT_EQ(
        log.Count(ADVLOG_SEVERITY_DEBUG, L"strMsgName='nobody listens', pEventArgs='Question=21'"),
        1);
    EXPECT_EQ(trace.size(), 1u);
}

TEST(MessageSupport, ReceiversChangingTheBusDuringDispatch)
{
    CMessageSupport bus;
    std::vector<std::wstring> trace;
    CTraceReceiver quitter(L"quitter", &trace), stays(L"stays", &trace), relay(L"relay", &trace),
        late(L"late", &trace), nested(L"nested", &trace);
    quitter.m_OnFire = [&](CEventSupportArgs*) { bus.UnregisterReceiver(L"GO", &quitter); };
    relay.m_OnFire = [&](CEventSupportArgs* args)
    {
        auto* message = static_cast<CMessageSupportArgs*>(args);
        if (message->m_strMessageName == L"GO")
        {
            bus.RegisterReceiver(L"GO", &late);
            bus.SendMessageW(L"INNER");
        }
    };
    bus.RegisterReceiver(L"GO", &quitter);
    bus.RegisterReceiver(L"GO", &relay);
    bus.RegisterReceiver(L"GO", &stays);
    bus.RegisterReceiver(L"INNER", &nested);

    bus.SendMessageW(L"GO");
    // The quitter left and the late one joined during the dispatch: both take effect next time.
    EXPECT_EQ(trace, (std::vector<std::wstring>{L"quitter:GO", L"relay:GO", L"nested:INNER",
                                                L"stays:GO"}));
    trace.clear();
    bus.SendMessageW(L"GO");
    EXPECT_EQ(trace,
              (std::vector<std::wstring>{L"relay:GO", L"nested:INNER", L"stays:GO", L"late:GO"}));
}

TEST(MessageSupport, ConcurrentSendRegisterUnregister)
{
    constexpr int kThreads = 8, kRounds = 400;
    CMessageSupport bus;
    CCounter stableNamed, stableAll;
    bus.RegisterReceiver(L"M0", &stableNamed);
    bus.RegisterReceiver(L"*", &stableAll);
    // Temporary receivers outlive the threads: a dispatch that copied the list may still call
    // one after its thread unregistered it.
    std::vector<std::unique_ptr<CCounter>> temporary;
    for (int t = 0; t < kThreads; ++t)
        temporary.push_back(std::make_unique<CCounter>());
    std::atomic<int> namedSends{0}, allSends{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [&, t]
            {
                CCounter* mine = temporary[t].get();
                for (int i = 0; i < kRounds; ++i)
                {
                    std::wstring name = L"M" + std::to_wstring((t + i) % 3);
                    bus.RegisterReceiver(name, mine);
                    std::wstring sent = L"M" + std::to_wstring(i % 3);
                    bus.SendMessageW(sent);
                    ++allSends;
                    if (sent == L"M0")
                        ++namedSends;
                    bus.UnregisterReceiver(name, mine);
                }
            });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(stableAll.m_Calls.load(), allSends.load());
    EXPECT_EQ(stableNamed.m_Calls.load(), namedSends.load());
    int temporaryCalls = 0;
    for (const auto& counter : temporary)
        temporaryCalls += counter->m_Calls.load();
    EXPECT_GT(temporaryCalls, 0);
    // Every temporary receiver is gone again.
    for (int i = 0; i < 3; ++i)
        bus.SendMessageW(L"M" + std::to_wstring(i));
    int after = 0;
    for (const auto& counter : temporary)
        after += counter->m_Calls.load();
    EXPECT_EQ(after, temporaryCalls);
    EXPECT_EQ(stableAll.m_Calls.load(), allSends.load() + 3);
}

namespace
{

// Owns a registration on the framework bus, the way message receivers of the system do.
class CAutoOwner : public IEventSupportCallback
{
public:
    explicit CAutoOwner(const wchar_t* name)
    {
        if (name != nullptr)
            m_Register.RegisterReceiver(name, this);
        else
            m_Register.RegisterReceiver(this);
    }
    void OnFire(CEventSupportArgs*) override { ++m_Calls; }
    class CRegister : public CAutoMessageRegister
    {
    public:
        using CAutoMessageRegister::DoRegister;
    };
    CRegister m_Register;
    int m_Calls = 0;
};

} // namespace

TEST(AutoMessageRegister, RegistersOnTheFrameworkBusAndLeavesOnDestruction)
{
    CLogCapture log;
    FreeFrameworkGlobalVariables();
    int calls = 0;
    {
        CAutoOwner named(L"AUTO_MSG");
        CAutoOwner all(nullptr);
        ASSERT_NE(PeekFrameworkGlobalVariables(), nullptr);
        CMessageSupport& bus = GetFrameworkGlobalVariables()->m_MessageSupport;
        bus.SendMessageW(L"AUTO_MSG");
        bus.SendMessageW(L"OTHER");
        EXPECT_EQ(named.m_Calls, 1);
        EXPECT_EQ(all.m_Calls, 2);

        // A second registration is a logged programming error that changes nothing.
        named.m_Register.RegisterReceiver(L"OTHER", &named);
        named.m_Register.DoRegister();
        EXPECT_EQ(log.CountUnexpected(L"CAutoMessageRegister::RegisterReceiver"), 1);
        EXPECT_EQ(log.CountUnexpected(L"CAutoMessageRegister::DoRegister"), 1);
        bus.SendMessageW(L"AUTO_MSG");
        bus.SendMessageW(L"OTHER");
        EXPECT_EQ(named.m_Calls, 2);
        calls = all.m_Calls;
        EXPECT_EQ(calls, 4);
    }
    EXPECT_EQ(log.CountUnexpected(L"CAutoMessageRegister::DoUnregister"), 0);
    CCounter probe;
    GetFrameworkGlobalVariables()->m_MessageSupport.RegisterReceiver(L"AUTO_MSG", &probe);
    GetFrameworkGlobalVariables()->m_MessageSupport.SendMessageW(L"AUTO_MSG");
    EXPECT_EQ(probe.m_Calls.load(), 1); // the destroyed owners were not called
    GetFrameworkGlobalVariables()->m_MessageSupport.UnregisterReceiver(L"AUTO_MSG", &probe);

    // Never registered: its destruction writes one unexpected-branch line.
    {
        CAutoMessageRegister never;
    }
    EXPECT_EQ(log.CountUnexpected(L"CAutoMessageRegister::DoUnregister"), 1);

    // Destroyed after the globals: no crash, and the globals are not created again.
    {
        auto owner = std::make_unique<CAutoOwner>(L"LATE");
        FreeFrameworkGlobalVariables();
        owner.reset();
        EXPECT_EQ(PeekFrameworkGlobalVariables(), nullptr);
    }
    EXPECT_EQ(log.CountUnexpected(L"CAutoMessageRegister::DoUnregister"), 1);
}
