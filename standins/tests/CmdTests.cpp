// The command processor stand-in: the uninstall clean-up script, a script of the language's
// other forms, and commands run through _wsystem.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace
{

constexpr DWORD kGuard = 60000; // only against a hang

void Write(const std::wstring& path, const std::string& text)
{
    testsupport::WriteHostFile(testsupport::HostPath(path), text);
}

std::string Read(const std::wstring& path)
{
    return testsupport::ReadHostFile(testsupport::HostPath(path));
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Starts a command line in a folder and waits for it; its exit code.
DWORD RunAndWait(std::wstring line, const wchar_t* folder)
{
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, folder, nullptr,
                        &info))
    {
        ADD_FAILURE() << "cannot start: " << GetLastError();
        return 0xFFFFFFFF;
    }
    EXPECT_EQ(WaitForSingleObject(info.hProcess, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

} // namespace

TEST(Cmd, CleanScriptRemovesTheUninstallFolderOnceItsProgramHasEnded)
{
    for (const wchar_t* folder : {L"C:\\X", L"C:\\X\\Uninstall", L"C:\\X\\Uninstall\\Sub",
                                  L"C:\\X\\Uninstall\\Sub\\Deeper"})
        ASSERT_TRUE(CreateDirectoryW(folder, nullptr));
    // The script as the uninstall writes it, beside the folder it removes.
    Write(L"C:\\X\\clean.bat", R"bat(REM Firstline guard
SET UninstallDir=%~dp0Uninstall
:delete_start
del "%UninstallDir%\*" /Q /F /S
if exist "%UninstallDir%\patchstarter.exe" (ping -n 3 127.0.0.1 >nul
goto delete_start)
rmdir "%UninstallDir%" /Q /S
del "%UninstallDir%\..\clean.bat" /Q 
)bat");
    Write(L"C:\\X\\Uninstall\\setup.log", "log");
    Write(L"C:\\X\\Uninstall\\Sub\\Deeper\\data.bin", "data");
    Write(L"C:\\X\\Uninstall\\locked.txt", "read-only");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\X\\Uninstall\\locked.txt", FILE_ATTRIBUTE_READONLY));
    Write(L"C:\\X\\keep.txt", "not the script's");
    const std::wstring program = L"C:\\X\\Uninstall\\patchstarter.exe";
    ASSERT_TRUE(CopyFileW((testsupport::ProgramFolder() + L"\\servicestub.exe").c_str(),
                          program.c_str(), FALSE));

    // The patch program still runs for about 3 s, so its file cannot go until it has ended.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"CmdTests.PatchStarterRuns");
    ASSERT_NE(ready, nullptr);
    std::wstring line =
        L"\"" + program + L"\" --console --ready-event CmdTests.PatchStarterRuns --exit-after 3000";
    PROCESS_INFORMATION patch{};
    ASSERT_TRUE(CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, nullptr, &patch));
    ASSERT_EQ(WaitForSingleObject(ready, kGuard), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(RunAndWait(L"C:\\X\\clean.bat", nullptr), 0u);

    EXPECT_EQ(WaitForSingleObject(patch.hProcess, 0), static_cast<DWORD>(WAIT_OBJECT_0))
        << "the script ended before the program whose file it must delete";
    EXPECT_FALSE(Exists(L"C:\\X\\Uninstall"));
    EXPECT_FALSE(Exists(L"C:\\X\\clean.bat"));
    EXPECT_TRUE(Exists(L"C:\\X\\keep.txt"));
    WaitForSingleObject(patch.hProcess, kGuard);
    CloseHandle(patch.hThread);
    CloseHandle(patch.hProcess);
    CloseHandle(ready);
}

TEST(Cmd, ScriptArgumentsLoopsConditionsAndCalls)
{
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Lang", nullptr));
    Write(L"C:\\Lang\\inner.bat", "@echo off\r\n"
                                  "echo inner [%1]>>\"%~dp0out.txt\"\r\n"
                                  "exit /b %1\r\n");
    Write(L"C:\\Lang\\test.bat",
          "@echo off\n"
          "rem a remark & echo not run>>\"%~dp0out.txt\"\n"
          ":: a comment & echo not run either>>\"%~dp0out.txt\"\n"
          "set Greeting=hello\n"
          "echo %Greeting% [%1] [%~2] [%Unknown%] 100%%>\"%~dp0out.txt\"\n"
          "echo all=%*>>\"%~dp0out.txt\"\n"
          ":Loop\n"
          "echo tick>>\"%~dp0out.txt\"\n"
          "if not exist \"%~dp0a.txt\" (\n"
          "    echo a>\"%~dp0a.txt\"\n"
          "    goto loop\n"
          ") else if not exist \"%~dp0b.txt\" echo b>\"%~dp0b.txt\"& goto LOOP\n"
          "if exist \"%~dp0a.txt\" if exist \"%~dp0b.txt\" echo both>>\"%~dp0out.txt\"\n"
          "if exist \"%~dp0none.txt\" echo wrong>>\"%~dp0out.txt\" & echo wrong>>\"%~dp0out.txt\"\n"
          "md \"%~dp0New\\Deep\"\n"
          "cd \"%~dp0New\"\n"
          "echo here>Deep\\here.txt\n"
          "type Deep\\here.txt>>\"%~dp0out.txt\"\n"
          "nosuchprogram 2>nul\n"
          "if errorlevel 9009 echo level %ERRORLEVEL%>>\"%~dp0out.txt\"\n"
          "if not errorlevel 9010 (echo below) >>\"%~dp0out.txt\"\n"
          "call \"%~dp0inner.bat\" 5\n"
          "echo after call [%ERRORLEVEL%]>>\"%~dp0out.txt\"\n"
          "cd ..\n"
          "rd /s /q New\n"
          "if not exist \"%~dp0New\" echo removed>>\"%~dp0out.txt\"\n"
          "\"%~dp0inner.bat\" 6\n"
          "echo never>>\"%~dp0out.txt\"\n");
    EXPECT_EQ(RunAndWait(L"\"C:\\Lang\\test.bat\" first \"second arg\"", L"C:\\Lang"), 6u);
    EXPECT_EQ(Read(L"C:\\Lang\\out.txt"), "hello [first] [second arg] [] 100%\r\n"
                                          "all=first \"second arg\"\r\n"
                                          "tick\r\ntick\r\ntick\r\n"
                                          "both\r\n"
                                          "here\r\n"
                                          "level 9009\r\n"
                                          "below\r\n"
                                          "inner [5]\r\n"
                                          "after call [5]\r\n"
                                          "removed\r\n"
                                          "inner [6]\r\n");

    // A label that is not there ends the script; so does a block that is never closed.
    Write(L"C:\\Lang\\broken.bat", "goto nowhere\necho not reached>\"%~dp0broken.txt\"\n");
    EXPECT_EQ(RunAndWait(L"C:\\Lang\\broken.bat", nullptr), 1u);
    Write(L"C:\\Lang\\open.bat", "if exist \"%~dp0\" (\necho not reached>\"%~dp0open.txt\"\n");
    EXPECT_EQ(RunAndWait(L"C:\\Lang\\open.bat", nullptr), 255u);
    EXPECT_FALSE(Exists(L"C:\\Lang\\broken.txt"));
    EXPECT_FALSE(Exists(L"C:\\Lang\\open.txt"));
}

TEST(Cmd, SystemRunsCommandsInTheCallersFolder)
{
    EXPECT_NE(_wsystem(nullptr), 0);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Work", nullptr));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Work\\Sub", nullptr));
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(testsupport::HostPath(L"C:\\Work").c_str()), 0);

    EXPECT_EQ(_wsystem(L"exit 7"), 7);
    EXPECT_EQ(_wsystem(L"exit /b 300"), 300);
    EXPECT_EQ(_wsystem(L"echo x>>out.txt"), 0);
    EXPECT_EQ(_wsystem(L"echo x>>out.txt"), 0);
    EXPECT_EQ(Read(L"C:\\Work\\out.txt"), "x\r\nx\r\n");
    // An unknown variable stays as written on a command line; && runs on success only.
    EXPECT_EQ(_wsystem(L"cd Sub && echo %NoSuchVariable%> kept.txt"), 0);
    EXPECT_EQ(Read(L"C:\\Work\\Sub\\kept.txt"), "%NoSuchVariable%\r\n");
    EXPECT_EQ(_wsystem(L"cd NoSuchFolder 2>nul && echo wrong>wrong.txt"), 1);
    EXPECT_FALSE(Exists(L"C:\\Work\\wrong.txt"));

    // An unknown command: 9009 and the message on the standard error.
    EXPECT_EQ(_wsystem(L"nosuchcommand --flag 2>err.txt"), 9009);
    EXPECT_NE(Read(L"C:\\Work\\err.txt")
                  .find("'nosuchcommand' is not recognized as an internal or external command"),
              std::string::npos);
    EXPECT_EQ(_wsystem(L"nosuchcommand 2>nul || exit 4"), 4);
    // A program's exit code passes through.
    std::wstring stub = L"\"" + testsupport::ProgramFolder() + L"\\servicestub.exe\" --bad";
    EXPECT_EQ(_wsystem(stub.c_str()), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(_wsystem(L"(echo never closed"), 255);

    ASSERT_EQ(chdir(previous), 0);
}
