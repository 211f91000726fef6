#include "framework/CAdvancedLog.h"
#include "framework/CProgramDebugLog.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinFile.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <thread>

namespace
{

using testsupport::CLogCapture;

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

// A fresh file in the machine's Temp folder; returns its Windows path.
std::wstring FreshTempFile(const wchar_t* name)
{
    std::wstring path = std::wstring(L"C:\\Windows\\Temp\\") + name;
    DeleteFileW(path.c_str());
    return path;
}

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
        lines.push_back(text.substr(start, at - start));
    EXPECT_EQ(start, text.size()) << "text after the last line end";
    return lines;
}

std::string TimeTextOf(time_t when)
{
    struct tm t;
    localtime_r(&when, &t);
    char buffer[64];
    strftime(buffer, sizeof buffer, "%a %b %d %H:%M:%S %Y", &t);
    return buffer;
}

const std::string kBom = "\xEF\xBB\xBF";

} // namespace

TEST(AdvancedLog, SeverityAndEntryKindTags)
{
    const std::pair<int, const wchar_t*> tags[] = {
        {0, L"[  None  ] "},   {10, L"[  Nosiy ] "},  {20, L"[  Debug ] "},  {30, L"[  Info  ] "},
        {40, L"[ Warning] "},  {50, L"[  Error ] "},  {60, L"[FatalErr] "},  {100, L"[ Always ] "},
        {35, L"[ Unknown]  "}, {-1, L"[ Unknown]  "}, {101, L"[ Unknown]  "}};
    for (const auto& [severity, tag] : tags)
        EXPECT_EQ(
            CAdvancedLog::ConvertSeverityLevelToText(static_cast<ADVLOG_SEVERITY_LEVEL>(severity)),
            tag)
            << severity;
    // Entered and left win over any severity; other kinds keep the severity's tag.
    EXPECT_STREQ(CAdvancedLog::TagOf(2, ADVLOG_SEVERITY_FATAL), L"[  >>>>  ] ");
    EXPECT_STREQ(CAdvancedLog::TagOf(3, ADVLOG_SEVERITY_ERROR), L"[  <<<<  ] ");
    EXPECT_STREQ(CAdvancedLog::TagOf(1, ADVLOG_SEVERITY_FATAL), L"[FatalErr] ");
    EXPECT_STREQ(CAdvancedLog::TagOf(7, ADVLOG_SEVERITY_INFO), L"[  Info  ] ");
}

TEST(AdvancedLog, FileReceiverWritesExactLinesOnDisk)
{
    std::wstring path = FreshTempFile(L"fw2_format.log");
    const wchar_t* longName = L"a_source_file_name_longer_than_35_chars.cpp";
    std::vector<std::string> expected;
    auto expect = [&](const char* file, int line, const char* tag, const std::string& message)
    {
        char buffer[8192];
        snprintf(buffer, sizeof buffer, " [%04d:%04d] [%35s(%4d)] %s %s",
                 static_cast<int>(getpid()), static_cast<int>(GetCurrentThreadId()), file, line,
                 tag, message.c_str());
        expected.push_back(buffer);
    };

    // time() and the log's clock may read different seconds at a tick's edge: allow one.
    time_t before = time(nullptr) - 1;
    {
        CAdvancedLog hub;
        hub.Init();
        auto* receiver = new CAdvLogProcessor_WriteToFile();
        EXPECT_EQ(receiver->SetLogFile(path.c_str()), 1);
        ASSERT_EQ(hub.RegisterLogProcessor(receiver, L"file", nullptr), 1);
        hub.ProcessLog(L"C:\\src\\framework\\Widget.cpp", 12, 0, ADVLOG_SEVERITY_DEBUG,
                       L"hello %s %d", L"w\u00e9rld", 42);
        expect("Widget.cpp", 12, "[  Debug ] ", "hello w\xC3\xA9rld 42");
        hub.ProcessLog(L"src/unix/Enter.cpp", 7, 2, ADVLOG_SEVERITY_FATAL, L"%s", L"C::F");
        expect("Enter.cpp", 7, "[  >>>>  ] ", "C::F");
        hub.ProcessLog(L"Leave.cpp", 12345, 3, ADVLOG_SEVERITY_NOISY, L"%s", L"C::F");
        expect("Leave.cpp", 12345, "[  <<<<  ] ", "C::F");
        hub.ProcessLog(longName, 1, 0, static_cast<ADVLOG_SEVERITY_LEVEL>(35), L"odd");
        expect(Narrow(longName).c_str(), 1, "[ Unknown]  ", "odd");
        hub.ProcessLog(L"", 0, 0, ADVLOG_SEVERITY_INFO, L"ends in a line feed\n");
        expect("", 0, "[  Info  ] ", "ends in a line feed");
        hub.ProcessLog(L"x.cpp", 2, 0, ADVLOG_SEVERITY_WARNING, L"%s", L"");
        expect("x.cpp", 2, "[ Warning] ", "");
        // The message is cut at 4095 characters before it reaches the receiver.
        hub.ProcessLog(L"x.cpp", 3, 0, ADVLOG_SEVERITY_ERROR, L"%s",
                       std::wstring(5000, L'z').c_str());
        expect("x.cpp", 3, "[  Error ] ", std::string(4095, 'z'));
        delete hub.UnregisterLogProcessorByName(L"file");
    }
    {
        // A second receiver on the same file appends, without a second byte-order mark.
        CAdvancedLog hub;
        hub.Init();
        CAdvLogProcessor_WriteToFile receiver;
        receiver.SetLogFile(path.c_str());
        hub.RegisterLogProcessor(&receiver, nullptr, nullptr);
        hub.ProcessLog(L"again.cpp", 99, 0, ADVLOG_SEVERITY_ALWAYS, L"again");
        expect("again.cpp", 99, "[ Always ] ", "again");
        hub.UnregisterAll();
        hub.ProcessLog(L"again.cpp", 100, 0, ADVLOG_SEVERITY_ALWAYS, L"after unregister");
    }
    time_t after = time(nullptr) + 1;

    std::string bytes = testsupport::ReadHostFile(testsupport::HostPath(path));
    ASSERT_EQ(bytes.substr(0, 3), kBom);
    std::vector<std::string> lines = SplitCrLf(bytes.substr(3));
    ASSERT_EQ(lines.size(), expected.size());
    std::set<std::string> times;
    for (time_t t = before; t <= after; ++t)
        times.insert(TimeTextOf(t));
    for (size_t i = 0; i < lines.size(); ++i)
    {
        ASSERT_GE(lines[i].size(), 24u);
        EXPECT_TRUE(times.count(lines[i].substr(0, 24))) << lines[i].substr(0, 24);
        EXPECT_EQ(lines[i].substr(24), expected[i]) << "line " << i;
    }
    EXPECT_EQ(bytes.find(kBom, 3), std::string::npos);
}

TEST(AdvancedLog, FileReceiverWithoutFileDropsLinesButPassesThemOn)
{
    CAdvancedLog hub;
    hub.Init();
    CAdvLogProcessor_WriteToFile noPath, badPath;
    badPath.SetLogFile(L"C:\\no_such_folder_fw2\\x.log");
    CLogCapture after(nullptr);
    hub.RegisterLogProcessor(&noPath, nullptr, nullptr);
    hub.RegisterLogProcessor(&badPath, nullptr, nullptr);
    hub.RegisterLogProcessor(&after, nullptr, nullptr);
    hub.ProcessLog(L"a.cpp", 1, 0, ADVLOG_SEVERITY_ERROR, L"still arrives");
    ASSERT_EQ(after.m_Lines.size(), 1u);
    EXPECT_EQ(after.m_Lines[0].message, L"still arrives");
    hub.UnregisterAll();
}

TEST(AdvancedLog, RegistrationIdsNamesAndDispatchOrder)
{
    CAdvancedLog hub;
    hub.Init();
    std::vector<unsigned int> unregisterOrder;
    CLogCapture a(nullptr), b(nullptr), c(nullptr), d(nullptr), clash(nullptr);
    unsigned int id = 0;
    ASSERT_EQ(hub.RegisterLogProcessor(&a, L"CAdvLogProcessor_WriteToFile", &id), 1);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(a.Id(), 1u);
    EXPECT_EQ(a.m_Registered, 1);
    ASSERT_EQ(hub.RegisterLogProcessor(&b, nullptr, &id), 1);
    EXPECT_EQ(id, 2u);

    // A taken name, in any letter case, leaves the receiver untouched.
    id = 77;
    EXPECT_EQ(hub.RegisterLogProcessor(&clash, L"cadvlogprocessor_WRITETOFILE", &id), 0);
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(clash.Id(), 0u);
    EXPECT_TRUE(clash.GetName().empty());
    EXPECT_EQ(clash.m_Registered, 0);
    EXPECT_EQ(hub.GetLogReceiverByName(L"CADVLOGPROCESSOR_writetofile"), &a);
    EXPECT_EQ(hub.GetLogReceiverByName(nullptr), nullptr);
    EXPECT_EQ(hub.GetLogReceiverById(2), &b);

    // Ids never go back, even after the newest receiver left.
    EXPECT_EQ(hub.UnregisterLogProcessorById(2), &b);
    EXPECT_EQ(b.m_Unregistered, 1);
    EXPECT_EQ(hub.UnregisterLogProcessorById(2), nullptr);
    EXPECT_EQ(hub.GetLogReceiverById(2), nullptr);
    ASSERT_EQ(hub.RegisterLogProcessor(&c, L"stopper", &id), 1);
    EXPECT_EQ(id, 3u);
    ASSERT_EQ(hub.RegisterLogProcessor(&d, nullptr, nullptr), 1);
    EXPECT_EQ(d.Id(), 4u);

    // A receiver that returns 0 keeps the line from those after it only.
    c.m_Result = 0;
    hub.ProcessLog(L"p\\q.cpp", 5, 0, ADVLOG_SEVERITY_INFO, L"one");
    c.m_Result = 1;
    hub.ProcessLog(L"p\\q.cpp", 6, 0, ADVLOG_SEVERITY_INFO, L"two");
    ASSERT_EQ(a.m_Lines.size(), 2u);
    ASSERT_EQ(c.m_Lines.size(), 2u);
    ASSERT_EQ(d.m_Lines.size(), 1u);
    EXPECT_EQ(d.m_Lines[0].message, L"two");
    EXPECT_EQ(d.m_Lines[0].fileName, L"q.cpp");
    EXPECT_EQ(d.m_Lines[0].line, 6);

    // Disabled: no receiver is called at all. The stored level filters nothing.
    hub.SetLogEnabled(0);
    EXPECT_EQ(hub.IsLogEnabled(), 0);
    hub.ProcessLog(L"x", 1, 0, ADVLOG_SEVERITY_FATAL, L"%s", L"dropped");
    EXPECT_EQ(a.m_Lines.size(), 2u);
    hub.SetLogEnabled(1);
    EXPECT_EQ(hub.GetCurrentSeverityLevel(), ADVLOG_SEVERITY_ALWAYS);
    hub.SetCurrentSeverityLevel(ADVLOG_SEVERITY_ERROR);
    EXPECT_EQ(hub.GetCurrentSeverityLevel(), ADVLOG_SEVERITY_ERROR);
    hub.ProcessLog(L"x", 1, 0, ADVLOG_SEVERITY_NOISY, L"low");
    EXPECT_EQ(a.m_Lines.size(), 3u);

    EXPECT_EQ(hub.UnregisterLogProcessorByName(L"STOPPER"), &c);
    EXPECT_EQ(hub.UnregisterLogProcessorByName(L"stopper"), nullptr);
    a.m_pOrder = d.m_pOrder = &unregisterOrder;
    hub.UnregisterAll();
    EXPECT_EQ(unregisterOrder, (std::vector<unsigned int>{1, 4}));
    hub.ProcessLog(L"x", 1, 0, ADVLOG_SEVERITY_NOISY, L"nobody");
    EXPECT_EQ(a.m_Lines.size(), 3u);
    EXPECT_EQ(hub.GetLogReceiverById(1), nullptr);
}

TEST(AdvancedLog, ReceiverThatLogsFromInsideKeepsBothLinesIntact)
{
    class CEchoReceiver : public ILogProcessor
    {
    public:
        explicit CEchoReceiver(CAdvancedLog* hub) : m_pHub(hub) {}
        int OnLogArrive(SYSTEMTIME&, const std::wstring&, const std::wstring&, const std::wstring&,
                        int, int, ADVLOG_SEVERITY_LEVEL, const std::wstring& message) override
        {
            if (message == L"outer")
                m_pHub->ProcessLog(L"inner.cpp", 2, 0, ADVLOG_SEVERITY_DEBUG, L"%s",
                                   L"inner, a longer line than the outer one");
            return 1;
        }
        CAdvancedLog* m_pHub;
    };
    CAdvancedLog hub;
    hub.Init();
    CLogCapture first(nullptr), last(nullptr);
    CEchoReceiver echo(&hub);
    hub.RegisterLogProcessor(&first, nullptr, nullptr);
    hub.RegisterLogProcessor(&echo, nullptr, nullptr);
    hub.RegisterLogProcessor(&last, nullptr, nullptr);
    hub.ProcessLog(L"outer.cpp", 1, 0, ADVLOG_SEVERITY_WARNING, L"outer");
    ASSERT_EQ(first.m_Lines.size(), 2u);
    EXPECT_EQ(first.m_Lines[0].message, L"outer");
    EXPECT_EQ(first.m_Lines[1].message, L"inner, a longer line than the outer one");
    // The nested line completes first; the outer line then reaches the rest unchanged.
    ASSERT_EQ(last.m_Lines.size(), 2u);
    EXPECT_EQ(last.m_Lines[0].message, L"inner, a longer line than the outer one");
    EXPECT_EQ(last.m_Lines[0].fileName, L"inner.cpp");
    EXPECT_EQ(last.m_Lines[1].message, L"outer");
    EXPECT_EQ(last.m_Lines[1].fileName, L"outer.cpp");
    EXPECT_EQ(last.m_Lines[1].severity, ADVLOG_SEVERITY_WARNING);
    hub.UnregisterAll();
}

TEST(AdvancedLog, ConcurrentLinesNeverInterleaveOrGetLost)
{
    std::wstring path = FreshTempFile(L"fw2_threads.log");
    constexpr int kThreads = 8, kLines = 2000;
    CAdvancedLog hub;
    hub.Init();
    CAdvLogProcessor_WriteToFile receiver;
    receiver.SetLogFile(path.c_str());
    hub.RegisterLogProcessor(&receiver, nullptr, nullptr);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [&hub, t]
            {
                std::wstring payload(50 + t * 7, static_cast<wchar_t>(L'a' + t));
                for (int n = 0; n < kLines; ++n)
                    hub.ProcessLog(L"T.cpp", t, 0, ADVLOG_SEVERITY_DEBUG, L"T%d N%d %s|", t, n,
                                   payload.c_str());
            });
    for (std::thread& thread : threads)
        thread.join();
    hub.UnregisterAll();

    std::string bytes = testsupport::ReadHostFile(testsupport::HostPath(path));
    ASSERT_EQ(bytes.substr(0, 3), kBom);
    std::vector<std::string> lines = SplitCrLf(bytes.substr(3));
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::regex pattern(
        R"(^.{24} \[\d{4,}:(\d{4,})\] \[ {30}T\.cpp\(   (\d)\)\] \[  Debug \]  T(\d) N(\d+) ([a-z]+)\|$)");
    std::set<std::pair<int, int>> seen;
    std::vector<std::string> threadIds(kThreads);
    for (const std::string& line : lines)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, pattern)) << line;
        int t = std::stoi(m[3]);
        ASSERT_EQ(std::stoi(m[2]), t);
        EXPECT_EQ(m[5].str(), std::string(50 + t * 7, static_cast<char>('a' + t)));
        if (threadIds[t].empty())
            threadIds[t] = m[1];
        EXPECT_EQ(threadIds[t], m[1].str());
        EXPECT_TRUE(seen.insert({t, std::stoi(m[4])}).second) << "duplicate " << line;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kLines));
}

TEST(AdvancedLog, ProcessHubIsCreatedOnceUnderRaces)
{
    CAdvancedLog::FreeProcessLevelInstance();
    std::vector<CAdvancedLog*> seen(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&seen, t] { seen[t] = CAdvancedLog::GetProcessLevelInstance(); });
    for (std::thread& thread : threads)
        thread.join();
    for (CAdvancedLog* hub : seen)
        EXPECT_EQ(hub, seen[0]);
    EXPECT_EQ(CAdvancedLog::GetProcessLevelInstance(), seen[0]);
}

TEST(AdvancedLog, MergeChildLogFile)
{
    std::wstring path = FreshTempFile(L"fw2_child.log");
    std::string longLine(5000, 'q');
    testsupport::WriteHostFile(testsupport::HostPath(path), kBom + "first \xC3\xA9\r\n" + longLine +
                                                                "\r\n\r\nlast, no line feed");
    CAdvancedLog hub;
    hub.Init();
    CLogCapture capture(nullptr);
    hub.RegisterLogProcessor(&capture, nullptr, nullptr);
    EXPECT_EQ(hub.MergeExistingLogFile(path.c_str()), 1);
    std::vector<std::wstring> expected = {L"Merge debug log from file: " + path,
                                          L"first \u00e9\n",
                                          std::wstring(4095, L'q'),
                                          std::wstring(905, L'q') + L"\n",
                                          L"\n",
                                          L"last, no line feed"};
    ASSERT_EQ(capture.m_Lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(capture.m_Lines[i].message, expected[i]) << i;
        EXPECT_EQ(capture.m_Lines[i].severity, ADVLOG_SEVERITY_NOISY);
        EXPECT_EQ(capture.m_Lines[i].entryKind, 0);
        EXPECT_EQ(capture.m_Lines[i].line, 0);
        EXPECT_EQ(capture.m_Lines[i].fileName, L"");
    }
    capture.m_Lines.clear();
    EXPECT_EQ(hub.MergeExistingLogFile(L"C:\\Windows\\Temp\\fw2_no_such_child.log"), 0);
    EXPECT_EQ(hub.MergeExistingLogFile(nullptr), 0);
    EXPECT_TRUE(capture.m_Lines.empty());
    hub.UnregisterAll();
}

TEST(AdvancedLog, MergeTakesOnlyWhatTheFileHeldWhenItBegan)
{
    // Appends a line to the merged file for each line it sees, as a child still writing would;
    // bounded, so that a merge following the growth ends and fails rather than running on.
    class CGrowingFile : public ILogProcessor
    {
    public:
        explicit CGrowingFile(std::string host) : m_Host(std::move(host)) {}
        int OnLogArrive(SYSTEMTIME&, const std::wstring&, const std::wstring&, const std::wstring&,
                        int, int, ADVLOG_SEVERITY_LEVEL, const std::wstring&) override
        {
            if (m_Appended < 200)
            {
                FILE* file = fopen(m_Host.c_str(), "ab");
                if (file != nullptr)
                {
                    fprintf(file, "grown %d\r\n", m_Appended++);
                    fclose(file);
                }
            }
            return 1;
        }
        std::string m_Host;
        int m_Appended = 0;
    };
    std::wstring path = FreshTempFile(L"fw2_growing.log");
    std::string host = testsupport::HostPath(path);
    testsupport::WriteHostFile(host, kBom + "one\r\ntwo\r\nlast, cut mid-line");
    CAdvancedLog hub;
    hub.Init();
    CGrowingFile grow(host);
    hub.RegisterLogProcessor(&grow, nullptr, nullptr);
    CLogCapture capture(&hub);
    EXPECT_EQ(hub.MergeExistingLogFile(path.c_str()), 1);
    std::vector<std::wstring> expected = {L"Merge debug log from file: " + path, L"one\n", L"two\n",
                                          L"last, cut mid-line"};
    ASSERT_EQ(capture.m_Lines.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(capture.m_Lines[i].message, expected[i]) << i;
    EXPECT_GT(grow.m_Appended, 0);
    hub.UnregisterAll();

    // A log merged into itself grows by each line it gives: the merge still ends.
    std::wstring own = FreshTempFile(L"fw2_own.log");
    CAdvLogProcessor_WriteToFile file;
    file.SetLogFile(own.c_str());
    ASSERT_EQ(hub.RegisterLogProcessor(&file, nullptr, nullptr), 1);
    hub.ProcessLog(L"a.cpp", 1, 0, ADVLOG_SEVERITY_INFO, L"first");
    capture.m_Lines.clear();
    ASSERT_EQ(hub.RegisterLogProcessor(&capture, nullptr, nullptr), 1);
    EXPECT_EQ(hub.MergeExistingLogFile(own.c_str()), 1);
    ASSERT_EQ(capture.m_Lines.size(), 2u);
    EXPECT_NE(capture.m_Lines[1].message.find(L"[  Info  ]  first\n"), std::wstring::npos);
    hub.UnregisterAll();
}

TEST(AdvancedLog, ReceiverLeavingDuringDispatchCostsTheOthersNothing)
{
    // On its first line it leaves the hub, takes a later receiver out and brings a new one in.
    class CLeaver : public CLogCapture
    {
    public:
        CLeaver(CLogCapture* removed, CLogCapture* added)
            : CLogCapture(nullptr), m_pRemoved(removed), m_pAdded(added)
        {
        }
        int OnLogArrive(SYSTEMTIME& time, const std::wstring& timeText, const std::wstring& source,
                        const std::wstring& fileName, int line, int entryKind,
                        ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message) override
        {
            CLogCapture::OnLogArrive(time, timeText, source, fileName, line, entryKind, severity,
                                     message);
            CAdvancedLog* hub = GetLogHub();
            EXPECT_EQ(hub->UnregisterLogProcessorById(GetId()), this);
            EXPECT_EQ(hub->UnregisterLogProcessorById(m_pRemoved->Id()), m_pRemoved);
            EXPECT_EQ(hub->RegisterLogProcessor(m_pAdded, nullptr, nullptr), 1);
            return 1;
        }
        CLogCapture* m_pRemoved;
        CLogCapture* m_pAdded;
    };
    CAdvancedLog hub;
    hub.Init();
    CLogCapture first(&hub), removed(nullptr), third(nullptr), fourth(nullptr), added(nullptr);
    CLeaver leaver(&removed, &added);
    for (ILogProcessor* receiver :
         std::initializer_list<ILogProcessor*>{&leaver, &removed, &third, &fourth})
        ASSERT_EQ(hub.RegisterLogProcessor(receiver, nullptr, nullptr), 1);
    hub.ProcessLog(L"a.cpp", 1, 0, ADVLOG_SEVERITY_INFO, L"one");
    hub.ProcessLog(L"a.cpp", 2, 0, ADVLOG_SEVERITY_INFO, L"two");
    auto messages = [](const CLogCapture& capture)
    {
        std::vector<std::wstring> out;
        for (const testsupport::SLogLine& line : capture.m_Lines)
            out.push_back(line.message);
        return out;
    };
    using Lines = std::vector<std::wstring>;
    EXPECT_EQ(messages(first), (Lines{L"one", L"two"}));
    EXPECT_EQ(messages(leaver), (Lines{L"one"}));
    EXPECT_EQ(messages(removed), Lines{});
    EXPECT_EQ(messages(third), (Lines{L"one", L"two"}));
    EXPECT_EQ(messages(fourth), (Lines{L"one", L"two"}));
    // One that joined during a line gets the lines after it.
    EXPECT_EQ(messages(added), (Lines{L"two"}));
    EXPECT_EQ(leaver.m_Unregistered, 1);
    EXPECT_EQ(hub.GetLogReceiverById(leaver.Id()), nullptr);
    EXPECT_EQ(hub.GetLogReceiverById(third.Id()), &third);
    hub.UnregisterAll();
}

// Runs only as the child of CrossProcessMergeOfChildLog.
TEST(AdvancedLogChild, WritesOwnLogFile)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    const char* target = getenv("FW2_CHILD_LOG");
    ASSERT_NE(target, nullptr);
    CAdvancedLog* hub = CAdvancedLog::GetProcessLevelInstance();
    auto* receiver = new CAdvLogProcessor_WriteToFile();
    receiver->SetLogFile(winport::FromUtf8(target).c_str());
    ASSERT_EQ(hub->RegisterLogProcessor(receiver, L"child file", nullptr), 1);
    ADVLOG(ADVLOG_SEVERITY_WARNING, L"child pid %d", static_cast<int>(GetCurrentProcessId()));
    hub->ProcessLog(L"child\\Task.cpp", 31, 2, ADVLOG_SEVERITY_NOISY, L"%s", L"CTask::Run");
    delete hub->UnregisterLogProcessorByName(L"child file");
}

TEST(AdvancedLog, CrossProcessMergeOfChildLog)
{
    if (testsupport::IsChild())
        GTEST_SKIP();
    std::wstring path = FreshTempFile(L"fw2_real_child.log");
    std::string output;
    ASSERT_EQ(testsupport::RunChild("AdvancedLogChild.WritesOwnLogFile",
                                    {{"FW2_CHILD_LOG", Narrow(path)}}, &output),
              0)
        << output;
    CAdvancedLog hub;
    hub.Init();
    CLogCapture capture(nullptr);
    hub.RegisterLogProcessor(&capture, nullptr, nullptr);
    ASSERT_EQ(hub.MergeExistingLogFile(path.c_str()), 1) << output;
    ASSERT_EQ(capture.m_Lines.size(), 3u) << output;
    std::wsmatch m;
    std::wregex first(
        LR"(^.{24} \[(\d{4,}):\d{4,}\] \[ +LogTests\.cpp\( *\d+\)\] \[ Warning\]  child pid (\d+)\n$)");
    ASSERT_TRUE(std::regex_match(capture.m_Lines[1].message, m, first))
        << Narrow(capture.m_Lines[1].message);
    EXPECT_EQ(std::stoi(m[1].str()), std::stoi(m[2].str()));
    EXPECT_NE(std::stoi(m[1].str()), static_cast<int>(getpid()));
    std::wregex second(
        LR"(^.{24} \[\d{4,}:\d{4,}\] \[ {27}Task\.cpp\(  31\)\] \[  >>>>  \]  CTask::Run\n$)");
    EXPECT_TRUE(std::regex_match(capture.m_Lines[2].message, second))
        << Narrow(capture.m_Lines[2].message);
    hub.UnregisterAll();
}

TEST(AdvancedLog, DebuggerOutputGetsTheMessageAlone)
{
    std::string target = testsupport::FleetRoot() + "/fw2_dbgview.txt";
    unlink(target.c_str());
    setenv("FLEET_DEBUG_OUTPUT", target.c_str(), 1);
    CAdvancedLog hub;
    hub.Init();
    CAdvLogProcessor_RedirectToDbgView receiver;
    CLogCapture after(nullptr);
    hub.RegisterLogProcessor(&receiver, nullptr, nullptr);
    hub.RegisterLogProcessor(&after, nullptr, nullptr);
    hub.ProcessLog(L"a.cpp", 1, 0, ADVLOG_SEVERITY_ERROR, L"one %d", 1);
    hub.ProcessLog(L"a.cpp", 2, 2, ADVLOG_SEVERITY_DEBUG, L"two\n");
    hub.ProcessLog(L"a.cpp", 3, 0, ADVLOG_SEVERITY_DEBUG, L"%s", L"");
    hub.ProcessLog(L"a.cpp", 4, 0, ADVLOG_SEVERITY_DEBUG, L"\u00fc");
    unsetenv("FLEET_DEBUG_OUTPUT");
    hub.UnregisterAll();
    EXPECT_EQ(testsupport::ReadHostFile(target), "one 1\ntwo\n\n\xC3\xBC\n");
    EXPECT_EQ(after.m_Lines.size(), 4u);
}

TEST(AdvancedLog, ConsoleColoursWarningsAndErrorsRed)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    struct termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    CAdvancedLog hub;
    hub.Init();
    CAdvLogProcessor_WriteToConsole console;
    CLogCapture after(nullptr);
    hub.RegisterLogProcessor(&console, nullptr, nullptr);
    hub.RegisterLogProcessor(&after, nullptr, nullptr);

    fflush(stdout);
    int saved = dup(1);
    dup2(slave, 1);
    for (int severity : {30, 40, 50, 60, 100, 35})
        hub.ProcessLog(L"c.cpp", 1, 0, static_cast<ADVLOG_SEVERITY_LEVEL>(severity), L"s%d",
                       severity);
    hub.ProcessLog(L"c.cpp", 1, 0, ADVLOG_SEVERITY_ERROR, L"kept\n");
    // Without a console nothing is written, and later receivers still get the line.
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    hub.ProcessLog(L"c.cpp", 1, 0, ADVLOG_SEVERITY_ERROR, L"no console");
    dup2(saved, 1);
    close(saved);
    close(null);
    close(slave);
    hub.UnregisterAll();

    std::string got;
    char buffer[4096];
    struct pollfd wait = {master, POLLIN, 0};
    while (poll(&wait, 1, 200) > 0)
    {
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    const std::string red = "\033[0;91;40m", restore = "\033[0m";
    EXPECT_EQ(got, "s30\n" + red + "s40\n" + restore + red + "s50\n" + restore + red + "s60\n" +
                       restore + "s100\ns35\n" + red + "kept\n" + restore);
    EXPECT_EQ(after.m_Lines.size(), 8u);
}

TEST(AdvancedLog, DefaultLogFilePath)
{
    EXPECT_EQ(CAdvancedLog::GetDefaultDebugLogFilePath(nullptr),
              L"C:\\Windows\\Temp\\_framework_tests.log");
    EXPECT_EQ(CAdvancedLog::GetDefaultDebugLogFilePath(L"Parvel"),
              L"C:\\Windows\\Temp\\Parvel_framework_tests.log");
    std::wstring longPrefix(400, L'p');
    EXPECT_EQ(CAdvancedLog::GetDefaultDebugLogFilePath(longPrefix.c_str()).size(), 259u);
}

TEST(ProgramDebugLog, StartStopWritesMachineTempAndMergeFailureIsLogged)
{
    std::wstring path = L"C:\\Windows\\Temp\\Parvel_framework_tests.log";
    DeleteFileW(path.c_str());
    CProgramDebugLog::Start();
    CProgramDebugLog::Start(); // a second start keeps the one receiver
    CAdvancedLog* hub = CAdvancedLog::GetProcessLevelInstance();
    ILogProcessor* receiver = hub->GetLogReceiverByName(L"CAdvLogProcessor_WriteToFile");
    ASSERT_NE(receiver, nullptr);
    EXPECT_NE(dynamic_cast<CAdvLogProcessor_WriteToFile*>(receiver), nullptr);
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"hello %s %d", L"w\u00e9rld", 42);
    EXPECT_EQ(CProgramDebugLog::MergeChildLog(L"C:\\Windows\\Temp\\fw2_missing_child.log"), 0);
    CProgramDebugLog::Stop();
    std::string bytes = testsupport::ReadHostFile(testsupport::HostPath(path));
    ASSERT_EQ(bytes.substr(0, 3), kBom);
    std::vector<std::string> lines = SplitCrLf(bytes.substr(3));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("LogTests.cpp("), std::string::npos);
    EXPECT_NE(lines[0].find("] [  Debug ]  hello w\xC3\xA9rld 42"), std::string::npos);
    EXPECT_NE(lines[1].find("[  Error ]  Failed to merge process log. The log file is "
                            "C:\\Windows\\Temp\\fw2_missing_child.log"),
              std::string::npos);
    // Stop freed the hub: a new one starts without receivers.
    EXPECT_EQ(CAdvancedLog::GetProcessLevelInstance()->GetLogReceiverByName(
                  L"CAdvLogProcessor_WriteToFile"),
              nullptr);
}

TEST(MemoryBuffer, ZeroFilledGrowthAndRefusedSizes)
{
    CMemoryBuffer buffer;
    ASSERT_EQ(buffer.GetSize(), 256u);
    ASSERT_NE(buffer.GetBuffer(), nullptr);
    for (unsigned int i = 0; i < 256; ++i)
        ASSERT_EQ(buffer.GetBuffer()[i], 0) << i;
    for (unsigned int i = 0; i < 256; ++i)
        buffer.GetBuffer()[i] = static_cast<unsigned char>(i ^ 0x5A);
    ASSERT_TRUE(buffer.Reallocate(100000));
    EXPECT_EQ(buffer.GetSize(), 100000u);
    for (unsigned int i = 0; i < 256; ++i)
        ASSERT_EQ(buffer.GetBuffer()[i], static_cast<unsigned char>(i ^ 0x5A)) << i;
    for (unsigned int i = 256; i < 100000; ++i)
        ASSERT_EQ(buffer.GetBuffer()[i], 0) << i;

    unsigned char* before = buffer.GetBuffer();
    EXPECT_FALSE(buffer.Reallocate(0x80000000u));
    EXPECT_EQ(buffer.GetBuffer(), before);
    EXPECT_EQ(buffer.GetSize(), 100000u);
    EXPECT_EQ(buffer.GetBuffer()[255], static_cast<unsigned char>(255 ^ 0x5A));

    ASSERT_TRUE(buffer.Reallocate(16));
    EXPECT_EQ(buffer.GetSize(), 16u);
    EXPECT_EQ(buffer.GetBuffer()[15], static_cast<unsigned char>(15 ^ 0x5A));

    CMemoryBuffer sized(10);
    EXPECT_EQ(sized.GetSize(), 10u);
    // A refused first allocation leaves an empty buffer that can still grow later.
    CMemoryBuffer refused(0xC0000000u);
    EXPECT_EQ(refused.GetBuffer(), nullptr);
    EXPECT_EQ(refused.GetSize(), 0u);
    ASSERT_TRUE(refused.Reallocate(32));
    EXPECT_EQ(refused.GetSize(), 32u);
    EXPECT_EQ(refused.GetBuffer()[31], 0);
}
