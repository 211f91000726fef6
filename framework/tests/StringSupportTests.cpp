#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "framework/ErrorHandles.h"
#include "framework/Sync.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

using S = CStringSupport;

namespace
{

bool IsHandleOpen(HANDLE handle)
{
    HANDLE probe = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &probe, 0, FALSE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    CloseHandle(probe);
    return true;
}

} // namespace

class CThingAtGlobalScope
{
public:
    virtual ~CThingAtGlobalScope() = default;
};

namespace deployment
{
class CTaskInNamespace
{
};
} // namespace deployment

TEST(StringSupport, FormatHasNoLengthLimit)
{
    std::wstring big(40000, L'q');
    big[0] = L'<';
    big[39999] = L'>';
    std::wstring out = S::StringFormat(L"[%s|%hs|%d]", big.c_str(), "narrow", -7);
    ASSERT_EQ(out.size(), 40000u + 1 + 1 + 6 + 1 + 2 + 1);
    EXPECT_EQ(out.substr(0, 2), L"[<");
    EXPECT_EQ(out.substr(40000), L">|narrow|-7]");
    // A width alone can demand the length, across the first buffer sizes.
    EXPECT_EQ(S::StringFormat(L"%40000d", 5).size(), 40000u);
    EXPECT_EQ(S::StringFormat(L"%259s", L"x").size(), 259u);
    EXPECT_EQ(S::StringFormat(L"%260s", L"x").size(), 260u);
    EXPECT_EQ(S::StringFormat(L"%c%%%x", L'\u00e9', 255u), L"\u00e9%ff");
}

TEST(StringSupport, TrimReplaceAndCase)
{
    EXPECT_EQ(S::StringTrim(L"  ", L" "), L"");
    EXPECT_EQ(S::StringTrim(L"xaxx", L"x"), L"a");
    EXPECT_EQ(S::StringTrim(L" \r\n a b\n", L"\r\n "), L"a b");
    EXPECT_EQ(S::StringTrim(L" a ", L""), L" a ");

    EXPECT_EQ(S::StringReplace(L"aaa", L"aa", L"b"), L"ba");
    EXPECT_EQ(S::StringReplace(L"abc", L"", L"zz"), L"abc");
    // A replacement containing the search text is not scanned again.
    EXPECT_EQ(S::StringReplace(L"a.a", L"a", L"aa"), L"aa.aa");

    EXPECT_EQ(S::StringToUpperCase(L"abz\u00e9AZ09"), L"ABZ\u00e9AZ09");
    EXPECT_EQ(S::StringToLowerCase(L"ABZ\u00c9az09"), L"abz\u00c9az09");
}

TEST(StringSupport, EscapeModeTwoRoundTripsAnyText)
{
    const std::wstring texts[] = {
        L"",          L"\\",           L"a\\b",        L"\r\n\r\n",
        L"tab\there", L"ends with \\", L"\\n literal", L"\u00e9\U0001F600\\\n"};
    for (const std::wstring& text : texts)
    {
        std::wstring escaped = S::StringEscape(text, 2);
        EXPECT_EQ(escaped.find_first_of(L"\r\n"), std::wstring::npos);
        EXPECT_EQ(S::StringUnescape(escaped, 2), text);
    }
    EXPECT_EQ(S::StringEscape(L"\\", 2), L"\\\\");
    EXPECT_EQ(S::StringEscape(L"a\tb", 2), L"a\tb");
    EXPECT_EQ(S::StringEscape(L"abc", 3), L"");
    EXPECT_EQ(S::StringUnescape(L"abc", -1), L"");
    EXPECT_EQ(S::StringUnescape(L"a\\Tb\\Rc\\Nd", 2), L"a\tb\rc\nd");

    testsupport::CLogCapture log;
    EXPECT_EQ(S::StringUnescape(L"a\\qb", 2), L"a\\qb");
    ASSERT_EQ(log.m_Lines.size(), 1u);
    EXPECT_EQ(log.m_Lines[0].severity, ADVLOG_SEVERITY_WARNING);
    EXPECT_EQ(log.m_Lines[0].message, L"Invalid esacpe character: q");
    EXPECT_EQ(S::StringUnescape(L"ab\\", 2), L"ab");
}

TEST(StringSupport, EscapeModeOneRoundTripsAnyText)
{
    EXPECT_EQ(S::StringEscape(L"a-Z9 \u00e9", 1), L"a-Z9\\x0020\\x00e9");
    EXPECT_EQ(S::StringEscape(L"\U0001F600", 1), L"\\xd83d\\xde00");
    const std::wstring texts[] = {L"plain-Text09",
                                  L"C:\\Program Files\\x (86)",
                                  L"\u00e9\u4e2d\u6587",
                                  L"\U0001F600 and \U00010348",
                                  L"\\x0041",
                                  L"\uffff\u0001~"};
    for (const std::wstring& text : texts)
        EXPECT_EQ(S::StringUnescape(S::StringEscape(text, 1), 1), text);
    const std::wstring loneSurrogate = std::wstring(1, static_cast<wchar_t>(0xD83D)) + L"z";
    EXPECT_EQ(S::StringUnescape(S::StringEscape(loneSurrogate, 1), 1), loneSurrogate);

    // Truncated escapes at the end must not read past the text.
    testsupport::CLogCapture log;
    EXPECT_EQ(S::StringUnescape(L"ab\\", 1), L"ab");
    EXPECT_EQ(S::StringUnescape(L"ab\\x", 1), L"ab");
    EXPECT_EQ(S::StringUnescape(L"ab\\x4", 1), std::wstring(L"ab") + L'\x4');
    EXPECT_EQ(S::StringUnescape(L"ab\\x41", 1), L"abA");
    EXPECT_EQ(S::StringUnescape(L"\\x0000z", 1), L"z");
}

TEST(StringSupport, ComparisonsAndItemLists)
{
    EXPECT_TRUE(S::IsArrayContainItem(L"ab,abc", L"abc"));
    EXPECT_FALSE(S::IsArrayContainItem(L"abc,ab", L"ab"));
    EXPECT_TRUE(S::IsArrayContainItem(L"x|ab;c", L"ab"));
    EXPECT_FALSE(S::IsArrayContainItem(L"ab c", L"ab"));

    EXPECT_TRUE(S::IsStringBeginWith(L"abc", L""));
    EXPECT_FALSE(S::IsStringBeginWith(L"ab", L"abc"));
    EXPECT_FALSE(S::IsStringBeginWith(L"abc", L"AB"));
    EXPECT_FALSE(S::IsStringEndWith(L"c", L"bc"));
    EXPECT_FALSE(S::IsStringEndWith(L"abC", L"bc"));

    EXPECT_TRUE(S::IsStringLessThan(L"B", L"a")); // code units: upper case sorts first
    EXPECT_TRUE(S::IsStringEqualIgnoreCase(L"Framework\\UIMode", L"framework\\uimode"));
    EXPECT_TRUE(S::IsStringLessThanIgnoreCase(L"a", L"B"));
    EXPECT_FALSE(S::IsStringGreatThanIgnoreCase(L"A", L"a"));
}

TEST(StringSupport, SplitJoinSortAndMaps)
{
    using V = std::vector<std::wstring>;
    EXPECT_EQ(S::StringToVector(L",a,,b,", L','), (V{L"a", L"", L"b"}));
    EXPECT_EQ(S::StringToVector(L",,,", L','), V{});
    EXPECT_EQ(S::StringToVector(L"single", L','), V{L"single"});
    EXPECT_EQ(S::StringToVector(L";a|b;;c|", std::wstring(L";|")), (V{L"a", L"b", L"", L"c"}));
    EXPECT_EQ(S::VectorToString(V{L"a", L"", L"b"}, L','), L"a,,b");
    EXPECT_EQ(S::VectorToString(V{L"a", L"b"}, 0), L"ab");

    V list{L"b", L"a", L"b", L"a", L"b"};
    S::VectorSortAndRemoveDuplicatedString(list);
    EXPECT_EQ(list, (V{L"a", L"b"}));
    list = {L"b", L"A", L"a", L"B"};
    S::VectorSortAndRemoveDuplicatedStringIgnoreCase(list);
    EXPECT_EQ(list, (V{L"A", L"b"}));
    list = {L"B", L"a", L"b", L"A"};
    S::VectorSortAndRemoveDuplicatedString(list);
    EXPECT_EQ(list, (V{L"A", L"B", L"a", L"b"}));

    auto map = S::StringToMap(L"a=1,b,c=,a=2,d=x=y", L'=', L',');
    EXPECT_EQ(map,
              (std::map<std::wstring, std::wstring>{{L"a", L"2"}, {L"c", L""}, {L"d", L"x=y"}}));
    EXPECT_EQ(S::MapToString(map, L'=', L' '), L"a=2 c= d=x=y");

    std::wstring key = L"k0", value = L"v0";
    EXPECT_FALSE(S::StringToKeyValue(key, value, L"nothing", L'='));
    EXPECT_EQ(key, L"k0");
    EXPECT_EQ(value, L"v0");
    EXPECT_TRUE(S::StringToKeyValue(key, value, L"=a=b", L'='));
    EXPECT_EQ(key, L"");
    EXPECT_EQ(value, L"a=b");
}

TEST(StringSupport, NumberConversionsLogBadCharacters)
{
    testsupport::CLogCapture log;
    EXPECT_EQ(S::StringToLongLong(L"-12"), -12);
    EXPECT_EQ(S::StringToLongLong(L""), 0);
    EXPECT_EQ(S::StringToLongLong(L"9223372036854775807"), 9223372036854775807LL);
    EXPECT_EQ(S::StringToLongLong(L"-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(S::HexStringToInt(L"1A"), 26);
    EXPECT_EQ(S::HexStringToInt(L"1a"), 26);
    EXPECT_EQ(S::HexStringToInt(L"ffffffff"), -1);
    EXPECT_EQ(S::HexStringToInt(L""), 0);
    EXPECT_TRUE(log.m_Lines.empty());

    EXPECT_EQ(S::StringToLongLong(L"12x4"), 12);
    ASSERT_EQ(log.m_Lines.size(), 1u);
    EXPECT_EQ(log.m_Lines[0].entryKind, ADVLOG_ENTRY_UNEXPECTED);
    EXPECT_EQ(log.m_Lines[0].severity, ADVLOG_SEVERITY_FATAL);
    EXPECT_EQ(log.m_Lines[0].message,
              L"Code runs into an unexpected branch, function: CStringSupport::StringToLongLong");
    EXPECT_EQ(S::HexStringToInt(L"7g1"), 7);
    ASSERT_EQ(log.m_Lines.size(), 2u);
    EXPECT_EQ(log.m_Lines[1].message,
              L"Code runs into an unexpected branch, function: CStringSupport::HexStringToInt");

    EXPECT_EQ(S::IntToHexString(255), L"ff");
    EXPECT_EQ(S::IntToHexString(-1), L"ffffffff");
    EXPECT_EQ(S::LongLongToString(INT64_MIN), L"-9223372036854775808");
    EXPECT_EQ(S::StringToInt(L"  -42abc"), -42);
}

TEST(StringSupport, BinaryTextRespectsCapacity)
{
    const unsigned char bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    std::wstring text = L"stale";
    S::BinaryToString(bytes, 4, text);
    EXPECT_EQ(text, L"000fa5ff");
    S::BinaryToString(bytes, 0, text);
    EXPECT_EQ(text, L"");

    unsigned char out[8];
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(S::StringToBinary(L"000fA5ff", out, 8), 4u);
    EXPECT_EQ(memcmp(out, bytes, 4), 0);
    EXPECT_EQ(out[4], 0xEE);
    // An odd length converts its last character alone.
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(S::StringToBinary(L"abc", out, 8), 2u);
    EXPECT_EQ(out[0], 0xab);
    EXPECT_EQ(out[1], 0x0c);
    EXPECT_EQ(out[2], 0xEE);
    // The capacity limits the bytes written, never beyond it.
    memset(out, 0xEE, sizeof out);
    EXPECT_EQ(S::StringToBinary(L"01020304", out, 2), 2u);
    EXPECT_EQ(out[1], 0x02);
    EXPECT_EQ(out[2], 0xEE);
    EXPECT_EQ(S::StringToBinary(L"01", out, 0), 0u);
}

TEST(StringSupport, CharsetConversions)
{
    const std::wstring text = L"A\u00e9\u20ac\u4e2d\U0001F600";
    std::string utf8 = S::CharsetConvertUnicodeToUtf8(text);
    EXPECT_EQ(utf8, "A\xc3\xa9\xe2\x82\xac\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(S::CharsetConvertUtf8ToUnicode(utf8), text);
    EXPECT_EQ(S::CharsetConvertUtf8ToUnicode(""), L"");

    // The workstation's ANSI code page is Windows-1252: the euro sign is 0x80.
    std::string ansi = S::CharsetConvertUnicodeToAnsi(L"\u00e9\u20ac");
    EXPECT_EQ(ansi, "\xe9\x80");
    EXPECT_EQ(S::CharsetConvertAnsiToUnicode(ansi), L"\u00e9\u20ac");
    EXPECT_EQ(S::CharsetConvertUnicodeToAnsi(L"a\u4e2d"), "a?");
    EXPECT_EQ(S::CharsetConvertUnicodeToAnyChar(L"abc", 12345), "");
    EXPECT_EQ(S::CharsetConvertAnyCharToUnicode("abc", 12345), L"");
}

TEST(StringSupport, PathOperations)
{
    EXPECT_EQ(S::PathTrim(L"C:\\a\\\\/"), L"C:\\a");
    EXPECT_EQ(S::PathGetPath(L"C:\\Folder\\"), L"C:");
    EXPECT_EQ(S::PathGetPath(L"C:\\a\\b.txt"), L"C:\\a");
    EXPECT_EQ(S::PathGetPath(L"b.txt"), L"");
    EXPECT_EQ(S::PathGetFileName(L"C:\\Folder\\"), L"");
    EXPECT_EQ(S::PathGetFileName(L"C:\\a\\b.txt"), L"b.txt");
    EXPECT_EQ(S::PathGetFileName(L"b.txt"), L"b.txt");
    EXPECT_EQ(S::PathCombinePath(L"C:\\dir\\\\", L"f.txt"), L"C:\\dir\\f.txt");
    EXPECT_EQ(S::PathCombinePath(L"", L"f.txt"), L"f.txt");
    EXPECT_EQ(S::PathCombinePath(L"C:", L"f.txt"), L"C:\\f.txt");

    std::wstring root = S::PathGetRunningExeFileRootPath();
    ASSERT_FALSE(root.empty());
    EXPECT_NE(root.back(), L'\\');
    EXPECT_TRUE(std::filesystem::exists(testsupport::HostPath(root + L"\\framework_tests")));

    std::wstring first = S::PathGetTempFile(L"fwtest");
    std::wstring second = S::PathGetTempFile(L"fwtest");
    ASSERT_NE(first, L"TMP");
    EXPECT_NE(first, second);
    EXPECT_TRUE(S::IsStringBeginWith(S::PathGetFileName(first), L"fwt"));
    EXPECT_TRUE(std::filesystem::exists(testsupport::HostPath(first)));
    EXPECT_TRUE(std::filesystem::exists(testsupport::HostPath(second)));
}

TEST(StringSupport, NamesMessagesAndGuids)
{
    CThingAtGlobalScope thing;
    const CThingAtGlobalScope& dynamicThing = thing;
    EXPECT_EQ(S::GetClassNameThroughTypeInfo(typeid(dynamicThing)), L"CThingAtGlobalScope");
    EXPECT_EQ(S::GetClassNameThroughTypeInfo(typeid(deployment::CTaskInNamespace)),
              L"deployment::CTaskInNamespace");
    EXPECT_EQ(S::GetClassNameThroughSerializedTask(L"CTaskA\r\nline2"), L"CTaskA");
    EXPECT_EQ(S::GetClassNameThroughSerializedTask(L"CTaskC"), L"CTaskC");
    EXPECT_EQ(S::ConvertIPv6AddressToDNSLiteralName(L"fe80::1%4"), L"fe80--1s4.ipv6-literal.net");
    EXPECT_EQ(S::ConvertIPv6AddressToDNSLiteralName(L".::1."), L"--1.ipv6-literal.net");

    EXPECT_EQ(S::ConvertWin32ErrorCodeToString(5), L"Access is denied.");
    EXPECT_EQ(S::ConvertWin32ErrorCodeToString(2), L"The system cannot find the file specified.");
    EXPECT_EQ(S::ConvertWin32ErrorCodeToString(0x7654321), L"");

    bool sawLetterInThird = false, sawLetterElsewhere = false;
    std::wstring previous;
    for (int i = 0; i < 64; ++i)
    {
        std::wstring guid = S::GenerateGuidString();
        ASSERT_EQ(guid.size(), 36u) << guid;
        EXPECT_NE(guid, previous);
        previous = guid;
        for (size_t k = 0; k < guid.size(); ++k)
        {
            wchar_t c = guid[k];
            if (k == 8 || k == 13 || k == 18 || k == 23)
            {
                EXPECT_EQ(c, L'-') << guid;
                continue;
            }
            bool third = k > 13 && k < 18;
            bool digit = c >= L'0' && c <= L'9';
            bool lower = c >= L'a' && c <= L'f';
            bool upper = c >= L'A' && c <= L'F';
            EXPECT_TRUE(digit || (third ? lower : upper)) << guid;
            (third ? sawLetterInThird : sawLetterElsewhere) |= !digit;
        }
    }
    EXPECT_TRUE(sawLetterInThird);
    EXPECT_TRUE(sawLetterElsewhere);
}

TEST(StringBuffer, GrowsKeepsAndDrops)
{
    CStringBuffer empty;
    EXPECT_EQ(empty.GetBuffer(), nullptr);
    empty.KeepContentAndExtendBuffer(4);
    EXPECT_STREQ(empty.GetBuffer(), L"");

    CStringBuffer buffer(std::wstring(L"hello"));
    EXPECT_EQ(buffer.GetCapacity(), 6u);
    wchar_t* before = buffer.GetBuffer();
    buffer.SetBuffer(L"hi");
    EXPECT_EQ(buffer.GetBuffer(), before);
    EXPECT_EQ(buffer.GetCapacity(), 6u);
    EXPECT_STREQ(buffer.GetBuffer(), L"hi");
    buffer.SetBuffer(std::wstring(L"longer text"));
    EXPECT_EQ(buffer.GetCapacity(), 12u);
    EXPECT_STREQ(buffer.GetBuffer(), L"longer text");

    buffer.KeepContentAndExtendBuffer(1000);
    EXPECT_EQ(buffer.GetCapacity(), 1000u);
    EXPECT_STREQ(buffer.GetBuffer(), L"longer text");
    wmemset(buffer.GetBuffer(), L'z', 999); // the whole capacity is writable
    buffer.GetBuffer()[999] = L'\0';
    buffer.SetBuffer(L"abc");
    buffer.KeepContentAndExtendBuffer(2); // smaller than the text: grown to fit it
    EXPECT_EQ(buffer.GetCapacity(), 4u);
    EXPECT_STREQ(buffer.GetBuffer(), L"abc");
    buffer.DropContentAndExtendBuffer(64);
    EXPECT_EQ(buffer.GetCapacity(), 64u);
    wmemset(buffer.GetBuffer(), L'y', 64);

    // Text taken from the buffer itself, and a buffer a system call filled to the last character.
    buffer.SetBuffer(L"self");
    buffer.SetBuffer(buffer.GetBuffer());
    EXPECT_STREQ(buffer.GetBuffer(), L"self");
    buffer.SetBuffer(buffer.GetBuffer() + 1);
    EXPECT_STREQ(buffer.GetBuffer(), L"elf");
    buffer.DropContentAndExtendBuffer(8);
    wmemset(buffer.GetBuffer(), L'w', 8);
    buffer.KeepContentAndExtendBuffer(16);
    EXPECT_EQ(std::wstring(buffer.GetBuffer()), std::wstring(8, L'w'));
}

TEST(ResultObjects, SuccessRulesAndCapturedErrors)
{
    CNormalErrorHandle normal;
    EXPECT_TRUE(normal.IsSuccess());
    normal.SetSuccessMessage(L"note");
    EXPECT_TRUE(normal.IsSuccess());
    normal.SetErrorMessage(L"Copy failed.");
    EXPECT_FALSE(normal.IsSuccess());
    EXPECT_EQ(normal.GetSuccessMessage(), L"note");

    CSystemErrorHandle system;
    EXPECT_TRUE(system.IsSuccess());
    SetLastError(2);
    system.CaptureSystemError();
    EXPECT_FALSE(system.IsSuccess());
    EXPECT_EQ(system.GetSystemErrorCode(), 2);
    EXPECT_EQ(system.GetSystemErrorInfor(), L"The system cannot find the file specified.");

    CFileSupportErrorHandle file;
    SetLastError(5);
    file.CaptureSystemError();
    file.SetFilePath(L"C:\\x.txt");
    const CSystemErrorHandle& asBase = file;
    EXPECT_TRUE(asBase.IsSuccess()); // the error type decides, not the captured code
    EXPECT_EQ(file.GetSystemErrorCode(), 5);
    EXPECT_EQ(file.GetSystemErrorInfor(), L"Access is denied.");
    file.SetErrorType(CFileSupportErrorHandle::ERROR_TYPE_OPEN_FOR_WRITE);
    EXPECT_FALSE(asBase.IsSuccess());
    EXPECT_EQ(file.GetErrorType(), 3);

    CRegistrySupportErrorHandle registry;
    registry.CaptureSystemError(); // the last error is still 5
    const CSystemErrorHandle& registryBase = registry;
    EXPECT_TRUE(registryBase.IsSuccess());
    registry.SetErrorType(4);
    EXPECT_FALSE(registryBase.IsSuccess());
}

TEST(Handle, CopiesOwnDistinctHandles)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &raw,
                                0, FALSE, DUPLICATE_SAME_ACCESS));
    HANDLE copied = nullptr;
    {
        CHandle original(raw);
        {
            CHandle copy(original);
            copied = copy;
            EXPECT_NE(copied, raw);
            EXPECT_TRUE(IsHandleOpen(raw));
            EXPECT_TRUE(IsHandleOpen(copied));
        }
        EXPECT_FALSE(IsHandleOpen(copied));
        EXPECT_TRUE(IsHandleOpen(raw));

        CHandle assigned;
        assigned = original;
        HANDLE third = assigned;
        EXPECT_NE(third, raw);
        assigned = assigned; // self-assignment keeps the handle
        EXPECT_EQ(static_cast<HANDLE>(assigned), third);
        EXPECT_TRUE(IsHandleOpen(third));
        assigned = INVALID_HANDLE_VALUE; // closes the held one; no handle is not closed
        EXPECT_FALSE(IsHandleOpen(third));
        CHandle none(INVALID_HANDLE_VALUE);
        CHandle noneCopy(none);
        EXPECT_EQ(static_cast<HANDLE>(noneCopy), nullptr);
    }
    EXPECT_FALSE(IsHandleOpen(raw));
}

TEST(Sync, CriticalSectionIsRecursiveAndExclusive)
{
    CSimpleCriticalSection section;
    std::promise<void> nestedDone;
    std::thread nested(
        [&]
        {
            CCriticalSectionSentry outer(section);
            CCriticalSectionSentry inner(section);
            section.Lock();
            section.Unlock();
            nestedDone.set_value();
        });
    if (nestedDone.get_future().wait_for(std::chrono::seconds(20)) != std::future_status::ready)
    {
        fprintf(stderr, "recursive entry of a critical section deadlocked\n");
        std::_Exit(1);
    }
    nested.join();

    std::atomic<int> stage{1};
    section.Lock();
    section.Lock();
    std::thread other(
        [&]
        {
            CCriticalSectionSentry sentry(section);
            stage = stage.load() == 2 ? 3 : -1;
        });
    section.Unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stage.load(), 1) << "the other thread entered while the lock was still held once";
    stage = 2;
    section.Unlock();
    other.join();
    EXPECT_EQ(stage.load(), 3);
}
