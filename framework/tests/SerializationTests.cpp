#include "framework/CAdvancedLog.h"
#include "framework/CPropertyManager.h"
#include "framework/Serialization.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinFile.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <climits>

namespace
{

using testsupport::CLogCapture;

// Writes its items; reads back every item there is.
class CItems : public ISerializeSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override
    {
        ++m_ToCalls;
        for (const std::wstring& item : m_Items)
            stream->WriteString(item);
        return m_Result;
    }
    int OnSerializeFrom(CSerializeStream* stream) override
    {
        ++m_FromCalls;
        m_Items.clear();
        while (stream->IsHaveDataForRead())
            m_Items.push_back(stream->ReadString());
        return m_Result;
    }
    std::vector<std::wstring> m_Items;
    int m_Result = 1;
    int m_ToCalls = 0;
    int m_FromCalls = 0;
};

// A memory storage that reports its opens and closes, and may refuse to open.
class CCountingStorage : public CPersistentStorageMemory
{
public:
    int OpenStorage(int forRead) override
    {
        m_Opens.push_back(forRead);
        return m_OpenResult;
    }
    int CloseStorage() override
    {
        ++m_Closes;
        return m_CloseResult;
    }
    std::vector<int> m_Opens;
    int m_OpenResult = 1;
    int m_CloseResult = 1;
    int m_Closes = 0;
};

std::wstring FreshFile(const wchar_t* name)
{
    std::wstring path = std::wstring(L"C:\\Windows\\Temp\\") + name;
    DeleteFileW(path.c_str());
    return path;
}

std::vector<std::wstring> ReadAllItems(const std::wstring& path)
{
    CItems items;
    CPersistentStorageFile storage(path);
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&items, &storage), 1);
    return items.m_Items;
}

const std::string kBom = "\xEF\xBB\xBF";
const std::wstring kSpecial = L"a\r\nb\\c\td\re\nf\\\\";

} // namespace

TEST(Serialization, FileRoundTripKeepsLineBreaksBackslashesAndTabs)
{
    std::wstring path = FreshFile(L"fw2_items.dat");
    CItems written;
    written.m_Items = {L"header", kSpecial, L"", L"caf\u00e9 \U0001F600", L"last"};
    CPersistentStorageFile storage(path);
    storage.DeleteExistingFile();
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&written, &storage), 1);

    std::string bytes = testsupport::ReadHostFile(testsupport::HostPath(path));
    EXPECT_EQ(bytes, kBom + "header\r\na\\r\\nb\\\\c\td\\re\\nf\\\\\\\\\r\n\r\n"
                            "caf\xC3\xA9 \xF0\x9F\x98\x80\r\nlast\r\n");

    // The file ends in a line end, so the reader meets one extra, empty item.
    std::vector<std::wstring> expected = written.m_Items;
    expected.push_back(L"");
    EXPECT_EQ(ReadAllItems(path), expected);

    // Writing again without deleting appends after the first set, with no second mark.
    CItems more;
    more.m_Items = {L"appended"};
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&more, &storage), 1);
    expected.back() = L"appended";
    expected.push_back(L"");
    EXPECT_EQ(ReadAllItems(path), expected);
    bytes = testsupport::ReadHostFile(testsupport::HostPath(path));
    EXPECT_EQ(bytes.find(kBom, 3), std::string::npos);

    storage.DeleteExistingFile();
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Serialization, FileReaderEndOfDataAndLongLines)
{
    std::wstring path = FreshFile(L"fw2_long.dat");
    std::vector<std::wstring> items;
    for (size_t length : {1022u, 1023u, 1024u, 2046u, 2047u, 5000u})
        items.push_back(std::wstring(length, static_cast<wchar_t>(L'a' + length % 26)));
    items.push_back(std::wstring(3000, L'\\')); // doubles on disk
    {
        CPersistentStorageFile storage(path);
        ASSERT_EQ(storage.OpenStorage(0), 1);
        for (const std::wstring& item : items)
            storage.WriteString(item);
        storage.CloseStorage();
    }
    CPersistentStorageFile storage(path);
    ASSERT_EQ(storage.OpenStorage(1), 1);
    for (const std::wstring& item : items)
    {
        ASSERT_EQ(storage.IsHaveDataForRead(), 1);
        std::wstring read = storage.ReadString();
        EXPECT_EQ(read.size(), item.size());
        EXPECT_EQ(read, item);
    }
    EXPECT_EQ(storage.IsHaveDataForRead(), 1);
    EXPECT_EQ(storage.ReadString(), L"");
    EXPECT_EQ(storage.IsHaveDataForRead(), 0);
    EXPECT_EQ(storage.ReadString(), L"");
    // Opening again closes the stream first and starts over.
    ASSERT_EQ(storage.OpenStorage(1), 1);
    EXPECT_EQ(storage.ReadString(), items[0]);
    storage.CloseStorage();

    // Without a final line feed the last item ends the data; no extra empty item.
    testsupport::WriteHostFile(testsupport::HostPath(path), kBom + "a\r\nb\\nc");
    EXPECT_EQ(ReadAllItems(path), (std::vector<std::wstring>{L"a", L"b\nc"}));
    testsupport::WriteHostFile(testsupport::HostPath(path), "");
    EXPECT_EQ(ReadAllItems(path), (std::vector<std::wstring>{L""}));
}

TEST(Serialization, StoredEscapesThatAreNotKnown)
{
    std::wstring path = FreshFile(L"fw2_escapes.dat");
    CLogCapture log;
    // Upper-case escapes decode too; "\q" keeps both characters and warns; a half-written
    // escape at the very end loses its backslash.
    testsupport::WriteHostFile(testsupport::HostPath(path),
                               kBom + "\\T\\R\\N\\\\\r\nx\\qy\r\nab\\");
    EXPECT_EQ(ReadAllItems(path), (std::vector<std::wstring>{L"\t\r\n\\", L"x\\qy", L"ab"}));
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_WARNING, L"Invalid esacpe character: q"), 1);

    CPersistentStorageMemory memory;
    memory.SetMemoryDataFromText(L"\\z1\nend\\");
    EXPECT_EQ(memory.ReadString(), L"\\z1");
    EXPECT_EQ(memory.ReadString(), L"end");
    EXPECT_EQ(log.Count(0, ADVLOG_SEVERITY_WARNING, L"Invalid esacpe character: z"), 1);
}

TEST(Serialization, MemoryTextFormRoundTrip)
{
    CPersistentStorageMemory memory;
    EXPECT_EQ(memory.GetMemoryDataAsText(), L"");
    CItems written;
    written.m_Items = {L"abc", L"1", kSpecial, L"", L"\U0001F600"};
    ASSERT_EQ(CSerializer::SerializeObjectToStorage(&written, &memory), 1);
    std::wstring text = memory.GetMemoryDataAsText();
    EXPECT_EQ(text, L"abc\n1\na\\r\\nb\\\\c\td\\re\\nf\\\\\\\\\n\n\U0001F600\n");

    CPersistentStorageMemory other;
    other.WriteString(L"stale");
    other.SetMemoryDataFromText(text);
    EXPECT_EQ(other.GetItemCount(), 5u);
    CItems read;
    ASSERT_EQ(CSerializer::ConstructObjectFromStorage(&read, &other), 1);
    EXPECT_EQ(read.m_Items, written.m_Items);

    // An empty first item does not survive the text form; an empty last one does.
    CPersistentStorageMemory first;
    first.WriteString(L"");
    first.WriteString(L"a");
    EXPECT_EQ(first.GetMemoryDataAsText(), L"\na\n");
    first.SetMemoryDataFromText(first.GetMemoryDataAsText());
    EXPECT_EQ(first.GetItemCount(), 1u);
    EXPECT_EQ(first.ReadString(), L"a");

    CPersistentStorageMemory last;
    last.WriteString(L"a");
    last.WriteString(L"");
    last.SetMemoryDataFromText(last.GetMemoryDataAsText());
    ASSERT_EQ(last.GetItemCount(), 2u);
    EXPECT_EQ(last.ReadString(), L"a");
    EXPECT_EQ(last.ReadString(), L"");

    last.SetMemoryDataFromText(L"\n\nx\n\n\ny");
    EXPECT_EQ(last.GetItemCount(), 4u);
    EXPECT_EQ(last.ReadString(), L"x");
    last.Clear();
    EXPECT_EQ(last.IsHaveDataForRead(), 0);
    EXPECT_EQ(last.GetMemoryDataAsText(), L"");
}

TEST(Serialization, NumbersAndReadingPastTheEnd)
{
    CLogCapture log;
    CPersistentStorageMemory memory;
    CSerializeStream stream(&memory);
    stream.WriteInt(-5);
    stream.WriteInt(INT_MIN);
    stream.WriteInt(INT_MAX);
    stream.WriteString(L"abc");
    stream.WriteString(L"  42xyz");
    stream.WriteString(L"+7");
    EXPECT_EQ(memory.GetMemoryDataAsText(), L"-5\n-2147483648\n2147483647\nabc\n  42xyz\n+7\n");
    EXPECT_EQ(stream.ReadInt(), -5);
    EXPECT_EQ(stream.ReadInt(), INT_MIN);
    EXPECT_EQ(stream.ReadInt(), INT_MAX);
    EXPECT_EQ(stream.ReadInt(), 0);
    EXPECT_EQ(stream.ReadInt(), 42);
    EXPECT_EQ(stream.IsHaveDataForRead(), 1);
    EXPECT_EQ(stream.ReadInt(), 7);
    EXPECT_EQ(stream.IsHaveDataForRead(), 0);
    EXPECT_EQ(log.CountUnexpected(L"CPersistentStorageMemory::ReadString"), 0);
    // Past the end: empty texts and zeros, each read logged.
    EXPECT_EQ(stream.ReadString(), L"");
    EXPECT_EQ(stream.ReadInt(), 0);
    EXPECT_EQ(log.CountUnexpected(L"CPersistentStorageMemory::ReadString"), 2);
}

TEST(Serialization, StreamAndFileWithoutStorageLogUnexpectedBranches)
{
    CLogCapture log;
    CSerializeStream stream(nullptr);
    stream.WriteString(L"x");
    stream.WriteInt(3);
    EXPECT_EQ(stream.ReadString(), L"");
    EXPECT_EQ(stream.ReadInt(), 0);
    EXPECT_EQ(stream.IsHaveDataForRead(), 0);
    for (const wchar_t* function : {L"CSerializeStream::WriteString", L"CSerializeStream::WriteInt",
                                    L"CSerializeStream::ReadString", L"CSerializeStream::ReadInt",
                                    L"CSerializeStream::IsHaveDataForRead"})
        EXPECT_EQ(log.CountUnexpected(function), 1) << winport::ToUtf8(function);
    EXPECT_EQ(log.m_Lines.size(), 5u);

    log.m_Lines.clear();
    CPersistentStorageFile file(FreshFile(L"fw2_never_opened.dat"));
    file.WriteString(L"dropped");
    EXPECT_EQ(file.IsHaveDataForRead(), 0);
    EXPECT_EQ(file.ReadString(), L"");
    file.CloseStorage();
    EXPECT_EQ(log.CountUnexpected(L"CPersistentStorageFile::IsHaveDataForRead"), 1);
    EXPECT_EQ(log.CountUnexpected(L"CPersistentStorageFile::ReadString"), 1);
    EXPECT_EQ(log.m_Lines.size(), 2u);
    EXPECT_EQ(GetFileAttributesW(L"C:\\Windows\\Temp\\fw2_never_opened.dat"),
              INVALID_FILE_ATTRIBUTES);
}

TEST(Serialization, FailuresAreLoggedAndReportedAsZero)
{
    CLogCapture log;
    const std::wstring path = L"C:\\fw2_no_such_folder\\object.dat";
    CItems object;
    object.m_Items = {L"header"};
    CPersistentStorageFile storage(path);
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&object, &storage), 0);
    EXPECT_EQ(object.m_ToCalls, 0);
    EXPECT_EQ(
        log.Count(0, ADVLOG_SEVERITY_ERROR,
                  L"OpenStorage, fopen return NULL. File='" + path + L"', Flag='a, ccs=UTF-8'"),
        1);
    EXPECT_TRUE(
        log.HasContaining(ADVLOG_SEVERITY_ERROR, L"pStorage->OpenStorage failed, pObj is "));
    EXPECT_TRUE(
        log.HasContaining(ADVLOG_SEVERITY_ERROR, L"CItems, pStorage is CPersistentStorageFile"));

    log.m_Lines.clear();
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&object, &storage), 0);
    EXPECT_EQ(object.m_FromCalls, 0);
    EXPECT_EQ(
        log.Count(0, ADVLOG_SEVERITY_ERROR,
                  L"OpenStorage, fopen return NULL. File='" + path + L"', Flag='r, ccs=UTF-8'"),
        1);
    EXPECT_TRUE(
        log.HasContaining(ADVLOG_SEVERITY_ERROR, L"pStorage->OpenStorage failed, pObj is "));

    // An object that reports failure: logged, reported, and the storage is still closed.
    log.m_Lines.clear();
    CCountingStorage counting;
    object.m_Result = 0;
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&object, &counting), 0);
    EXPECT_EQ(counting.m_Opens, (std::vector<int>{0}));
    EXPECT_EQ(counting.m_Closes, 1);
    EXPECT_TRUE(log.HasContaining(ADVLOG_SEVERITY_ERROR, L"pObj->OnSerializeTo failed, pObj is "));
    EXPECT_TRUE(log.HasContaining(ADVLOG_SEVERITY_ERROR, L"::CCountingStorage"));
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&object, &counting), 0);
    EXPECT_EQ(counting.m_Opens, (std::vector<int>{0, 1}));
    EXPECT_EQ(counting.m_Closes, 2);
    EXPECT_TRUE(
        log.HasContaining(ADVLOG_SEVERITY_ERROR, L"pObj->OnSerializeFrom failed, pObj is "));

    // A storage that cannot open is never closed and the object is never asked.
    object.m_Result = 1;
    counting.m_OpenResult = 0;
    int calls = object.m_ToCalls;
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&object, &counting), 0);
    EXPECT_EQ(object.m_ToCalls, calls);
    EXPECT_EQ(counting.m_Closes, 2);
    counting.m_OpenResult = 1;
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&object, &counting), 1);
    EXPECT_EQ(counting.m_Closes, 3);
}

TEST(Serialization, FullDiskOrFailedCloseIsAFailedWrite)
{
    CLogCapture log;
    // A full disk takes the open but none of the bytes: the object was not saved.
    CPropertyManager store;
    for (int i = 0; i < 3; ++i)
        store.SetProperty(winport::Format(L"Key%d", i), std::wstring(3000, L'v'));
    CPersistentStorageFile full(L"Z:\\dev\\full");
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&store, &full), 0);
    EXPECT_TRUE(log.HasContaining(ADVLOG_SEVERITY_ERROR, L"File='Z:\\dev\\full'"));
    EXPECT_TRUE(log.HasContaining(ADVLOG_SEVERITY_ERROR, L"pObj is CPropertyManager"));
    // So is a short object, whose few bytes only fail when the close flushes them.
    CItems small;
    small.m_Items = {L"x"};
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&small, &full), 0);

    // Any storage whose close fails after writing; reading has nothing to lose there.
    CCountingStorage counting;
    counting.m_CloseResult = 0;
    EXPECT_EQ(CSerializer::SerializeObjectToStorage(&small, &counting), 0);
    EXPECT_EQ(CSerializer::ConstructObjectFromStorage(&small, &counting), 1);
    EXPECT_EQ(counting.m_Closes, 2);
}
