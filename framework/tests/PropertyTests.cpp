#include "framework/CFlexiblePropertyFileLoader.h"
#include "framework/CPropertyManager.h"
#include "framework/Serialization.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <future>
#include <thread>

namespace
{

using Items = std::vector<std::pair<std::wstring, std::wstring>>;

Items ItemsOf(IPropertyProvider& provider)
{
    std::vector<CPropertyItem> items{CPropertyItem(L"stale", L"entry")};
    provider.EnumerateProperties(&items);
    Items out;
    for (const CPropertyItem& item : items)
        out.emplace_back(item.m_strName, item.m_strValue);
    return out;
}

std::vector<std::wstring> Drain(CPersistentStorageMemory& storage)
{
    std::vector<std::wstring> lines;
    while (storage.IsHaveDataForRead())
        lines.push_back(storage.ReadString());
    return lines;
}

void Fill(CPersistentStorageMemory& storage, const std::vector<std::wstring>& lines)
{
    storage.Clear();
    for (const std::wstring& line : lines)
        storage.WriteString(line);
}

// A temporary file on this machine's drive C:, removed when the test ends.
class CTempMachineFile
{
public:
    explicit CTempMachineFile(const std::wstring& name)
        : m_strPath(L"C:\\Windows\\Temp\\" + name), m_Host(testsupport::HostPath(m_strPath))
    {
        std::filesystem::remove(m_Host);
    }
    ~CTempMachineFile() { std::filesystem::remove(m_Host); }

    std::wstring m_strPath;
    std::string m_Host;
};

// Reads a file as its lines without the byte order mark and the CR LF line ends.
std::vector<std::string> HostLines(const std::string& host)
{
    std::string bytes = testsupport::ReadHostFile(host);
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size())
    {
        size_t lf = bytes.find('\n', start);
        std::string line =
            bytes.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = lf == std::string::npos ? bytes.size() : lf + 1;
    }
    return lines;
}

} // namespace

TEST(PropertyManager, EmptyValueRemovesAndNamesAreCaseSensitive)
{
    CPropertyManager store;
    store.SetProperty(L"Framework\\UIMode", L"1");
    EXPECT_EQ(store.IsPropertyExist(L"Framework\\UIMode"), 1);
    store.SetProperty(L"Framework\\UIMode", L"");
    EXPECT_EQ(store.IsPropertyExist(L"Framework\\UIMode"), 0);
    EXPECT_TRUE(ItemsOf(store).empty());
    store.SetProperty(L"Never\\Set", L""); // removing a missing one is harmless
    EXPECT_TRUE(ItemsOf(store).empty());

    store.SetProperty(L"Framework\\UIMode", L"1");
    store.SetProperty(L"framework\\uimode", L"2");
    store.SetProperty(L"Framework\\UIMode", L"3");
    EXPECT_EQ(store.GetProperty(L"Framework\\UIMode"), L"3");
    EXPECT_EQ(store.GetProperty(L"framework\\uimode"), L"2");
    EXPECT_EQ(store.GetProperty(L"FRAMEWORK\\UIMODE"), L"");
    EXPECT_EQ(ItemsOf(store), (Items{{L"Framework\\UIMode", L"3"}, {L"framework\\uimode", L"2"}}));

    store.SetProperty(L"Count", L"12abc");
    EXPECT_EQ(store.GetPropertyInt(L"Count"), 12);
    EXPECT_EQ(store.GetPropertyInt(L"Missing"), 0);
    store.SetPropertyInt(L"Negative", -5);
    EXPECT_EQ(store.GetProperty(L"Negative"), L"-5");
    store.SetPropertyInt(L"Zero", 0);
    EXPECT_EQ(store.GetProperty(L"Zero"), L"0"); // "0" is a value, not an empty one

    CPropertyManager empty;
    store.LoadPropertiesFromAnotherInstance(&empty);
    store.LoadPropertiesFromAnotherInstance(nullptr);
    EXPECT_EQ(ItemsOf(store).size(), 5u);
    CPropertyManager other;
    other.SetProperty(L"Count", L"7");
    other.SetProperty(L"Added", L"yes");
    store.LoadPropertiesFromAnotherInstance(&other);
    EXPECT_EQ(store.GetProperty(L"Count"), L"7");
    EXPECT_EQ(store.GetProperty(L"Added"), L"yes");
    EXPECT_EQ(store.GetProperty(L"Negative"), L"-5"); // what the other lacks stays
    store.Clear();
    EXPECT_TRUE(ItemsOf(store).empty());
}

TEST(PropertyManager, NamespaceViews)
{
    CPropertyManager store;
    store.SetProperty(L"Addon\\Backend\\ServerList", L"s1,s2");
    store.SetProperty(L"Addon\\Backend\\AnalyzedInfo\\Server\\s1\\Result", L"ok");
    store.SetProperty(L"Addon\\Backendx\\Other", L"sibling");
    store.SetProperty(L"Addon\\UI\\Frame\\MainTitle", L"Title");

    CPropertyManagerNamespaceView backend(&store, L"Addon\\Backend");
    EXPECT_EQ(ItemsOf(backend), (Items{{L"Addon\\Backend\\ServerList", L"s1,s2"}}));
    std::vector<std::wstring> subs{L"stale"};
    backend.EnumerateSubNamespaces(&subs);
    EXPECT_TRUE(subs.empty()); // nothing lies directly in a sub-namespace yet
    store.SetProperty(L"Addon\\Backend\\AnalyzedInfo\\Count", L"1");
    store.SetProperty(L"Addon\\Backend\\AnalyzedInfo\\Total", L"2");
    store.SetProperty(L"Addon\\Backend\\Deploy\\Type", L"x");
    backend.EnumerateSubNamespaces(&subs);
    EXPECT_EQ(subs, (std::vector<std::wstring>{L"AnalyzedInfo", L"Deploy"}));
    CPropertyManagerNamespaceView top(&store, L"");
    top.EnumerateSubNamespaces(&subs);
    EXPECT_TRUE(subs.empty());

    backend.SetProperty(L"DemoMode", L"1");
    EXPECT_EQ(store.GetProperty(L"Addon\\Backend\\DemoMode"), L"1");
    EXPECT_EQ(backend.GetPropertyInt(L"DemoMode"), 1);
    backend.SetPropertyInt(L"Retries", 3);
    EXPECT_EQ(store.GetProperty(L"Addon\\Backend\\Retries"), L"3");
    EXPECT_EQ(backend.IsPropertyExist(L"ServerList"), 1);
    EXPECT_EQ(backend.IsPropertyExist(L"Addon\\Backend\\ServerList"), 0);

    CPropertyManagerNamespaceView addon(&store, L"Addon");
    CPropertyManagerNamespaceView child(&addon, L"Backend");
    EXPECT_EQ(child.GetCurrentNamespaceName(), L"Addon\\Backend");
    EXPECT_EQ(child.GetProperty(L"ServerList"), L"s1,s2");
    CPropertyManagerNamespaceView fromTop(&top, L"Backend");
    EXPECT_EQ(fromTop.GetCurrentNamespaceName(), L"\\Backend");
    fromTop.SetProperty(L"x", L"1");
    EXPECT_EQ(store.GetProperty(L"\\Backend\\x"), L"1");
    CPropertyManagerNamespaceView copy(child);
    EXPECT_EQ(copy.GetProperty(L"DemoMode"), L"1");
    EXPECT_EQ(copy.ChangeNamespace(L"Addon\\UI\\Frame"), 1);
    EXPECT_EQ(copy.GetProperty(L"MainTitle"), L"Title");
    EXPECT_EQ(child.GetCurrentNamespaceName(), L"Addon\\Backend");

    // Clearing a view removes only the properties that lie directly in its namespace.
    backend.Clear();
    EXPECT_EQ(backend.IsPropertyExist(L"ServerList"), 0);
    EXPECT_EQ(backend.IsPropertyExist(L"DemoMode"), 0);
    EXPECT_EQ(store.GetProperty(L"Addon\\Backend\\AnalyzedInfo\\Count"), L"1");
    EXPECT_EQ(store.GetProperty(L"Addon\\Backendx\\Other"), L"sibling");
    EXPECT_EQ(store.GetProperty(L"Addon\\UI\\Frame\\MainTitle"), L"Title");

    CPropertyManagerNamespaceView detached;
    detached.SetProperty(L"a", L"1");
    detached.SetPropertyInt(L"b", 2);
    detached.Clear();
    EXPECT_EQ(detached.IsPropertyExist(L"a"), 0);
    EXPECT_EQ(detached.GetProperty(L"a"), L"");
    EXPECT_EQ(detached.GetPropertyInt(L"b"), 0);
    EXPECT_TRUE(ItemsOf(detached).empty());
    detached.AttachPropertyProvider(&store);
    detached.SetProperty(L"TopLevel", L"t");
    EXPECT_EQ(ItemsOf(detached), (Items{{L"TopLevel", L"t"}}));
    detached.DetachPropertyProvider();
    EXPECT_EQ(detached.GetProperty(L"TopLevel"), L"");
}

TEST(PropertyManager, SerializedFormInMemory)
{
    CPropertyManager store;
    store.SetProperty(L"Addon\\Backend\\ServerList", L"a=b=c");
    store.SetProperty(L"Framework\\UIMode", L"1");
    store.SetProperty(L"Multi", L"line one\r\nline\\two");
    CPersistentStorageMemory storage;
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&store, &storage), 1);
    std::wstring text = storage.GetMemoryDataAsText();
    EXPECT_EQ(Drain(storage),
              (std::vector<std::wstring>{L"Class=CPropertyManager ItemCount=3",
                                         L"Addon\\Backend\\ServerList=a=b=c",
                                         L"Framework\\UIMode=1", L"Multi=line one\r\nline\\two"}));
    CPropertyManager copy;
    copy.SetProperty(L"Old", L"gone after reading");
    storage.SetMemoryDataFromText(text);
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_EQ(ItemsOf(copy), ItemsOf(store));

    // Comments, empty lines and lines without "=" do not count against the item count.
    Fill(storage, {L"Class=CPropertyManager ItemCount=2", L"; comment", L"", L"# other",
                   L"no equals sign", L"a=1", L"b=x=y", L"c=3"});
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_EQ(ItemsOf(copy), (Items{{L"a", L"1"}, {L"b", L"x=y"}}));
    EXPECT_EQ(Drain(storage), std::vector<std::wstring>{L"c=3"}); // the rest is left unread

    Fill(storage,
         {L"Class=CPropertyManager ItemCount=*", L"a=1", L"=empty name", L"b= spaced ", L";x=1"});
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_EQ(ItemsOf(copy), (Items{{L"", L"empty name"}, {L"a", L"1"}, {L"b", L" spaced "}}));

    // A header without a usable count, or no header at all, takes everything that follows.
    for (const std::wstring& header :
         {std::wstring(L"Class=CPropertyManager"), std::wstring(L"ItemCount="),
          std::wstring(L"garbage header"), std::wstring(L"")})
    {
        Fill(storage, {header, L"a=1", L"b=2", L"c=3"});
        ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
        EXPECT_EQ(ItemsOf(copy).size(), 3u) << std::string(header.begin(), header.end());
    }
    // A line with an empty value counts but stores nothing.
    Fill(storage, {L"ItemCount=2", L"d=", L"e=1", L"f=2"});
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_EQ(ItemsOf(copy), (Items{{L"e", L"1"}}));
    Fill(storage, {L"ItemCount=0", L"a=1"});
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_TRUE(ItemsOf(copy).empty());
}

TEST(PropertyManager, SerializedFormInFile)
{
    CTempMachineFile file(L"fwtests-properties.txt");
    CPropertyManager store;
    store.SetProperty(L"Framework\\SilentRecordFile", L"C:\\Temp\\rec.dat");
    store.SetProperty(L"Addon\\UI\\Frame\\MainTitle", L"Setup \u00e9\u4e2d\U0001F600");
    store.SetProperty(L"Lines", L"one\ntwo");
    CPersistentStorageFile storage(file.m_strPath);
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&store, &storage), 1);
    std::vector<std::string> lines = HostLines(file.m_Host);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Class=CPropertyManager ItemCount=3");
    EXPECT_EQ(lines[1],
              "Addon\\\\UI\\\\Frame\\\\MainTitle=Setup \xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");

    CPropertyManager copy;
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_EQ(ItemsOf(copy), ItemsOf(store));

    // A file written by another program: no final line feed, comments, a count of "*".
    testsupport::WriteHostFile(file.m_Host,
                               "Class=CPropertyManager ItemCount=*\r\n# note\r\n\r\na=1\r\nb=2");
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 1);
    EXPECT_EQ(ItemsOf(copy), (Items{{L"a", L"1"}, {L"b", L"2"}}));

    CPersistentStorageFile missing(L"C:\\Windows\\Temp\\fwtests-no-such-file.txt");
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &missing), 0);
}

TEST(PropertyManager, FewerItemsThanTheHeaderCountsIsNoCompleteLoad)
{
    // A saved file cut short after its second item, as a crash or a full disk leaves it.
    CTempMachineFile file(L"fwtests-short.txt");
    CPropertyManager store;
    store.SetProperty(L"a", L"1");
    store.SetProperty(L"b", L"2");
    store.SetProperty(L"c", L"3");
    CPersistentStorageFile storage(file.m_strPath);
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&store, &storage), 1);
    std::string bytes = testsupport::ReadHostFile(file.m_Host);
    testsupport::WriteHostFile(file.m_Host, bytes.substr(0, bytes.find("c=3")));
    CPropertyManager copy;
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &storage), 0);

    // The same in memory; comments and lines without "=" make up for no missing item.
    CPersistentStorageMemory memory;
    Fill(memory, {L"Class=CPropertyManager ItemCount=3", L"a=1", L"; c=3", L"no equals", L"b=2"});
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &memory), 0);
    // Without a count, whatever is there is the whole file.
    Fill(memory, {L"Class=CPropertyManager ItemCount=*", L"a=1"});
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &memory), 1);
    Fill(memory, {L"Class=CPropertyManager ItemCount=1", L"a=1"});
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&copy, &memory), 1);
    EXPECT_EQ(ItemsOf(copy), (Items{{L"a", L"1"}}));
}

TEST(PropertyManager, ConcurrentNamespacesLoseNothing)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 400;
    constexpr int kKeys = 12;
    CPropertyManager store;
    // Each value names its property and repeats a round-dependent filler, so a torn or
    // misplaced value is recognisable.
    auto makeValue = [](const std::wstring& name, int round)
    {
        return name + L"|" + std::to_wstring(round) + L"|" +
               std::wstring(static_cast<size_t>(round % 37 + 1),
                            static_cast<wchar_t>(L'a' + round % 26));
    };
    auto isWhole = [&](const std::wstring& name, const std::wstring& value)
    {
        size_t bar = value.find(L'|', name.size() + 1);
        if (value.compare(0, name.size() + 1, name + L"|") != 0 || bar == std::wstring::npos)
            return false;
        int round = static_cast<int>(wcstol(value.c_str() + name.size() + 1, nullptr, 10));
        return value == makeValue(name, round);
    };
    std::atomic<int> failures{0};
    auto worker = [&](int index)
    {
        std::wstring nameSpace = L"Worker\\T" + std::to_wstring(index);
        CPropertyManagerNamespaceView view(&store, nameSpace);
        for (int round = 0; round < kRounds; ++round)
        {
            for (int k = 0; k < kKeys; ++k)
            {
                std::wstring name = L"k" + std::to_wstring(k);
                std::wstring value = makeValue(nameSpace + L"\\" + name, round);
                view.SetProperty(name, value);
                if (view.GetProperty(name) != value)
                    ++failures;
            }
            std::vector<CPropertyItem> all;
            store.EnumerateProperties(&all);
            for (const CPropertyItem& item : all)
                failures += isWhole(item.m_strName, item.m_strValue) ? 0 : 1;
            std::vector<CPropertyItem> mine;
            view.EnumerateProperties(&mine);
            failures += mine.size() == static_cast<size_t>(kKeys) ? 0 : 1;
            if (round % 25 == 0)
            {
                CPersistentStorageMemory snapshot;
                CSerializer::SerializeObjectToStorage(&store, &snapshot);
                failures += snapshot.GetItemCount() >= static_cast<size_t>(kKeys) + 1 ? 0 : 1;
            }
            if (round % 10 == 9 && round != kRounds - 1)
            {
                view.Clear();
                view.EnumerateProperties(&mine);
                failures += mine.empty() ? 0 : 1;
            }
        }
    };
    auto all = std::async(std::launch::async,
                          [&]
                          {
                              std::vector<std::thread> threads;
                              for (int i = 0; i < kThreads; ++i)
                                  threads.emplace_back(worker, i);
                              for (std::thread& thread : threads)
                                  thread.join();
                          });
    if (all.wait_for(std::chrono::seconds(240)) != std::future_status::ready)
    {
        fprintf(stderr, "property store workers deadlocked\n");
        fflush(stderr);
        std::_Exit(1);
    }
    EXPECT_EQ(failures.load(), 0);
    std::vector<CPropertyItem> items;
    store.EnumerateProperties(&items);
    ASSERT_EQ(items.size(), static_cast<size_t>(kThreads * kKeys));
    for (int i = 0; i < kThreads; ++i)
    {
        for (int k = 0; k < kKeys; ++k)
        {
            std::wstring name = L"Worker\\T" + std::to_wstring(i) + L"\\k" + std::to_wstring(k);
            EXPECT_EQ(store.GetProperty(name), makeValue(name, kRounds - 1));
        }
    }
}

TEST(FlexiblePropertyFile, ReadsOnlyWellFormedLines)
{
    CPersistentStorageMemory storage;
    Fill(storage, {L"  \t#indented comment=1", L"/slash=1", L"a.b", L"a.d=", L"a.c=x=y"});
    CFlexiblePropertyFileLoader loader;
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&loader, &storage), 1);
    CPropertyManager target;
    target.SetProperty(L"Kept", L"1");
    loader.CopyPropertiesToAnotherPropertyProvider(&target);
    EXPECT_EQ(ItemsOf(target), (Items{{L"Kept", L"1"}, {L"a\\c", L"x=y"}}));

    Fill(storage, {L"", L" \t ", L"; semi=1", L"\\back=1", L"\t\tFramework.UIMode=1",
                   L"name with blanks = v ", L"Addon.Backend.DemoMode=1"});
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&loader, &storage), 1);
    CPropertyManager second;
    loader.CopyPropertiesToAnotherPropertyProvider(&second);
    // Reading replaces what an earlier read loaded.
    EXPECT_EQ(ItemsOf(second), (Items{{L"Addon\\Backend\\DemoMode", L"1"},
                                      {L"Framework\\UIMode", L"1"},
                                      {L"name with blanks ", L" v "}}));
}

TEST(FlexiblePropertyFile, WritesDottedLinesAndRoundTripsThroughAFile)
{
    CPropertyManager source;
    source.SetProperty(L"Framework\\UIMode", L"1");
    CFlexiblePropertyFileLoader loader;
    loader.GetPropertiesFromAnotherPropertyProvider(&source);
    CPersistentStorageMemory storage;
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&loader, &storage), 1);
    EXPECT_EQ(Drain(storage), std::vector<std::wstring>{L"Framework.UIMode=1"});

    CTempMachineFile file(L"fwtests-config.dat");
    source.SetProperty(L"Addon\\Backend\\ServerList", L"srv1, srv2 = main");
    source.SetProperty(L"Addon\\UI\\Frame\\MainTitle", L"\u00c9tape \u4e2d");
    CFlexiblePropertyFileLoader writer;
    writer.GetPropertiesFromAnotherPropertyProvider(&source);
    CPersistentStorageFile fileStorage(file.m_strPath);
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&writer, &fileStorage), 1);
    EXPECT_EQ(HostLines(file.m_Host),
              (std::vector<std::string>{"Addon.Backend.ServerList=srv1, srv2 = main",
                                        "Addon.UI.Frame.MainTitle=\xc3\x89tape \xe4\xb8\xad",
                                        "Framework.UIMode=1"}));
    CFlexiblePropertyFileLoader reader;
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&reader, &fileStorage), 1);
    CPropertyManager copy;
    reader.CopyPropertiesToAnotherPropertyProvider(&copy);
    EXPECT_EQ(ItemsOf(copy), ItemsOf(source));

    // Hand-edited: CR LF line ends, tabs, comments and no final line feed.
    testsupport::WriteHostFile(
        file.m_Host, "# settings\r\n\tFramework.UIMode=2\r\n  ; off=1\r\nAddon.Backend.DemoMode=1");
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&reader, &fileStorage), 1);
    CPropertyManager edited;
    reader.CopyPropertiesToAnotherPropertyProvider(&edited);
    EXPECT_EQ(ItemsOf(edited),
              (Items{{L"Addon\\Backend\\DemoMode", L"1"}, {L"Framework\\UIMode", L"2"}}));

    CPersistentStorageFile missing(L"C:\\Windows\\Temp\\fwtests-missing-config.dat");
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&reader, &missing), 0);
}
