// Code pages, the CRT's wide-string helpers and the Windows command-line rules.
#include "winport/WinBase.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace
{

// Converts with the size-query protocol first, as callers do.
std::wstring ToWide(UINT codePage, const std::string& bytes, DWORD flags = 0)
{
    int n = MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                nullptr, 0);
    if (n <= 0)
        return L"<failed>";
    std::wstring out(static_cast<size_t>(n), L'\0');
    EXPECT_EQ(MultiByteToWideChar(codePage, flags, bytes.data(), static_cast<int>(bytes.size()),
                                  out.data(), n),
              n);
    return out;
}

std::string ToBytes(UINT codePage, const std::wstring& text, BOOL* usedDefault = nullptr,
                    DWORD flags = 0)
{
    int n = WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()),
                                nullptr, 0, nullptr, usedDefault);
    if (n <= 0)
        return "<failed>";
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(codePage, flags, text.data(), static_cast<int>(text.size()),
                                  out.data(), n, nullptr, usedDefault),
              n);
    return out;
}

std::vector<std::wstring> Split(const wchar_t* commandLine)
{
    int argc = -1;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
    std::vector<std::wstring> result;
    if (argv == nullptr)
        return result;
    EXPECT_EQ(argv[argc], nullptr);
    for (int i = 0; i < argc; ++i)
        result.emplace_back(argv[i]);
    LocalFree(argv);
    return result;
}

using Args = std::vector<std::wstring>;

} // namespace

TEST(WinCodePages, Utf8BothWaysIncludingFourByteSequences)
{
    const std::string utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";
    const std::wstring wide = L"a\u00E9\u20AC\U0001F600z";
    EXPECT_EQ(ToWide(CP_UTF8, utf8), wide);
    EXPECT_EQ(ToBytes(CP_UTF8, wide), utf8);
    // A surrogate pair held in two code units is joined into one four-byte sequence.
    const wchar_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(ToBytes(CP_UTF8, pair), "\xF0\x9F\x98\x80");

    // Length -1 counts the terminator, and the size query says so.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0), 6);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr), 12);

    wchar_t small[5];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, small, 5), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    wchar_t exact[6];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, exact, 6), 6);
    EXPECT_EQ(std::wstring(exact), wide);

    char narrow[11];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, narrow, 11, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // Bad arguments: an empty source, a missing buffer with a size, and a default character
    // for UTF-8 (which has none).
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "x", 0, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "x", 1, nullptr, 4), 0);
    BOOL used = FALSE;
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"x", 1, nullptr, 0, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(12345, 0, "x", 1, nullptr, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WinCodePages, InvalidUtf8BecomesReplacementOrFailsWhenStrict)
{
    const std::wstring r(1, static_cast<wchar_t>(0xFFFD));
    EXPECT_EQ(ToWide(CP_UTF8, "a\xFF"
                              "b"),
              L"a" + r + L"b");
    EXPECT_EQ(ToWide(CP_UTF8, "\xE2\x82"), r); // cut at the end: one mark
    EXPECT_EQ(ToWide(CP_UTF8, "\xE2\x82"
                              "A"),
              r + L"A");                                           // cut before a letter
    EXPECT_EQ(ToWide(CP_UTF8, "\xC0\x80"), r + r);                 // over-long form
    EXPECT_EQ(ToWide(CP_UTF8, "\xED\xA0\x80"), r + r + r);         // an encoded surrogate
    EXPECT_EQ(ToWide(CP_UTF8, "\xF4\x90\x80\x80"), r + r + r + r); // above U+10FFFF
    EXPECT_EQ(ToWide(CP_UTF8, "\x80x"), r + L"x");                 // a lone continuation byte

    for (const char* bad : {"a\xFF", "\xE2\x82", "\xED\xA0\x80", "\xC0\x80"})
    {
        SetLastError(0);
        wchar_t out[8];
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1, out, 8), 0) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << bad;
    }
    EXPECT_EQ(ToWide(CP_UTF8, "ok\xC3\xA9", MB_ERR_INVALID_CHARS), L"ok\u00E9");

    // Lone surrogates and values past U+10FFFF do not encode.
    const wchar_t lone[] = {L'a', 0xD800, L'b', 0xDC00, 0};
    EXPECT_EQ(ToBytes(CP_UTF8, lone), "a\xEF\xBF\xBD"
                                      "b\xEF\xBF\xBD");
    const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
    EXPECT_EQ(ToBytes(CP_UTF8, beyond), "\xEF\xBF\xBD");
    SetLastError(0);
    char out[16];
    EXPECT_EQ(
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, out, 16, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(WinCodePages, Windows1252AndTheAnsiCodePage)
{
    EXPECT_EQ(GetACP(), 1252u);
    const std::string high = "\x80\x81\x8D\x8F\x90\x9D\x9F\xA0\xE9\xFF";
    const std::wstring expected = {0x20AC, 0x0081, 0x008D, 0x008F, 0x0090,
                                   0x009D, 0x0178, 0x00A0, 0x00E9, 0x00FF};
    EXPECT_EQ(ToWide(1252, high), expected);
    EXPECT_EQ(ToWide(CP_ACP, high), expected);
    // Every defined byte, the C1 fill-ins included, round-trips.
    BOOL used = TRUE;
    EXPECT_EQ(ToBytes(1252, expected, &used), high);
    EXPECT_FALSE(used);
    EXPECT_EQ(ToBytes(CP_ACP, L"\u2122\u0160\u017E", &used), "\x99\x8A\x9E");
    EXPECT_FALSE(used);

    used = FALSE;
    EXPECT_EQ(ToBytes(1252, L"a\u0100b\u4E2D", &used), "aAb?");
    EXPECT_TRUE(used);
    char custom[4] = {};
    EXPECT_EQ(WideCharToMultiByte(1252, 0, L"x\u4E2D", 2, custom, 4, "*", &used), 2);
    EXPECT_EQ(std::string(custom, 2), "x*");
    EXPECT_TRUE(used);

    // Latin-1 is the identity on bytes.
    EXPECT_EQ(ToWide(CP_LATIN1, "\x80\xE9"), std::wstring(L"\u0080\u00E9"));
}

TEST(WinCodePages, Windows1252TakesTheBestFitUnlessTold)
{
    // Letters with diacritics 1252 lacks lose them; typographic signs become their plain forms;
    // none of it counts as the default character.
    const std::wstring text =
        L"\u0100\u0107\u010D\u0110\u0111\u011B\u0131\u0141\u0142\u0151\u015F\u0163"
        L"\u016F\u017C\u2010\u2212\u2044\u2032\uFF21\uFF5E\u2002\u00E9\u20AC";
    BOOL used = TRUE;
    EXPECT_EQ(ToBytes(1252, text, &used), std::string("Acc\xD0") + "deiLlostuz--/'A~ \xE9\x80");
    EXPECT_FALSE(used);
    EXPECT_EQ(ToBytes(CP_ACP, L"\u0150\u0160", &used), "O\x8A"); // a native character stays itself
    EXPECT_FALSE(used);
    // Without a best fit, or with WC_NO_BEST_FIT_CHARS, the default character takes the place.
    EXPECT_EQ(ToBytes(1252, L"\u2260\u4E2D\u0100\U0001F600", &used), "??A?");
    EXPECT_TRUE(used);
    used = FALSE;
    EXPECT_EQ(ToBytes(1252, L"a\u0100\u2212\u00E9", &used, WC_NO_BEST_FIT_CHARS), "a??\xE9");
    EXPECT_TRUE(used);
    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS, L"\u0141x", 2, out, 8, "_", &used),
              2);
    EXPECT_EQ(std::string(out, 2), "_x");
    EXPECT_EQ(WideCharToMultiByte(1252, 0, L"\u0141x", 2, out, 8, "_", &used), 2);
    EXPECT_EQ(std::string(out, 2), "Lx");
    EXPECT_FALSE(used);
    // Other code pages keep their own rules; UTF-8 takes no such flag.
    EXPECT_EQ(ToBytes(CP_LATIN1, L"\u0100", &used), "?");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, L"x", 1, out, 8, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST(WinCodePages, Utf16AndUtf8Helpers)
{
    const std::wstring text = L"A\u00E9\uFFFF\U00010000\U0001F600\U0010FFFF";
    std::u16string units = winport::ToUtf16(text);
    EXPECT_EQ(units, std::u16string(u"A\u00E9\uFFFF\U00010000\U0001F600\U0010FFFF"));
    EXPECT_EQ(units.size(), 9u);
    EXPECT_EQ(units[3], 0xD800);
    EXPECT_EQ(units[4], 0xDC00);
    EXPECT_EQ(winport::FromUtf16(units.data(), units.size()), text);
    // A lone surrogate unit is kept; a pair cut by the count is not joined.
    const char16_t lone[] = {0xDC00, u'x', 0xD83D};
    EXPECT_EQ(winport::FromUtf16(lone, 3), std::wstring({0xDC00, L'x', 0xD83D}));
    EXPECT_EQ(winport::FromUtf16(units.data(), 4), std::wstring({L'A', 0xE9, 0xFFFF, 0xD800}));
    EXPECT_EQ(winport::ToUtf16(std::wstring(1, static_cast<wchar_t>(0x110000))),
              std::u16string(1, 0xFFFD));

    EXPECT_EQ(winport::FromUtf8(winport::ToUtf8(text)), text);
    EXPECT_EQ(winport::ToUtf8(L"\u20AC"), "\xE2\x82\xAC");
    EXPECT_EQ(winport::FromUtf8(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(WinCrtHelpers, CaseInsensitiveCompareAndNumbers)
{
    EXPECT_EQ(_wcsicmp(L"SystemRoot", L"SYSTEMROOT"), 0);
    EXPECT_LT(_wcsicmp(L"abc", L"ABD"), 0);
    EXPECT_GT(_wcsicmp(L"b", L"A"), 0);
    EXPECT_LT(_wcsicmp(L"ab", L"ABC"), 0);
    EXPECT_GT(_wcsicmp(L"abc", L""), 0);
    // The CRT compares lower-cased letters: '_' sorts before every letter.
    EXPECT_LT(_wcsicmp(L"_", L"A"), 0);
    EXPECT_GT(_wcsicmp(L"a", L"_"), 0);
    EXPECT_EQ(_wcsnicmp(L"abcX", L"ABCy", 3), 0);
    EXPECT_NE(_wcsnicmp(L"abcX", L"ABCy", 4), 0);
    EXPECT_EQ(_wcsnicmp(L"x", L"y", 0), 0);
    EXPECT_LT(_wcsnicmp(L"ab", L"abc", 10), 0);
    EXPECT_EQ(_wcsnicmp(L"ab", L"AB", 10), 0);

    EXPECT_EQ(_wtoi(L"  -42abc"), -42);
    EXPECT_EQ(_wtoi(L"\t\n+17"), 17);
    EXPECT_EQ(_wtoi(L""), 0);
    EXPECT_EQ(_wtoi(L"abc"), 0);
    EXPECT_EQ(_wtoi(L"- 5"), 0);
    EXPECT_EQ(_wtoi(L"0x1A"), 0);
    EXPECT_EQ(_wtoi(nullptr), 0);
    EXPECT_EQ(_wtoi(L"2147483647"), INT_MAX);
    EXPECT_EQ(_wtoi(L"-2147483648"), INT_MIN);
    // Out of range saturates, as the CRT does.
    EXPECT_EQ(_wtoi(L"4294967377"), INT_MAX);
    EXPECT_EQ(_wtoi(L"-3000000000"), INT_MIN);
    EXPECT_EQ(_wtoi64(L"9223372036854775807"), LLONG_MAX);
    EXPECT_EQ(_wtoi64(L"-9223372036854775808"), LLONG_MIN);
    EXPECT_EQ(_wtoi64(L"99999999999999999999"), LLONG_MAX);
    EXPECT_EQ(_wtoi64(L"-99999999999999999999"), LLONG_MIN);
    EXPECT_EQ(_wtoi64(L" 12345678901x"), 12345678901LL);
}

TEST(WinCommandLine, ProgramNameAndBackslashRules)
{
    // The program name ends at the next quote, with no backslash processing.
    EXPECT_EQ(Split(L"\"C:\\Program Files\\app\\\" b"), (Args{L"C:\\Program Files\\app\\", L"b"}));
    EXPECT_EQ(Split(L"C:\\a\"b c"), (Args{L"C:\\a\"b", L"c"}));
    EXPECT_EQ(Split(L"\"prog\"x y"), (Args{L"prog", L"x", L"y"}));
    // 2n backslashes before a quote give n and the quote opens or closes; 2n+1 give n and a
    // literal quote; elsewhere backslashes are plain.
    EXPECT_EQ(Split(L"p a\\\\\\\\\"b c\" d"), (Args{L"p", L"a\\\\b c", L"d"}));
    EXPECT_EQ(Split(L"p a\\\\\\\"b c"), (Args{L"p", L"a\\\"b", L"c"}));
    EXPECT_EQ(Split(L"p \\\"x\\\""), (Args{L"p", L"\"x\""}));
    EXPECT_EQ(Split(L"p a\\b\\\\c\\ d\\"), (Args{L"p", L"a\\b\\\\c\\", L"d\\"}));
    EXPECT_EQ(Split(L"p \"C:\\dir\\\\\" next"), (Args{L"p", L"C:\\dir\\", L"next"}));
}

TEST(WinCommandLine, QuotesBlanksAndEmptyArguments)
{
    EXPECT_EQ(Split(L"p a\"b c\"d e"), (Args{L"p", L"ab cd", L"e"}));
    // A doubled quote inside quotes gives a quote and ends the quoted part.
    EXPECT_EQ(Split(L"p \"a\"\"b\" c"), (Args{L"p", L"a\"b c"})); // the last quote reopens
    EXPECT_EQ(Split(L"p \"a\"\"b c\""), (Args{L"p", L"a\"b", L"c"}));
    EXPECT_EQ(Split(L"p \"\"\"\""), (Args{L"p", L"\""}));
    EXPECT_EQ(Split(L"p \"\" x \"\""), (Args{L"p", L"", L"x", L""}));
    EXPECT_EQ(Split(L"p \"unterminated arg"), (Args{L"p", L"unterminated arg"}));
    EXPECT_EQ(Split(L"p a   "), (Args{L"p", L"a"}));
    EXPECT_EQ(Split(L"p\ta\t\t b\t"), (Args{L"p", L"a", L"b"}));
    EXPECT_EQ(Split(L"p \"tab\there\""), (Args{L"p", L"tab\there"}));
    EXPECT_EQ(Split(L"\"\""), (Args{L""}));
}

TEST(WinCommandLine, UnquotedProgramNameEndsAtAnyControlCharacter)
{
    EXPECT_EQ(Split(L"prog\nA B"), (Args{L"prog", L"A", L"B"}));
    EXPECT_EQ(Split(L"prog\r"), (Args{L"prog"}));
    EXPECT_EQ(Split(L"C:\\app.exe\x01x"), (Args{L"C:\\app.exe", L"x"}));
    EXPECT_EQ(Split(L"p\vfirst second"), (Args{L"p", L"first", L"second"}));
    EXPECT_EQ(Split(L"p\f \t x"), (Args{L"p", L"x"}));
    // Only blanks and tabs part the other arguments; a quoted name keeps what it holds.
    EXPECT_EQ(Split(L"p a\nb\vc\rd"), (Args{L"p", L"a\nb\vc\rd"}));
    EXPECT_EQ(Split(L"\"p\nq\" r\ns"), (Args{L"p\nq", L"r\ns"}));
    EXPECT_EQ(Split(L"\x7Fp\u00A0q r"), (Args{L"\x7Fp\u00A0q", L"r"}));
}

TEST(WinCommandLine, EmptyLineGivesProgramAndResultIsOneBlock)
{
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(Split(L""), (Args{std::wstring(self, n)}));
    EXPECT_EQ(Split(nullptr), (Args{std::wstring(self, n)}));

    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(L"prog first \"second arg\" third", &argc);
    ASSERT_NE(argv, nullptr);
    ASSERT_EQ(argc, 4);
    // Pointers and texts all live in the one block the caller frees.
    const char* begin = reinterpret_cast<const char*>(argv);
    const char* end = begin + LocalSize(argv);
    for (int i = 0; i < argc; ++i)
    {
        const char* text = reinterpret_cast<const char*>(argv[i]);
        EXPECT_GE(text, begin + (argc + 1) * sizeof(LPWSTR));
        EXPECT_LE(text + (wcslen(argv[i]) + 1) * sizeof(wchar_t), end);
    }
    EXPECT_EQ(std::wstring(argv[2]), L"second arg");
    EXPECT_EQ(LocalFree(argv), nullptr);

    SetLastError(0);
    EXPECT_EQ(CommandLineToArgvW(L"x", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}
