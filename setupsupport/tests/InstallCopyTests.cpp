// The install copy with backup: what it adds and replaces, its lists, a file held by a running
// process, and that a rollback, a failed copy and an uninstall leave the tree as it was.
#include "setupsupport/CFileSupport.h"
#include "testsupport/LogCapture.h"
#include "testsupport/MachineState.h"
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinModule.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;
using testsupport::CLogCapture;

namespace
{

const wchar_t kSource[] = L"C:\\Pack\\files";
const wchar_t kProduct[] = L"C:\\Program Files\\Product";
const wchar_t kBackup[] = L"C:\\Pack\\backup";

std::string Narrow(const std::wstring& text)
{
    return winport::ToUtf8(text);
}

void Write(const std::wstring& folder, const std::string& relative, const std::string& bytes)
{
    fs::path path = fs::path(testsupport::HostPath(folder)) / relative;
    fs::create_directories(path.parent_path());
    testsupport::WriteHostFile(path.string(), bytes);
}

using testsupport::TreeSnapshot;

std::string ListFile(const wchar_t* name)
{
    return testsupport::ReadHostFile(testsupport::HostPath(std::wstring(kBackup) + L"\\" + name));
}

class InstallCopy : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const wchar_t* folder : {kSource, kProduct, kBackup})
            fs::remove_all(testsupport::HostPath(folder));
        // The product as installed.
        Write(kProduct, "bin/engine.dll", "engine 1");
        Write(kProduct, "bin/keep.txt", "kept");
        Write(kProduct, "readme.txt", "old readme");
        SetFileAttributesW((std::wstring(kProduct) + L"\\readme.txt").c_str(),
                           FILE_ATTRIBUTE_READONLY);
        // The pack: one file replaced, one replaced read-only file, a new folder with two files.
        Write(kSource, "bin/engine.dll", "engine 2");
        Write(kSource, "readme.txt", "new readme");
        Write(kSource, "plugins/a.dll", "plugin a");
        Write(kSource, "plugins/b.dll", "plugin b");
    }
};

} // namespace

TEST_F(InstallCopy, CopiesWithItsListsAndRollsBackToTheSameTree)
{
    auto before = TreeSnapshot(kProduct);
    CLogCapture log;
    CNormalErrorHandle done = CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, false);
    ASSERT_TRUE(done.IsSuccess()) << Narrow(done.GetErrorMessage()) << Narrow(log.Dump());
    EXPECT_EQ(done.GetSuccessMessage(), L"");
    auto after = TreeSnapshot(kProduct);
    EXPECT_EQ(after["bin/engine.dll"], "engine 2");
    EXPECT_EQ(after["readme.txt"], "new readme"); // and writable now
    EXPECT_EQ(after["plugins/a.dll"], "plugin a");
    EXPECT_EQ(after["bin/keep.txt"], "kept");
    // Pre-order lists: a folder before what is in it; the backup folder is this install's.
    // (text mode: a line feed is CR LF on disk)
    EXPECT_EQ(ListFile(L"installAddFileList.txt"),
              "\xEF\xBB\xBFplugins\r\nplugins\\a.dll\r\nplugins\\b.dll");
    std::string overrides = ListFile(L"installOverrideFileList.txt");
    EXPECT_EQ(overrides.rfind("\xEF\xBB\xBF.\r\n", 0), 0u) << overrides;
    EXPECT_NE(overrides.find("bin\r\nbin\\engine.dll"), std::string::npos) << overrides;
    EXPECT_EQ(TreeSnapshot(kBackup)["bin/engine.dll"], "engine 1");

    // A second run finds its lists and takes no new backup.
    Write(kSource, "bin/engine.dll", "engine 3");
    log.Clear();
    ASSERT_TRUE(CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, false).IsSuccess());
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_INFO,
                             L"installAddFileList.txt or installOverrideFileList.txt is exist"));
    EXPECT_EQ(TreeSnapshot(kBackup)["bin/engine.dll"], "engine 1");

    // Entries that a changed list would have reach outside the product are not taken.
    std::string addList =
        testsupport::HostPath(std::wstring(kBackup) + L"\\installAddFileList.txt");
    testsupport::WriteHostFile(addList, testsupport::ReadHostFile(addList) +
                                            "\r\n..\\outside.txt\r\nC:\\Pack\\victim.txt");
    Write(L"C:\\Program Files", "outside.txt", "not the product's");
    Write(L"C:\\Pack", "victim.txt", "not the product's");

    // The rollback: added files gone, replaced ones back, the backup folder gone with its lists.
    CNormalErrorHandle undone = CFileSupport::RollbackCopyFile(kBackup, kProduct);
    ASSERT_TRUE(undone.IsSuccess()) << Narrow(undone.GetErrorMessage());
    EXPECT_EQ(TreeSnapshot(kProduct), before);
    EXPECT_FALSE(fs::exists(testsupport::HostPath(kBackup)));
    EXPECT_TRUE(fs::exists(testsupport::HostPath(L"C:\\Program Files\\outside.txt")));
    EXPECT_TRUE(fs::exists(testsupport::HostPath(L"C:\\Pack\\victim.txt")));
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR, L"The entry [..\\outside.txt] of the list"));
}

// A backup folder that was there before the install stays, emptied: each saved folder goes with
// its content, and a folder whose name only begins with another's is not taken for its part.
TEST_F(InstallCopy, ABackupFolderThatWasThereIsEmptiedByTheRollback)
{
    Write(kProduct, "bin2/x.dll", "x 1");
    Write(kSource, "bin2/x.dll", "x 2");
    fs::create_directories(testsupport::HostPath(kBackup));
    auto before = TreeSnapshot(kProduct);
    ASSERT_TRUE(CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, false).IsSuccess());
    EXPECT_NE(ListFile(L"installOverrideFileList.txt").rfind("\xEF\xBB\xBF.\r\n", 0), 0u);
    EXPECT_EQ(TreeSnapshot(kBackup)["bin2/x.dll"], "x 1");
    ASSERT_TRUE(CFileSupport::RollbackCopyFile(kBackup, kProduct).IsSuccess());
    EXPECT_EQ(TreeSnapshot(kProduct), before);
    ASSERT_TRUE(fs::is_directory(testsupport::HostPath(kBackup)));
    EXPECT_TRUE(fs::is_empty(testsupport::HostPath(kBackup)));
}

TEST_F(InstallCopy, UninstallGivesTheTreeBackAndVersionsDecide)
{
    auto before = TreeSnapshot(kProduct);
    ASSERT_TRUE(CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, false).IsSuccess());
    CNormalErrorHandle undone = CFileSupport::UninstallCopyFile(kBackup, kProduct);
    ASSERT_TRUE(undone.IsSuccess()) << Narrow(undone.GetErrorMessage());
    EXPECT_EQ(TreeSnapshot(kProduct), before);
    EXPECT_FALSE(fs::exists(testsupport::HostPath(kBackup)));

    // Comparing versions: files without a version are replaced all the same; a file whose
    // installed version is as high is left alone and in no list.
    std::wstring module = testsupport::ProgramFolder() + L"\\testmodule.dll";
    ASSERT_TRUE(CopyFileW(module.c_str(),
                          (std::wstring(kProduct) + L"\\bin\\versioned.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(module.c_str(), (std::wstring(kSource) + L"\\bin\\versioned.dll").c_str(),
                          FALSE));
    Write(kProduct, "bin/versioned.dll",
          testsupport::ReadHostFile(testsupport::HostPath(module)) + "installed");
    before = TreeSnapshot(kProduct);
    CLogCapture log;
    ASSERT_TRUE(CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, true).IsSuccess());
    EXPECT_EQ(TreeSnapshot(kProduct)["bin/engine.dll"], "engine 2");
    EXPECT_EQ(TreeSnapshot(kProduct)["bin/versioned.dll"], before["bin/versioned.dll"]);
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_DEBUG,
                L"The file [bin\\versioned.dll] has the higher/equal version, skipped update."));
    EXPECT_EQ(ListFile(L"installOverrideFileList.txt").find("versioned"), std::string::npos);
    ASSERT_TRUE(CFileSupport::RollbackCopyFile(kBackup, kProduct).IsSuccess());
    EXPECT_EQ(TreeSnapshot(kProduct), before);
}

TEST_F(InstallCopy, AFailedAddLeavesTheTreeAsItWas)
{
    // A source file whose name no Windows path can hold: its copy fails in the add step, after
    // the replacements were made.
    Write(kSource, "plugins/bad:name.dll", "never");
    auto before = TreeSnapshot(kProduct);
    CLogCapture log;
    CNormalErrorHandle done = CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, false);
    EXPECT_FALSE(done.IsSuccess());
    EXPECT_EQ(done.GetErrorMessage(), L"error.CopyFile.failed"); // the id, with no bundle loaded
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_ERROR, L"Copy file failed, when copy file from ["));
    auto after = TreeSnapshot(kProduct);
    // Replaced files are back, added files and the folders the add step made gone.
    EXPECT_EQ(after, before);
    EXPECT_FALSE(fs::exists(testsupport::HostPath(kBackup)));

    // Missing folders are refused before anything is touched.
    EXPECT_FALSE(
        CFileSupport::InstallCopyFile(L"C:\\Pack\\nothing", kProduct, kBackup, false).IsSuccess());
    EXPECT_FALSE(
        CFileSupport::InstallCopyFile(kSource, L"C:\\nowhere", kBackup, false).IsSuccess());
    EXPECT_FALSE(CFileSupport::RollbackCopyFile(L"C:\\Pack\\nothing", kProduct).IsSuccess());
}

TEST_F(InstallCopy, AFileHeldByARunningProcessIsSetAsideAndReplaced)
{
    // The product's library is loaded by this process, as a running service would hold it.
    std::wstring library = std::wstring(kProduct) + L"\\bin\\engine.dll";
    ASSERT_TRUE(CopyFileW((testsupport::ProgramFolder() + L"\\testmodule.dll").c_str(),
                          library.c_str(), FALSE));
    HMODULE held = LoadLibraryW(library.c_str());
    ASSERT_NE(held, nullptr) << GetLastError();
    auto before = TreeSnapshot(kProduct);
    CLogCapture log;
    CNormalErrorHandle done = CFileSupport::InstallCopyFile(kSource, kProduct, kBackup, false);
    ASSERT_TRUE(done.IsSuccess()) << Narrow(done.GetErrorMessage()) << Narrow(log.Dump());
    std::wstring self = L"(" + std::to_wstring(getpid()) + L")'";
    EXPECT_NE(done.GetSuccessMessage().find(self), std::wstring::npos)
        << Narrow(done.GetSuccessMessage());
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_INFO, L"Rename and copy the file from ["));
    auto after = TreeSnapshot(kProduct);
    EXPECT_EQ(after["bin/engine.dll"], "engine 2");
    EXPECT_NE(after.find("bin/engine.dll_temp"), after.end());
    // The file set aside goes at the next start.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                            L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ,
                            &key),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size),
        ERROR_SUCCESS);
    // A rollback puts the file set aside back by name, so the holder keeps its file and nothing
    // waits for the next start.
    CNormalErrorHandle undone = CFileSupport::RollbackCopyFile(kBackup, kProduct);
    ASSERT_TRUE(undone.IsSuccess()) << Narrow(undone.GetErrorMessage()) << Narrow(log.Dump());
    EXPECT_TRUE(log.HasStart(ADVLOG_SEVERITY_INFO, L"The file ["));
    EXPECT_EQ(TreeSnapshot(kProduct), before);
    EXPECT_EQ(
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &size),
        ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    FreeLibrary(held);
}
