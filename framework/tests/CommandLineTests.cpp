#include "framework/CCommandLineParamParser.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

namespace
{

// The result, reason and context of a validation as one text: "0/3/s".
std::wstring Outcome(CCommandLineParamParser& parser, const wchar_t* description)
{
    VALIDATE_FAILURE_REASON reason = static_cast<VALIDATE_FAILURE_REASON>(-1);
    std::wstring context = L"stale";
    int result = parser.Validate(description, reason, context);
    return std::to_wstring(result) + L"/" + std::to_wstring(static_cast<int>(reason)) + L"/" +
           context;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

TEST(CommandLine, SwitchesAndTheirValues)
{
    CCommandLineParamParser parser;
    ASSERT_EQ(parser.SetCommandLine(L"C:\\Setup\\setup.exe -r file.txt /S x y"), 1);
    EXPECT_EQ(parser.GetAllParams(), (std::vector<std::wstring>{L"C:\\Setup\\setup.exe", L"r",
                                                                L"file.txt", L"S", L"x", L"y"}));
    EXPECT_EQ(parser.IsSwitchFound(L"r"), 1);
    EXPECT_EQ(parser.IsSwitchFound(L"R"), 1);
    EXPECT_EQ(parser.IsSwitchFound(L"s"), 1);
    EXPECT_EQ(parser.IsSwitchFound(L"file.txt"), 0); // a plain argument is no switch
    EXPECT_EQ(parser.IsSwitchFound(L"x"), 0);
    EXPECT_EQ(parser.GetSwitchValueCount(L"s"), 2);
    EXPECT_EQ(parser.GetSwitchValueCount(L"r"), 1);
    EXPECT_EQ(parser.GetSwitchValueCount(L"missing"), 0);

    std::wstring value = L"stale";
    EXPECT_EQ(parser.GetSwitchValue(L"s", 1, value), 1);
    EXPECT_EQ(value, L"y");
    EXPECT_EQ(parser.GetSwitchValue(L"R", 0, value), 1);
    EXPECT_EQ(value, L"file.txt");
    EXPECT_EQ(parser.GetSwitchValue(L"s", 2, value), 0);
    EXPECT_EQ(value, L"");
    value = L"stale";
    EXPECT_EQ(parser.GetSwitchValue(L"s", -1, value), 0);
    EXPECT_EQ(value, L"");
    EXPECT_EQ(parser.GetSwitchValue(L"missing", 0, value), 0);

    // A switch given twice: its values are those after the first occurrence.
    ASSERT_EQ(parser.SetCommandLine(L"setup.exe -a 1 /A 2 3 -b"), 1);
    EXPECT_EQ(parser.GetSwitchValueCount(L"a"), 1);
    EXPECT_EQ(parser.GetSwitchValue(L"a", 0, value), 1);
    EXPECT_EQ(value, L"1");
    EXPECT_EQ(parser.GetSwitchValueCount(L"b"), 0);
    // Setting a new command line forgets the old one.
    EXPECT_EQ(parser.IsSwitchFound(L"r"), 0);
    parser.Clear();
    EXPECT_TRUE(parser.GetAllParams().empty());
    EXPECT_EQ(parser.IsSwitchFound(L"a"), 0);
}

TEST(CommandLine, WindowsQuotingRules)
{
    CCommandLineParamParser parser;
    ASSERT_EQ(parser.SetCommandLine(
                  L"\"C:\\Program Files\\app\\setup.exe\" -out \"C:\\My Dir\\log.txt\"\t"
                  L"/msg \"say \\\"hi\\\"\" -path C:\\dir\\ \"a\\\\\\\\\" \"b\\\\\"c \"\" "
                  L"x\"y z\"w"),
              1);
    EXPECT_EQ(parser.GetAllParams(),
              (std::vector<std::wstring>{L"C:\\Program Files\\app\\setup.exe", L"out",
                                         L"C:\\My Dir\\log.txt", L"msg", L"say \"hi\"", L"path",
                                         L"C:\\dir\\", L"a\\\\", L"b\\c", L"", L"xy zw"}));
    EXPECT_EQ(parser.GetSwitchValueCount(L"path"), 5);
    std::wstring value;
    EXPECT_EQ(parser.GetSwitchValue(L"path", 3, value), 1);
    EXPECT_EQ(value, L"");

    // An empty command line still names the program.
    ASSERT_EQ(parser.SetCommandLine(L""), 1);
    ASSERT_EQ(parser.GetAllParams().size(), 1u);
    EXPECT_FALSE(parser.GetAllParams()[0].empty());
}

TEST(CommandLine, ValidationReasons)
{
    CCommandLineParamParser parser;
    ASSERT_EQ(parser.SetCommandLine(L"C:\\Setup\\setup.exe -r file.txt /S x y"), 1);

    EXPECT_EQ(Outcome(parser, L"r:0-9;s:0-1"), L"0/3/s");
    EXPECT_EQ(Outcome(parser, L"r:0-9"), L"0/4/'S'");
    EXPECT_EQ(Outcome(parser, L"x*:1"), L"0/2/x");
    EXPECT_EQ(Outcome(parser, L";;R:1-1;;s:2-2;"), L"1/0/");
    EXPECT_EQ(Outcome(parser, L"r*;s*"), L"1/0/");   // no count part: any number of values
    EXPECT_EQ(Outcome(parser, L"s:2;r:1"), L"1/0/"); // a minimum alone has no maximum
    EXPECT_EQ(Outcome(parser, L"r;s:3"), L"0/3/s");
    EXPECT_EQ(Outcome(parser, L"r:2-5;s"), L"0/3/r");
    EXPECT_EQ(Outcome(parser, L"r;s;QuitImmediately;help;h;?;l:0-9"), L"1/0/");
    // Entries are checked in order: a failing switch before a malformed entry wins.
    EXPECT_EQ(Outcome(parser, L"r;s:0-1;bad:"), L"0/3/s");
    EXPECT_EQ(Outcome(parser, L"bad:;r;s:0-1"), L"0/1/");
    EXPECT_EQ(Outcome(parser, L""), L"0/4/'r' 'S'");
}

TEST(CommandLine, MalformedDescriptions)
{
    CCommandLineParamParser parser;
    ASSERT_EQ(parser.SetCommandLine(L"setup.exe -r 1"), 1);
    const wchar_t* malformed[] = {
        L"r:",  L"r:a", L"r:1-", L"r:1-x",   L"r:0-9x",        L"r:1-2-3",       L"r-1",
        L"r**", L"*r",  L"r *",  L" r",      L"r:0-9 ",        L"r:-1",          L"r*:",
        L"*",   L":1",  L"r=1",  L"r\u00e9", L"r:0-9;s:1-2-3", L"r:99999999999", L"r:+1"};
    for (const wchar_t* description : malformed)
        EXPECT_EQ(Outcome(parser, description), L"0/1/") << Narrow(description);
    VALIDATE_FAILURE_REASON reason = VALIDATE_SUCCESS;
    std::wstring context = L"stale";
    EXPECT_EQ(parser.Validate(nullptr, reason, context), 0);
    EXPECT_EQ(reason, VALIDATE_BAD_DESCRIPTION);
    EXPECT_EQ(context, L"");

    // Well-formed neighbours of the cases above.
    const wchar_t* wellFormed[] = {L"r:1",   L"r:1-1", L"r*:0-9",    L"r*",
                                   L"r_2;r", L"?;r",   L"r:001-0002"};
    for (const wchar_t* description : wellFormed)
        EXPECT_EQ(Outcome(parser, description), L"1/0/") << Narrow(description);
}

TEST(CommandLine, RepeatedAndUnlistedSwitches)
{
    CCommandLineParamParser parser;
    ASSERT_EQ(parser.SetCommandLine(L"setup.exe -a 1 -x /a 2 -Y -z"), 1);
    // The second "a" counts as unlisted, spelled as given; listing a name twice claims both.
    EXPECT_EQ(Outcome(parser, L"a:1"), L"0/4/'x' 'a' 'Y' 'z'");
    EXPECT_EQ(Outcome(parser, L"a;x;y;z"), L"0/4/'a'");
    EXPECT_EQ(Outcome(parser, L"a;a;x;y;z"), L"1/0/");
    EXPECT_EQ(Outcome(parser, L"a:1;a:1;x;y;z"), L"1/0/");
    ASSERT_EQ(parser.SetCommandLine(L"setup.exe -a"), 1);
    EXPECT_EQ(Outcome(parser, L"a;a*"), L"1/0/");
    EXPECT_EQ(Outcome(parser, L"a;b*"), L"0/2/b");
}

TEST(FrameworkGlobals, FreeGivesAFreshInstance)
{
    FreeFrameworkGlobalVariables();
    EXPECT_EQ(PeekFrameworkGlobalVariables(), nullptr);
    CFrameworkGlobalVariables* globals = GetFrameworkGlobalVariables();
    ASSERT_NE(globals, nullptr);
    EXPECT_EQ(GetFrameworkGlobalVariables(), globals);
    EXPECT_EQ(PeekFrameworkGlobalVariables(), globals);
    globals->m_PropertyManager.SetProperty(L"Framework\\UIMode", L"1");
    FreeFrameworkGlobalVariables();
    EXPECT_EQ(PeekFrameworkGlobalVariables(), nullptr);
    FreeFrameworkGlobalVariables(); // freeing twice is harmless

    CFrameworkGlobalVariables* fresh = GetFrameworkGlobalVariables();
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->m_PropertyManager.IsPropertyExist(L"Framework\\UIMode"), 0);
    std::vector<CPropertyItem> items;
    fresh->m_PropertyManager.EnumerateProperties(&items);
    EXPECT_TRUE(items.empty());
    FreeFrameworkGlobalVariables();
}
