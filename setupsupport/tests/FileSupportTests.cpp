#include "setupsupport/CFileSupport.h"

#include "fleetsim/Fleet.h"
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestFleet.h"
#include "testsupport/TestSupport.h"
#include "winport/windows.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <utility>

namespace fs = std::filesystem;

namespace
{

using testsupport::CLogCapture;

std::string Host(const std::wstring& path)
{
    return testsupport::HostPath(path);
}

// A fresh folder on drive C: of this workstation.
std::wstring Workspace(const std::wstring& name)
{
    std::wstring path = L"C:\\fst\\" + name;
    fs::remove_all(Host(path));
    fs::create_directories(Host(path));
    return path;
}

void Write(const std::wstring& path, const std::string& bytes)
{
    fs::create_directories(fs::path(Host(path)).parent_path());
    testsupport::WriteHostFile(Host(path), bytes);
}

void MakeReadOnly(const std::wstring& path)
{
    fs::permissions(Host(path),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

std::wstring SystemText(DWORD code)
{
    return CStringSupport::ConvertWin32ErrorCodeToString(code);
}

TEST(FileSupport, ReadsLinesAtTheEdges)
{
    std::wstring dir = Workspace(L"read");
    std::string longLine(700, 'x');
    longLine[259] = 'A'; // pieces end after 260 characters: the join must keep every one
    longLine[260] = 'B';
    std::string exact(260, 'e');
    const std::string bom = "\xEF\xBB\xBF";
    Write(dir + L"\\a.txt", bom + "first\r\n" + longLine + "\r\n" + exact + "\n\nlast");
    std::vector<std::wstring> lines{L"stale"};
    ASSERT_EQ(CFileSupport::ReadFileContentIntoVector(dir + L"\\a.txt", nullptr, lines), 1);
    std::vector<std::wstring> expected{L"first", std::wstring(longLine.begin(), longLine.end()),
                                       std::wstring(exact.begin(), exact.end()), L"", L"last"};
    EXPECT_EQ(lines, expected);
    std::wstring text;
    EXPECT_TRUE(CFileSupport::ReadFile(dir + L"\\a.txt", text).IsSuccess());
    EXPECT_EQ(text, L"first\n" + expected[1] + L"\n" + expected[2] + L"\n\nlast");

    // A final line feed closes the last line and adds no empty one; an empty file has no line.
    Write(dir + L"\\b.txt", "one\ntwo\n");
    ASSERT_EQ(CFileSupport::ReadFileContentIntoVector(dir + L"\\b.txt", L"rt", lines), 1);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"one", L"two"}));
    Write(dir + L"\\empty.txt", "");
    ASSERT_EQ(CFileSupport::ReadFileContentIntoVector(dir + L"\\empty.txt", nullptr, lines), 1);
    EXPECT_TRUE(lines.empty());

    CLogCapture log;
    std::wstring missing = dir + L"\\missing.txt";
    lines = {L"stale"};
    EXPECT_EQ(CFileSupport::ReadFileContentIntoVector(missing, nullptr, lines), 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_TRUE(
        log.Has(ADVLOG_SEVERITY_ERROR, L"ReadFileContentIntoString, fopen return NULL. File='" +
                                           missing + L"', Flag='r, ccs=UTF-8'"));
    text = L"stale";
    CFileSupportErrorHandle result = CFileSupport::ReadFile(missing, text);
    EXPECT_FALSE(result.IsSuccess());
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_READ);
    EXPECT_EQ(result.GetFilePath(), missing);
    EXPECT_EQ(result.GetSystemErrorCode(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(text.empty());
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"Read File[" + missing +
                                                   L"] Error! System error message:[" +
                                                   SystemText(ERROR_FILE_NOT_FOUND) + L"]"));
}

TEST(FileSupport, WriteAndReadRoundTripInBothEncodings)
{
    std::wstring dir = Workspace(L"write");
    const std::wstring text = L"Gr\u00fc\u00dfe caf\u00e9\nPreis 5 \u20ac \u2013 na\u00efve\nend";
    std::wstring utf8 = dir + L"\\utf8.txt", ansi = dir + L"\\ansi.txt";
    // Replaces a longer content completely.
    Write(utf8, std::string(500, 'z'));
    ASSERT_TRUE(CFileSupport::WriteToFile(text, utf8).IsSuccess());
    EXPECT_EQ(testsupport::ReadHostFile(Host(utf8)),
              "\xEF\xBB\xBFGr\xC3\xBC\xC3\x9F"
              "e caf\xC3\xA9\r\nPreis 5 \xE2\x82\xAC \xE2\x80\x93 na\xC3\xAFve\r\nend");
    std::wstring back;
    ASSERT_TRUE(CFileSupport::ReadFile(utf8, back).IsSuccess());
    EXPECT_EQ(back, text);

    ASSERT_TRUE(CFileSupport::WriteToFile(text, ansi, L"wt").IsSuccess());
    EXPECT_EQ(testsupport::ReadHostFile(Host(ansi)),
              "Gr\xFC\xDF"
              "e caf\xE9\r\nPreis 5 \x80 \x96 na\xEFve\r\nend");
    std::vector<std::wstring> lines;
    ASSERT_EQ(CFileSupport::ReadFileContentIntoVector(ansi, L"rt", lines), 1);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"Gr\u00fc\u00dfe caf\u00e9",
                                                L"Preis 5 \u20ac \u2013 na\u00efve", L"end"}));
}

TEST(FileSupport, WriteFailuresCarryTheirType)
{
    std::wstring dir = Workspace(L"writefail");
    CLogCapture log;
    std::wstring target = dir + L"\\no such folder\\out.txt";
    CFileSupportErrorHandle result = CFileSupport::WriteToFile(L"x", target);
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_OPEN_FOR_WRITE);
    EXPECT_EQ(result.GetFilePath(), target);
    EXPECT_EQ(result.GetSystemErrorCode(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"Write File[" + target +
                                                   L"] Error when open file! System error "
                                                   L"message:[" +
                                                   SystemText(ERROR_PATH_NOT_FOUND) + L"]"));
    EXPECT_FALSE(fs::exists(Host(dir + L"\\no such folder")));

    // A device that takes no byte: the failure shows only when the stream is flushed.
    result = CFileSupport::WriteToFile(L"data that does not fit", L"Z:\\dev\\full", L"wt");
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_WRITE);
    EXPECT_NE(result.GetSystemErrorCode(), 0);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR,
                        L"Write File[Z:\\dev\\full] Error, when write file! System error "
                        L"message:[" +
                            result.GetSystemErrorInfor() + L"]"));
}

TEST(FileSupport, CreatesEveryMissingLevel)
{
    std::wstring dir = Workspace(L"mkdir");
    EXPECT_TRUE(CFileSupport::CreateDirectoryW(dir + L"\\a\\b\\c").IsSuccess());
    EXPECT_TRUE(fs::is_directory(Host(dir + L"\\a\\b\\c")));
    EXPECT_TRUE(CFileSupport::CreateDirectoryW(dir + L"\\a\\b\\c\\").IsSuccess()); // exists already
    EXPECT_TRUE(CFileSupport::CreateDirectoryRecursively(dir + L"\\r1\\r2/r3"));
    EXPECT_TRUE(fs::is_directory(Host(dir + L"\\r1\\r2\\r3")));
    EXPECT_TRUE(CFileSupport::IsDirectory(dir + L"\\r1\\r2"));

    Write(dir + L"\\file", "x");
    EXPECT_TRUE(CFileSupport::IsExist(dir + L"\\file"));
    EXPECT_FALSE(CFileSupport::IsDirectory(dir + L"\\file"));
    CFileSupportErrorHandle result = CFileSupport::CreateDirectoryW(dir + L"\\file\\sub");
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_CREATE_DIRECTORY);
    EXPECT_EQ(result.GetFilePath(), dir + L"\\file\\sub");
    EXPECT_NE(result.GetSystemErrorCode(), 0);

    CLogCapture log;
    EXPECT_FALSE(CFileSupport::CreateDirectoryRecursively(dir + L"\\file\\sub"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"CreateDirectoryRecursively, CreateDirectory(" +
                                                   dir +
                                                   L"\\file) return false, last error is 183"));
    // Below a root: the root must be there, the levels under it are made.
    EXPECT_FALSE(CFileSupport::CreateDirectoryRecursively(dir + L"\\noroot", L"x\\y"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"CreateDirectoryRecursively failed, strPathRoot (" +
                                                   dir + L"\\noroot) doesn't exist"));
    EXPECT_FALSE(fs::exists(Host(dir + L"\\noroot")));
    EXPECT_TRUE(CFileSupport::CreateDirectoryRecursively(dir + L"\\a\\", L"\\m\\n\\"));
    EXPECT_TRUE(fs::is_directory(Host(dir + L"\\a\\m\\n")));
}

TEST(FileSupport, RemoveDirectoryExRemovesReadOnlyTrees)
{
    std::wstring dir = Workspace(L"rmtree");
    Write(dir + L"\\t\\a.txt", "a");
    Write(dir + L"\\t\\ro.txt", "r");
    Write(dir + L"\\t\\s1\\s2\\deep.txt", "d");
    Write(dir + L"\\t\\s1\\ro2.txt", "r");
    fs::create_directories(Host(dir + L"\\t\\s1\\empty"));
    MakeReadOnly(dir + L"\\t\\ro.txt");
    MakeReadOnly(dir + L"\\t\\s1\\ro2.txt");
    EXPECT_TRUE(CFileSupport::RemoveDirectoryEx(dir + L"\\t").IsSuccess());
    EXPECT_FALSE(fs::exists(Host(dir + L"\\t")));
    EXPECT_TRUE(fs::is_directory(Host(dir)));

    CLogCapture log;
    CFileSupportErrorHandle result = CFileSupport::RemoveDirectoryEx(dir + L"\\t");
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_DIRECTORY);
    EXPECT_EQ(result.GetSystemErrorCode(), ERROR_PATH_NOT_FOUND);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR,
                        L"RemoveDirectoryEx failed when FindFirstFile. System error message:[" +
                            SystemText(ERROR_PATH_NOT_FOUND) + L"]"));
}

TEST(FileSupport, RemoveDirectoryExLeavesALoadedModule)
{
    std::wstring dir = Workspace(L"rmbusy");
    Write(dir + L"\\t\\a.txt", "a");
    Write(dir + L"\\t\\other\\b.txt", "b");
    // A module is a program file: it begins as one.
    Write(dir + L"\\t\\sub\\module.dll", "\x7f"
                                         "ELF" +
                                             std::string(8188, '\x90'));
    Write(dir + L"\\t\\sub\\z.txt", "z");
    MakeReadOnly(dir + L"\\t\\sub\\module.dll");
    // Mapped executable, as a loaded module is.
    int fd = open(Host(dir + L"\\t\\sub\\module.dll").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* image = mmap(nullptr, 8192, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
    close(fd);
    ASSERT_NE(image, MAP_FAILED);

    CLogCapture log;
    std::wstring module = dir + L"\\t\\sub\\module.dll";
    CFileSupportErrorHandle result = CFileSupport::RemoveDirectoryEx(dir + L"\\t");
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_DELETE_FILE);
    EXPECT_EQ(result.GetFilePath(), module);
    EXPECT_EQ(result.GetSystemErrorCode(), ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"Delete file[" + module +
                                                   L"], failed when remove directory[" + dir +
                                                   L"\\t\\sub]! System error message:[" +
                                                   SystemText(ERROR_SHARING_VIOLATION) + L"]"));
    // Everything else is gone; the module, still read-only, and the folders holding it stay.
    EXPECT_TRUE(fs::exists(Host(module)));
    EXPECT_NE(GetFileAttributesW(module.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_FALSE(fs::exists(Host(dir + L"\\t\\a.txt")));
    EXPECT_FALSE(fs::exists(Host(dir + L"\\t\\sub\\z.txt")));
    EXPECT_FALSE(fs::exists(Host(dir + L"\\t\\other")));
    for (const testsupport::SLogLine& line : log.m_Lines)
        EXPECT_EQ(line.message.find(L"Remove empty directory"), std::wstring::npos)
            << "a full folder was tried";

    munmap(image, 8192);
    EXPECT_TRUE(CFileSupport::RemoveDirectoryEx(dir + L"\\t").IsSuccess());
    EXPECT_FALSE(fs::exists(Host(dir + L"\\t")));
}

TEST(FileSupport, RemoveFileReadOnlyFlag)
{
    std::wstring dir = Workspace(L"readonly");
    Write(dir + L"\\plain.txt", "p");
    Write(dir + L"\\ro.txt", "r");
    MakeReadOnly(dir + L"\\ro.txt");
    CLogCapture log;
    fs::perms before = fs::status(Host(dir + L"\\plain.txt")).permissions();
    EXPECT_TRUE(CFileSupport::RemoveFileReadOnlyFlag(dir + L"\\plain.txt"));
    EXPECT_EQ(fs::status(Host(dir + L"\\plain.txt")).permissions(), before);
    EXPECT_TRUE(log.m_Lines.empty());

    EXPECT_TRUE(CFileSupport::RemoveFileReadOnlyFlag(dir + L"\\ro.txt"));
    EXPECT_EQ(GetFileAttributesW((dir + L"\\ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    EXPECT_TRUE(DeleteFileW((dir + L"\\ro.txt").c_str()));

    EXPECT_FALSE(CFileSupport::RemoveFileReadOnlyFlag(dir + L"\\missing.txt"));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_WARNING, L"RemoveFileReadOnlyFlag(" + dir +
                                                     L"\\missing.txt) failed. dwLastError is 2"));
}

TEST(FileSupport, UpdateINIFile)
{
    std::wstring dir = Workspace(L"ini");
    std::wstring ini = dir + L"\\setup.ini";
    CLogCapture log;
    for (auto [path, section, key] :
         {std::tuple{L"", L"S", L"K"}, std::tuple{ini.c_str(), L"", L"K"},
          std::tuple{ini.c_str(), L"S", L""}})
    {
        CNormalErrorHandle result = CFileSupport::UpdateINIFile(path, section, key, L"v");
        EXPECT_FALSE(result.IsSuccess());
        std::wstring message =
            L"UpdateINIFile failed. The file path, section, item name for updateINIFile should "
            L"not empty:[" +
            std::wstring(path) + L", " + section + L", " + key + L"]";
        EXPECT_EQ(result.GetErrorMessage(), message);
        EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, message));
    }
    CNormalErrorHandle result = CFileSupport::UpdateINIFile(ini, L"Setup", L"Key", L"Value");
    EXPECT_EQ(result.GetErrorMessage(),
              L"UpdateINIFile failed. The ini file path is not exist:[" + ini + L"]");
    EXPECT_FALSE(fs::exists(Host(ini)));

    Write(ini, "; kept\r\n[Setup]\r\nOld=1\r\n\r\n[Other]\r\nKey=other\r\n");
    result = CFileSupport::UpdateINIFile(ini, L"setup", L"Key", L"Caf\u00e9");
    EXPECT_TRUE(result.IsSuccess());
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG,
                        L"Update ini file [" + ini + L",setup,Key,Caf\u00e9] successful."));
    EXPECT_TRUE(CFileSupport::UpdateINIFile(ini, L"Setup", L"Old", L"2").IsSuccess());
    EXPECT_EQ(testsupport::ReadHostFile(Host(ini)),
              "; kept\r\n[Setup]\r\nOld=2\r\nKey=Caf\xE9\r\n\r\n[Other]\r\nKey=other\r\n");

    // A read-only file is not written.
    MakeReadOnly(ini);
    result = CFileSupport::UpdateINIFile(ini, L"Setup", L"Old", L"3");
    EXPECT_EQ(result.GetErrorMessage(), L"Update ini file [" + ini +
                                            L",Setup,Old,3] failed, because: 5, " +
                                            SystemText(ERROR_ACCESS_DENIED));
    EXPECT_NE(testsupport::ReadHostFile(Host(ini)).find("Old=2"), std::string::npos);
}

// A copy of fleetkit.dll whose version note says version.
std::wstring WithVersion(const std::wstring& folder, const std::wstring& name,
                         const std::string& version)
{
    wchar_t self[MAX_PATH] = {};
    EXPECT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring library =
        std::wstring(self).substr(0, std::wstring(self).rfind(L'\\')) + L"\\fleetkit.dll";
    std::string bytes = testsupport::ReadHostFile(Host(library));
    // The note: name "FLEET" padded to 8 bytes, the file type, then 28 bytes of version text.
    size_t at = bytes.find(std::string("FLEET\0\0\0", 8));
    EXPECT_NE(at, std::string::npos);
    if (at == std::string::npos)
        return L"";
    std::string text = version;
    text.resize(28, '\0');
    bytes.replace(at + 12, 28, text);
    Write(folder + L"\\" + name, bytes);
    return folder + L"\\" + name;
}

TEST(FileSupport, CompareFileVersion)
{
    std::wstring dir = Workspace(L"version");
    wchar_t self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring library =
        std::wstring(self).substr(0, std::wstring(self).rfind(L'\\')) + L"\\fleetkit.dll";
    DWORD high = 0, low = 0;
    ASSERT_TRUE(CFileSupport::GetFileVersion(library, high, low));
    EXPECT_EQ(high, 0x00010000u);
    EXPECT_EQ(low, 0u);
    EXPECT_EQ(CFileSupport::CompareFileVersion(self, library), 0);

    // Halves compared unsigned, the most significant first.
    std::wstring high3 = WithVersion(dir, L"a.dll", "1.0.40000.0"),
                 low3 = WithVersion(dir, L"b.dll", "1.0.9.7");
    std::wstring major = WithVersion(dir, L"c.dll", "2.0.0.0"),
                 minor = WithVersion(dir, L"d.dll", "1.65535.9.9");
    ASSERT_TRUE(CFileSupport::GetFileVersion(high3, high, low));
    EXPECT_EQ(low, 40000u << 16);
    EXPECT_EQ(CFileSupport::CompareFileVersion(high3, low3), 1);
    EXPECT_EQ(CFileSupport::CompareFileVersion(low3, high3), -1);
    EXPECT_EQ(CFileSupport::CompareFileVersion(major, minor), 1);
    EXPECT_EQ(CFileSupport::CompareFileVersion(minor, major), -1);
    EXPECT_EQ(CFileSupport::CompareFileVersion(library, high3), -1);

    Write(dir + L"\\plain.txt", "no version here");
    CLogCapture log;
    EXPECT_EQ(CFileSupport::CompareFileVersion(library, dir + L"\\plain.txt"), -2);
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_DEBUG,
                        L"The file:[" + library + L"] or [" + dir +
                            L"\\plain.txt] can not get file version, skip compare file "
                            L"version!"));
    EXPECT_EQ(CFileSupport::CompareFileVersion(dir + L"\\missing.dll", library), -2);
}

TEST(FileSupport, EnumeratesFilesInNameOrder)
{
    std::wstring dir = Workspace(L"enum");
    for (const wchar_t* name : {L"b.txt", L"A.txt", L"m\\z.txt", L"m\\k\\deep.txt", L"c\\x.txt"})
        Write(dir + L"\\" + name, "x");
    fs::create_directories(Host(dir + L"\\empty"));
    std::vector<std::wstring> files{L"stale"};
    ASSERT_TRUE(CFileSupport::EnumAllFilesInFolder(dir + L"\\", files));
    EXPECT_EQ(files, (std::vector<std::wstring>{dir + L"\\A.txt", dir + L"\\b.txt"}));
    ASSERT_TRUE(CFileSupport::RecursivelyEnumAllFilesInFolder(dir, files));
    EXPECT_EQ(files, (std::vector<std::wstring>{L"A.txt", L"b.txt", L"c\\x.txt", L"m\\k\\deep.txt",
                                                L"m\\z.txt"}));
    EXPECT_FALSE(CFileSupport::RecursivelyEnumAllFilesInFolder(dir + L"\\missing", files));
    EXPECT_TRUE(files.empty());
}

TEST(FileSupport, CopyDirectoryLocally)
{
    std::wstring dir = Workspace(L"copy");
    Write(dir + L"\\src\\a.txt", "alpha");
    Write(dir + L"\\src\\ro.txt", "read only");
    Write(dir + L"\\src\\s\\t\\deep.bin", std::string("\0\1\2", 3));
    fs::create_directories(Host(dir + L"\\src\\empty"));
    MakeReadOnly(dir + L"\\src\\ro.txt");
    std::wstring destination = dir + L"\\out\\level\\copy";
    ASSERT_TRUE(CFileSupport::CopyDirectory(dir + L"\\src", destination).IsSuccess());
    EXPECT_EQ(testsupport::ReadHostFile(Host(destination + L"\\a.txt")), "alpha");
    EXPECT_EQ(testsupport::ReadHostFile(Host(destination + L"\\ro.txt")), "read only");
    EXPECT_EQ(testsupport::ReadHostFile(Host(destination + L"\\s\\t\\deep.bin")),
              std::string("\0\1\2", 3));
    EXPECT_TRUE(fs::is_directory(Host(destination + L"\\empty")));

    // A second copy overwrites, the read-only copy from the first one included.
    Write(dir + L"\\src\\a.txt", "alpha 2");
    fs::permissions(Host(dir + L"\\src\\ro.txt"), fs::perms::owner_write, fs::perm_options::add);
    Write(dir + L"\\src\\ro.txt", "read only 2");
    ASSERT_TRUE(CFileSupport::CopyDirectory(dir + L"\\src", destination).IsSuccess());
    EXPECT_EQ(testsupport::ReadHostFile(Host(destination + L"\\a.txt")), "alpha 2");
    EXPECT_EQ(testsupport::ReadHostFile(Host(destination + L"\\ro.txt")), "read only 2");

    CLogCapture log;
    CFileSupportErrorHandle result =
        CFileSupport::CopyDirectory(dir + L"\\src", dir + L"\\SRC\\inner");
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_COPY_DIRECTORY);
    EXPECT_EQ(result.GetSystemErrorCode(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(fs::exists(Host(dir + L"\\src\\inner")));
    EXPECT_TRUE(log.Has(ADVLOG_SEVERITY_ERROR, L"Copy directory from " + dir + L"\\src to " + dir +
                                                   L"\\SRC\\inner failed, error code: 87"));

    result = CFileSupport::CopyDirectory(dir + L"\\nosource", dir + L"\\never");
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_COPY_DIRECTORY);
    EXPECT_EQ(result.GetFilePath(), dir + L"\\nosource");
    EXPECT_FALSE(fs::exists(Host(dir + L"\\never")));
}

// A domain with an Exchange server beside this workstation.
class FileSupportOnServer : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        fleetsim::SDomain domain;
        domain.name = L"CORP";
        domain.dnsName = L"corp.example";
        domain.adminPassword = L"Adm1n!pw";
        testsupport::AddDomainServers(domain, {{"EXCH1", "exchange2007"}},
                                      [](fleetsim::SMachineProfile& profile)
                                      { profile.roles = fleetsim::kRoleMailbox; });
    }

    static void Impersonate(const wchar_t* password)
    {
        HANDLE token = nullptr;
        ASSERT_TRUE(LogonUserW(L"Administrator", L"CORP", password, LOGON32_LOGON_NEW_CREDENTIALS,
                               LOGON32_PROVIDER_WINNT50, &token));
        ASSERT_TRUE(ImpersonateLoggedOnUser(token));
        CloseHandle(token);
    }

    static std::string OnServer(const std::string& relative)
    {
        return testsupport::FleetRoot() + "/machines/EXCH1/drive/c/Windows/Temp/" + relative;
    }
};

TEST_F(FileSupportOnServer, CopyDirectoryToTheAdminShare)
{
    std::wstring dir = Workspace(L"remote");
    Write(dir + L"\\pkg\\setup.ini", "[Setup]\r\n");
    Write(dir + L"\\pkg\\bin\\agent.dll", std::string(100000, 'a'));
    Write(dir + L"\\pkg\\bin\\x64\\agent64.dll", "64");
    MakeReadOnly(dir + L"\\pkg\\bin\\agent.dll");

    Impersonate(L"wrong");
    CFileSupportErrorHandle result =
        CFileSupport::CopyDirectory(dir + L"\\pkg", L"\\\\EXCH1\\ADMIN$\\Temp\\x");
    RevertToSelf();
    EXPECT_EQ(result.GetErrorType(), CFileSupportErrorHandle::ERROR_TYPE_COPY_DIRECTORY);
    EXPECT_EQ(result.GetSystemErrorCode(), ERROR_LOGON_FAILURE);
    EXPECT_FALSE(fs::exists(OnServer("x")));

    Impersonate(L"Adm1n!pw");
    result = CFileSupport::CopyDirectory(dir + L"\\pkg", L"\\\\EXCH1\\ADMIN$\\Temp\\x");
    std::vector<std::wstring> files;
    EXPECT_TRUE(
        CFileSupport::RecursivelyEnumAllFilesInFolder(L"\\\\EXCH1\\ADMIN$\\Temp\\x", files));
    RevertToSelf();
    ASSERT_TRUE(result.IsSuccess()) << result.GetSystemErrorCode();
    EXPECT_EQ(files, (std::vector<std::wstring>{L"bin\\agent.dll", L"bin\\x64\\agent64.dll",
                                                L"setup.ini"}));
    EXPECT_EQ(testsupport::ReadHostFile(OnServer("x/setup.ini")), "[Setup]\r\n");
    EXPECT_EQ(testsupport::ReadHostFile(OnServer("x/bin/agent.dll")), std::string(100000, 'a'));
    EXPECT_EQ(testsupport::ReadHostFile(OnServer("x/bin/x64/agent64.dll")), "64");

    // Back to the process's own identity, the share is out of reach again.
    result = CFileSupport::CopyDirectory(dir + L"\\pkg", L"\\\\EXCH1\\ADMIN$\\Temp\\y");
    EXPECT_FALSE(result.IsSuccess());
    EXPECT_FALSE(fs::exists(OnServer("y")));
}

} // namespace
