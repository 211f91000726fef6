// The one wide formatter: Windows meaning of the conversions, flags and sizes, and the buffer
// protocols of FormatToBufferV and _vsnwprintf.
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace
{

size_t ToBuffer(wchar_t* buffer, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = winport::FormatToBufferV(buffer, capacity, format, args);
    va_end(args);
    return n;
}

} // namespace

TEST(WinFormat, TextConversionsHaveTheirWindowsMeaning)
{
    // %s and %c are wide in a wide format; h and S/C make them narrow; l and w keep them wide.
    EXPECT_EQ(winport::Format(L"%s|%c|%hs|%S|%hc|%C", L"wide", L'w', "narrow", "cap", 'n', 'm'),
              L"wide|w|narrow|cap|n|m");
    EXPECT_EQ(winport::Format(L"%ls|%ws|%lc|%wc|%lS", L"a", L"b", L'c', L'd', L"e"), L"a|b|c|d|e");
    EXPECT_EQ(winport::Format(L"%c%c", static_cast<wchar_t>(0x20AC), static_cast<wchar_t>(0x1F600)),
              std::wstring(L"\u20AC\U0001F600"));
    // A narrow character is a byte, never sign-extended.
    EXPECT_EQ(winport::Format(L"%hc", static_cast<char>(0xE9)),
              std::wstring(1, static_cast<wchar_t>(0xE9)));
    const wchar_t* noWide = nullptr;
    const char* noNarrow = nullptr;
    EXPECT_EQ(winport::Format(L"[%s][%hs]", noWide, noNarrow), L"[(null)][(null)]");
    EXPECT_EQ(winport::Format(L"[%.3s]", noWide), L"[(nu]");
}

TEST(WinFormat, WidthPrecisionAndStar)
{
    EXPECT_EQ(winport::Format(L"[%5s][%-5s][%.2s][%5.1s]", L"ab", L"ab", L"abcd", L"xyz"),
              L"[   ab][ab   ][ab][    x]");
    EXPECT_EQ(winport::Format(L"[%3c][%-3c]", L'x', L'y'), L"[  x][y  ]");
    EXPECT_EQ(winport::Format(L"[%*d][%-*d][%*d]", 6, 42, 4, 7, -4, 9), L"[    42][7   ][9   ]");
    EXPECT_EQ(winport::Format(L"[%.*s][%*.*s]", 3, L"abcdef", 5, 2, L"abcdef"), L"[abc][   ab]");
    // A negative precision through * counts as none given.
    EXPECT_EQ(winport::Format(L"[%.*s]", -1, L"abc"), L"[abc]");
    EXPECT_EQ(winport::Format(L"[%*d]", INT_MIN, 5), L"[5]");
    // Text is not cut by a width smaller than itself.
    EXPECT_EQ(winport::Format(L"[%2s]", L"abcdef"), L"[abcdef]");
}

TEST(WinFormat, IntegerConversionsAndFlags)
{
    EXPECT_EQ(winport::Format(L"%d %i %d %u", 0, -17, INT_MIN, 4000000000u),
              L"0 -17 -2147483648 4000000000");
    EXPECT_EQ(
        winport::Format(L"%x %X %o %u", 0xDEADBEEFu, 0xDEADBEEFu, 8u, static_cast<unsigned>(-1)),
        L"deadbeef DEADBEEF 10 4294967295");
    EXPECT_EQ(winport::Format(L"[%+d][% d][%+d][% d]", 5, 5, -5, -5), L"[+5][ 5][-5][-5]");
    EXPECT_EQ(winport::Format(L"[%05d][%-05d][%05x]", -42, -42, 0xABu), L"[-0042][-42  ][000ab]");
    EXPECT_EQ(winport::Format(L"[%#x][%#X][%#o][%#x]", 255u, 255u, 8u, 0u),
              L"[0xff][0XFF][010][0]");
    EXPECT_EQ(winport::Format(L"[%#06x]", 255u), L"[0x00ff]");
    EXPECT_EQ(winport::Format(L"[%.3d][%08.3d][%.0d][%5.0d]", 7, 7, 0, 0),
              L"[007][     007][][     ]");
    EXPECT_EQ(winport::Format(L"[%.3d]", -7), L"[-007]");
    // Sizes: h and hh cut, l stays 32 bits, ll/I64/q/L are 64 bits, I/z/t are pointer-sized.
    EXPECT_EQ(winport::Format(L"%hd %hu %hhd %hhu", 70000, 70000, 300, 300), L"4464 4464 44 44");
    EXPECT_EQ(winport::Format(L"%ld %lu %lx", static_cast<int32_t>(-3),
                              static_cast<uint32_t>(4000000000u),
                              static_cast<uint32_t>(0xFFFFFFFFu)),
              L"-3 4000000000 ffffffff");
    EXPECT_EQ(winport::Format(L"%lld %llu", LLONG_MIN, ULLONG_MAX),
              L"-9223372036854775808 18446744073709551615");
    EXPECT_EQ(winport::Format(L"%I64d %I64u %I64X", -5LL, 1ULL << 40, 0xABCDEF0123456789ULL),
              L"-5 1099511627776 ABCDEF0123456789");
    EXPECT_EQ(winport::Format(L"%I32d %I32u", -1, 4294967295u), L"-1 4294967295");
    EXPECT_EQ(winport::Format(L"%Iu %zu %Id", static_cast<size_t>(1) << 33, SIZE_MAX,
                              static_cast<intptr_t>(-9)),
              L"8589934592 18446744073709551615 -9");
    EXPECT_EQ(winport::Format(L"[%-+6d]", 12), L"[+12   ]");
}

TEST(WinFormat, PointersPercentAndOtherConversions)
{
    // A pointer is 16 upper-case hex digits, zero-padded, without prefix.
    EXPECT_EQ(winport::Format(L"%p", reinterpret_cast<void*>(0xabc123)), L"0000000000ABC123");
    EXPECT_EQ(winport::Format(L"%p", static_cast<void*>(nullptr)), L"0000000000000000");
    EXPECT_EQ(winport::Format(L"[%20p]", reinterpret_cast<void*>(1)), L"[    0000000000000001]");
    EXPECT_EQ(winport::Format(L"100%% %d%%", 5), L"100% 5%");
    EXPECT_EQ(winport::Format(L"%5.2f|%-6.1f|%e|%g", 3.14159, 2.3, 1234.5, 0.0001),
              L" 3.14|2.3   |1.234500e+03|0.0001");
    // An unknown conversion is copied and consumes no argument.
    EXPECT_EQ(winport::Format(L"%y-%d", 4), L"%y-4");
    std::wstring appended = L"pre:";
    EXPECT_EQ(winport::FormatAppend(appended, L"%d-%s", 12, L"ab"), 5u);
    EXPECT_EQ(appended, L"pre:12-ab");
}

TEST(WinFormat, PercentNIsRefusedAndCutFormatsStop)
{
    int target = 77;
    EXPECT_EQ(winport::Format(L"ab%ncd%d", &target, 5), L"abcd5");
    EXPECT_EQ(target, 77);
    // A format cut in the middle of a conversion prints what was there and reads no argument.
    EXPECT_EQ(winport::Format(L"abc%"), L"abc%");
    EXPECT_EQ(winport::Format(L"abc%-05"), L"abc%-05");
    EXPECT_EQ(winport::Format(L"x%d%I6", 1), L"x1%I6");
    EXPECT_EQ(winport::Format(L"%ll"), L"%ll");
    EXPECT_EQ(winport::Format(nullptr), L"");
}

TEST(WinFormat, FormatToBufferKeepsCapacityLessOneAndReturnsFullLength)
{
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(ToBuffer(buffer, 5, L"%s-%d", L"abcdef", 42), 9u);
    EXPECT_EQ(std::wstring(buffer), L"abcd");
    EXPECT_EQ(buffer[5], L'#');

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(ToBuffer(buffer, 8, L"%d", 1234567), 7u);
    EXPECT_EQ(std::wstring(buffer), L"1234567");

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(ToBuffer(buffer, 1, L"xyz"), 3u);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[1], L'#');

    // Capacity 0 writes nothing at all but still measures.
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(ToBuffer(buffer, 0, L"%5d", 1), 5u);
    EXPECT_EQ(buffer[0], L'#');

    // Padding and fills are cut at the same place as text.
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(ToBuffer(buffer, 6, L"%-10d|", 3), 11u);
    EXPECT_EQ(std::wstring(buffer), L"3    ");
}

TEST(WinFormat, SnwprintfFitsExactlyOrReportsMinusOne)
{
    wchar_t buffer[8];
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(_snwprintf(buffer, 3, L"%s", L"abcdef"), -1);
    EXPECT_EQ(std::wstring(buffer, 3), L"abc");
    EXPECT_EQ(buffer[3], L'#');

    // Exactly count characters: count is returned and no terminator is written.
    wmemset(buffer, L'#', 8);
    EXPECT_EQ(_snwprintf(buffer, 3, L"%d", 123), 3);
    EXPECT_EQ(std::wstring(buffer, 4), L"123#");

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(_snwprintf(buffer, 8, L"%c%c", L'o', L'k'), 2);
    EXPECT_EQ(std::wstring(buffer), L"ok");

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(_snwprintf(buffer, 0, L"x"), -1);
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(_snwprintf(buffer, 0, L""), 0);
}

TEST(WinFormat, LongOutputIsNeverCut)
{
    std::wstring padded = winport::Format(L"%40000d", 7);
    ASSERT_EQ(padded.size(), 40000u);
    EXPECT_EQ(padded.back(), L'7');
    EXPECT_EQ(padded.find_first_not_of(L' '), 39999u);

    std::wstring big(40000, L'q');
    big[20000] = L'\u20AC';
    std::wstring copy = winport::Format(L"<%s>", big.c_str());
    EXPECT_EQ(copy, L"<" + big + L">");

    std::wstring out(40010, L'\0');
    EXPECT_EQ(_snwprintf(out.data(), out.size(), L"%s%d", big.c_str(), 12345), 40005);
    EXPECT_EQ(out.substr(40000, 6), std::wstring(L"12345\0", 6));
    EXPECT_EQ(_snwprintf(out.data(), 39999, L"%s", big.c_str()), -1);

    std::wstring fixed(100, L'\0');
    EXPECT_EQ(ToBuffer(fixed.data(), fixed.size(), L"%s", big.c_str()), 40000u);
    EXPECT_EQ(wcslen(fixed.c_str()), 99u);
}
