// The patch engine stand-in, run from package folders with a fake action host that records its
// command lines: list order, the host's command line, rollback backwards with the skip run for the
// failed action, the package status, exit codes and scripts that must run nothing.
#include "framework/CPropertyManager.h"
#include "framework/Serialization.h"
#include "setupsupport/CProcessOperation.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{

const char kScript[] = "[Package]\nName=Test Pack\n[Install]\n1=First\n2=Second\n3=Third\n"
                       "4=Fourth\n5=Fifth\n[Uninstall]\nx=Second\n"
                       "[Action.First]\nLibrary=lib1.dll\nFunction=Do_First\n"
                       "Parameters=Path=\"C:\\A b\",Mode=1\nTimeLimit=30\nRunMode=2\n"
                       "RollbackFunction=Undo_First\nRollbackParameters=Back=\"C:\\B\"\n"
                       "[action.Second]   ; no rollback\n library = lib2.dll \nFUNCTION=Do_Second\n"
                       "[Action.Third]\nLibrary=lib3.dll\nFunction=Do_Third\n"
                       "RollbackLibrary=undo3.dll\nRollbackFunction=Undo_Third\n"
                       "RollbackParameters=Dir=C:\\B\\\nRollbackTimeLimit=5\nRollbackRunMode=1\n"
                       "[Action.Fourth]\nLibrary=lib4.dll\nFunction=Do_Fourth\n"
                       "[Action.Fifth]\nLibrary=lib5.dll\nFunction=Do_Fifth\n";

// A package folder C:\NAME\ holding copies of the engine and of the fake host as its action host.
struct CPackage
{
    explicit CPackage(const std::wstring& name, const std::string& script = kScript)
        : folder(L"C:\\" + name + L"\\")
    {
        std::wstring bin = testsupport::ProgramFolder() + L"\\";
        EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        EXPECT_TRUE(
            CopyFileW((bin + L"HVPatch.exe").c_str(), (folder + L"HVPatch.exe").c_str(), 1));
        EXPECT_TRUE(CopyFileW((bin + L"fakeactionhost.exe").c_str(),
                              (folder + L"actionhost.exe").c_str(), 1));
        if (!script.empty())
            Write(L"hotfix.ini", script);
    }
    std::string Path(const std::wstring& file) const
    {
        return testsupport::HostPath(folder + file);
    }
    void Write(const std::wstring& file, const std::string& text) const
    {
        testsupport::WriteHostFile(Path(file), text);
    }
    // Runs the engine; its standard output and error land in out and err.
    DWORD Run(const std::wstring& switches)
    {
        std::string files[2] = {Path(L"out.txt"), Path(L"err.txt")};
        fflush(nullptr);
        int saved[2] = {dup(1), dup(2)};
        for (int i = 0; i < 2; ++i)
        {
            int fd = open(files[i].c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, i + 1);
            close(fd);
        }
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::wstring line = L"\"" + folder + L"HVPatch.exe\" " + switches;
        BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      L"C:\\", &startup, &process);
        for (int i = 0; i < 2; ++i)
        {
            dup2(saved[i], i + 1);
            close(saved[i]);
        }
        EXPECT_TRUE(started);
        // 0xDEAD when the engine's handle went with the machine's server.
        DWORD code = 0xDEAD;
        EXPECT_NE(
            CProcessOperation::WaitForProcess(process.hProcess, process.dwProcessId, 60000, code),
            EProcessEnd::TimedOut);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        out = testsupport::ReadHostFile(files[0]);
        err = testsupport::ReadHostFile(files[1]);
        return code;
    }
    // The host's runs since the last call, "current folder|command line" each.
    std::vector<std::string> Calls() const
    {
        std::string text = testsupport::ReadHostFile(Path(L"hostcalls.txt"));
        testsupport::WriteHostFile(Path(L"hostcalls.txt"), "");
        std::vector<std::string> calls;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
             start = end + 1)
            calls.push_back(text.substr(start, end - start));
        return calls;
    }
    // What the host read from its command line in those runs, without the program name.
    std::vector<std::wstring> Runs() const
    {
        std::vector<std::wstring> runs;
        for (const std::string& call : Calls())
        {
            int argc = 0;
            LPWSTR* argv = CommandLineToArgvW(
                winport::FromUtf8(call.substr(call.find('|') + 1)).c_str(), &argc);
            runs.emplace_back();
            for (int i = 1; i < argc; ++i)
                runs.back() += (i > 1 ? L"|" : L"") + std::wstring(argv[i]);
            LocalFree(argv);
        }
        return runs;
    }
    std::wstring Status() const
    {
        CPropertyManager properties;
        CPersistentStorageFile storage(folder + L"properties.txt");
        EXPECT_TRUE(CSerializer::ConstructObjectFromStorage(&properties, &storage));
        EXPECT_EQ(properties.GetProperty(L"Keep"), L"me"); // nothing else was lost
        return properties.GetProperty(L"CurrentInstallationStatus");
    }
    std::wstring folder;
    std::string out, err;
};

std::string EngineLog()
{
    return testsupport::ReadHostFile(
        testsupport::HostPath(L"C:\\Windows\\Temp\\Parvel_HVPatch.log"));
}

} // namespace

TEST(HVPatch, RunsTheInstallListInOrderWithTheHostsCommandLine)
{
    CPackage package(L"Pkg1");
    ASSERT_EQ(package.Run(L"/S"), 0u);
    EXPECT_EQ(package.out, "");
    std::vector<std::string> calls = package.Calls();
    ASSERT_EQ(calls.size(), 5u);
    // Quotes in parameters travel as single quotes; the host starts in the package folder.
    EXPECT_EQ(calls[0], "C:\\Pkg1|\"C:\\Pkg1\\actionhost.exe\" \"First\" \"lib1.dll\" \"Do_First\" "
                        "30 \"Path='C:\\A b',Mode=1\" 2");
    EXPECT_NE(calls[4].find("\"Fifth\" \"lib5.dll\" \"Do_Fifth\" -1 \"\" 0"), std::string::npos);

    ASSERT_EQ(package.Run(L""), 0u); // the console shows each start and result
    EXPECT_NE(package.out.find("Action 1 of 5: First starting\nAction First succeeded\n"),
              std::string::npos)
        << package.out;
    EXPECT_EQ(package.Calls().size(), 5u);
    EXPECT_NE(EngineLog().find("Action Fifth succeeded"), std::string::npos);
}

TEST(HVPatch, AFailureRollsBackBackwardsAndMarksThePackage)
{
    CPackage package(L"Pkg2");
    {
        CPropertyManager properties;
        properties.SetProperty(L"Keep", L"me");
        CPersistentStorageFile storage(package.folder + L"properties.txt");
        ASSERT_TRUE(CSerializer::SerializeObjectToStorage(&properties, &storage));
    }
    package.Write(L"hostcodes.txt", "Do_Fourth=3\n");
    ASSERT_EQ(package.Run(L"/s"), 1u);
    // The failed action without rollback gets the skip run; Second has no rollback; the
    // trailing backslash of a parameter string arrives as it was written.
    std::vector<std::wstring> expected = {
        L"First|lib1.dll|Do_First|30|Path='C:\\A b',Mode=1|2",
        L"Second|lib2.dll|Do_Second|-1||0",
        L"Third|lib3.dll|Do_Third|-1||0",
        L"Fourth|lib4.dll|Do_Fourth|-1||0",
        L"Fourth.Rollback|lib4.dll|NoRollback|-1||0",
        L"Third.Rollback|undo3.dll|Undo_Third|5|Dir=C:\\B\\|1",
        L"First.Rollback|lib1.dll|Undo_First|-1|Back='C:\\B'|0",
    };
    EXPECT_EQ(package.Runs(), expected);
    EXPECT_EQ(package.Status(), L"Rollback");

    // A failed action with a rollback gets that rollback; a failing rollback does not stop the
    // others.
    package.Write(L"hostcodes.txt", "Do_Third=1\nUndo_Third=7\n");
    ASSERT_EQ(package.Run(L"/s"), 2u);
    expected.erase(expected.begin() + 3, expected.begin() + 5);
    EXPECT_EQ(package.Runs(), expected);
    EXPECT_EQ(package.Status(), L"Rollback");
}

// The engine goes on only once a host has ended, also when it loses the host's handle with the
// machine's server (stopped while the host works): the next host must not work on the property
// file beside it. An action whose host cannot be started did nothing and gets no rollback run.
TEST(HVPatch, GoesOnOnlyOnceAHostHasEnded)
{
    CPackage package(L"Pkg5");
    package.Write(L"hostcodes.txt", "Do_First=0@3000\n");
    std::thread engine([&] { package.Run(L"/s"); });
    EXPECT_TRUE(testsupport::WaitFor(
        [&]
        {
            return testsupport::ReadHostFile(package.Path(L"hostcalls.txt")).find("Do_First") !=
                   std::string::npos;
        },
        60s));
    EXPECT_EQ(winport::fleet::StopMachineServer(testsupport::FleetRoot(),
                                                winport::fleet::CurrentMachine().name),
              0u);
    engine.join();
    // Its exit code went with the handle: the action counts as failed, and its rollback undoes
    // whatever it did.
    EXPECT_EQ(package.Runs(), (std::vector<std::wstring>{
                                  L"First|lib1.dll|Do_First|30|Path='C:\\A b',Mode=1|2",
                                  L"ended|Do_First",
                                  L"First.Rollback|lib1.dll|Undo_First|-1|Back='C:\\B'|0",
                              }));
    std::string log = EngineLog();
    EXPECT_NE(log.find("lib1.dll Do_First ended, its exit code is unknown"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Install ended with exit code 1"), std::string::npos) << log;

    // Second's host takes the host away: Third's cannot start, so only First is rolled back
    // (and that fails too).
    package.Write(L"hostcodes.txt", "Do_Second=0!\n");
    EXPECT_EQ(package.Run(L""), 2u);
    EXPECT_EQ(package.Runs().size(), 2u);
    EXPECT_NE(package.out.find("Action Third failed\nRollback of First starting\nRollback of "
                               "First failed\n"),
              std::string::npos)
        << package.out;
    EXPECT_EQ(package.out.find("Rollback of Third"), std::string::npos) << package.out;
}

TEST(HVPatch, UninstallListAndCommandLine)
{
    // An ANSI script with CR LF, as the launcher writes it.
    CPackage package(L"Pkg3", "[Uninstall]\r\n1=Nettoy\xE9\r\n2=Last\r\n[Action.Nettoy\xE9]\r\n"
                              "Library=l.dll\r\nFunction=F\r\n[Action.Last]\r\nLibrary=l.dll\r\n"
                              "Function=G\r\nRollbackFunction=H\r\n");
    EXPECT_EQ(package.Run(L"/s /x"), 4u);
    EXPECT_NE(package.err.find("usage: HVPatch.exe [/u] [/s]"), std::string::npos) << package.err;
    EXPECT_EQ(package.Run(L"/s"), 3u); // no install list
    EXPECT_TRUE(package.Calls().empty());

    EXPECT_EQ(package.Run(L"/S /u"), 0u);
    EXPECT_EQ(package.out, "");
    EXPECT_EQ(package.Runs(),
              (std::vector<std::wstring>{L"Nettoy\u00e9|l.dll|F|-1||0", L"Last|l.dll|G|-1||0"}));
    package.Write(L"hostcodes.txt", "G=1\n");
    EXPECT_EQ(package.Run(L"/U"), 1u);
    EXPECT_NE(package.out.find("Action Last failed\nRollback of Last starting\n"),
              std::string::npos)
        << package.out;
    EXPECT_EQ(package.Runs().back(), L"Last.Rollback|l.dll|H|-1||0");
}

TEST(HVPatch, ABadScriptRunsNothing)
{
    const std::string action = "[Install]\n1=A\n[Action.A]\nLibrary=a.dll\nFunction=F\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "hotfix.ini cannot be opened"},
        {"[Install\n1=A\n[Action.A]\nLibrary=a.dll\nFunction=F\n", "line 1: the section header"},
        {"[Install]\n1=A\n2=B\n" + action.substr(14), "[Install] 2=B names no section [Action.B]"},
        {"[Install]\n1=A\n[Action.A]\nLibrary=a.dll\n", "[Action.A] needs both Library and"},
        {action + "TimeLimit=12x\n", "[Action.A] TimeLimit=12x is no number from -1"},
        {action + "RollbackRunMode=3\n", "[Action.A] RollbackRunMode=3 is no number from 0 to 2"},
        {"[Uninstall]\n", "the script has no [Install] section"},
    };
    for (size_t i = 0; i < cases.size(); ++i)
    {
        CPackage package(L"Bad" + std::to_wstring(i), cases[i].first);
        EXPECT_EQ(package.Run(L"/s"), 3u) << cases[i].second;
        EXPECT_NE(package.err.find(cases[i].second), std::string::npos) << package.err;
        EXPECT_NE(EngineLog().find(cases[i].second), std::string::npos) << cases[i].second;
        EXPECT_TRUE(package.Calls().empty()) << cases[i].second;
    }
}
