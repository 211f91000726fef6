// Windows paths: parsing and normalising, placing them on the test machine, and the way back.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/fleet/BeneathOpen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using winport::fleet::SParsedPath;

namespace
{

using Parts = std::vector<std::wstring>;

const wchar_t* const kCurrent = L"C:\\Work\\Sub";

SParsedPath Parse(const std::wstring& path, DWORD expected = ERROR_SUCCESS,
                  const std::wstring& current = kCurrent)
{
    SParsedPath parsed;
    EXPECT_EQ(winport::fleet::ParseWindowsPath(path, current, parsed), expected)
        << winport::ToUtf8(path);
    return parsed;
}

std::string DriveC()
{
    return winport::fleet::CurrentMachine().folder + "/drive/c";
}

// Runs a block with the Linux working folder moved, and moves it back.
class CWorkingFolder
{
public:
    explicit CWorkingFolder(const std::string& folder)
    {
        char old[PATH_MAX];
        m_Old = getcwd(old, sizeof old) != nullptr ? old : "/";
        EXPECT_EQ(chdir(folder.c_str()), 0) << folder;
    }
    ~CWorkingFolder() { EXPECT_EQ(chdir(m_Old.c_str()), 0); }

private:
    std::string m_Old;
};

std::wstring Backslashed(const std::string& hostPath)
{
    std::wstring text = winport::FromUtf8(hostPath);
    for (wchar_t& ch : text)
        ch = ch == L'/' ? L'\\' : ch;
    return text;
}

} // namespace

TEST(WinPathParse, DrivePathsAreNormalised)
{
    SParsedPath p = Parse(L"c:\\a\\..\\..\\..\\b");
    EXPECT_EQ(p.kind, SParsedPath::EKind::Drive);
    EXPECT_EQ(p.drive, L'C');
    EXPECT_EQ(p.components, (Parts{L"b"})); // ".." never climbs above the root
    EXPECT_EQ(Parse(L"C:\\a\\.\\b\\\\\\c\\").components, (Parts{L"a", L"b", L"c"}));
    EXPECT_EQ(Parse(L"d:/x/y//z").components, (Parts{L"x", L"y", L"z"}));
    EXPECT_EQ(Parse(L"d:/x").drive, L'D');
    EXPECT_EQ(Parse(L"C:\\").components, Parts{});
    // Trailing dots and blanks of names are dropped; inner ones stay.
    EXPECT_EQ(Parse(L"C:\\dir. \\file.txt. . ").components, (Parts{L"dir", L"file.txt"}));
    EXPECT_EQ(Parse(L"C:\\a b.c\\x").components, (Parts{L"a b.c", L"x"}));
    EXPECT_EQ(Parse(L"C:\\Program Files\\..\\Windows").components, (Parts{L"Windows"}));

    for (const wchar_t* bad :
         {L"C:\\a<b", L"C:\\a>b", L"C:\\a|b", L"C:\\a?", L"C:\\a*", L"C:\\a\"b", L"C:\\a:b",
          L"C:\\a\x01"
          L"b",
          L"C:\\dir\\x\ty"})
        Parse(bad, ERROR_INVALID_NAME);
    Parse(std::wstring(L"C:\\a\0b", 6), ERROR_INVALID_NAME);
    Parse(L"C:\\" + std::wstring(256, L'n'), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(Parse(L"C:\\" + std::wstring(255, L'n')).components.size(), 1u);
    Parse(L"", ERROR_PATH_NOT_FOUND);
}

TEST(WinPathParse, RelativeForms)
{
    EXPECT_EQ(Parse(L"name").components, (Parts{L"Work", L"Sub", L"name"}));
    EXPECT_EQ(Parse(L"..\\x").components, (Parts{L"Work", L"x"}));
    EXPECT_EQ(Parse(L"name\\..\\..\\..\\..\\x").components, (Parts{L"x"}));
    EXPECT_EQ(Parse(L".").components, (Parts{L"Work", L"Sub"}));
    SParsedPath rooted = Parse(L"\\name\\x");
    EXPECT_EQ(rooted.drive, L'C');
    EXPECT_EQ(rooted.components, (Parts{L"name", L"x"}));
    EXPECT_EQ(Parse(L"/name").components, (Parts{L"name"}));
    // Drive-relative: on the current folder's drive it continues from there, else from the root.
    EXPECT_EQ(Parse(L"C:name").components, (Parts{L"Work", L"Sub", L"name"}));
    EXPECT_EQ(Parse(L"c:..\\up").components, (Parts{L"Work", L"up"}));
    EXPECT_EQ(Parse(L"C:").components, (Parts{L"Work", L"Sub"}));
    SParsedPath other = Parse(L"D:name");
    EXPECT_EQ(other.drive, L'D');
    EXPECT_EQ(other.components, (Parts{L"name"}));
    EXPECT_EQ(Parse(L"D:").components, Parts{});
    // Rooted names on a share stay on that share.
    SParsedPath onShare = Parse(L"\\top", ERROR_SUCCESS, L"\\\\srv\\share\\deep\\er");
    EXPECT_EQ(onShare.kind, SParsedPath::EKind::Unc);
    EXPECT_EQ(onShare.share, L"share");
    EXPECT_EQ(onShare.components, (Parts{L"top"}));
    Parse(L"name", ERROR_PATH_NOT_FOUND, L"");
}

TEST(WinPathParse, UncAndDevicePrefixes)
{
    SParsedPath unc = Parse(L"\\\\Server\\Share\\a\\..\\..\\..\\b. ");
    EXPECT_EQ(unc.kind, SParsedPath::EKind::Unc);
    EXPECT_EQ(unc.server, L"Server");
    EXPECT_EQ(unc.share, L"Share");
    EXPECT_EQ(unc.components, (Parts{L"b"}));
    EXPECT_EQ(Parse(L"//srv/c$/x").share, L"c$");

    SParsedPath longUnc = Parse(L"\\\\?\\UNC\\srv\\ADMIN$\\Temp\\x");
    EXPECT_EQ(longUnc.kind, SParsedPath::EKind::Unc);
    EXPECT_EQ(longUnc.server, L"srv");
    EXPECT_EQ(longUnc.share, L"ADMIN$");
    EXPECT_EQ(longUnc.components, (Parts{L"Temp", L"x"}));

    // \\?\ takes names literally: trailing dots and blanks stay.
    SParsedPath literal = Parse(L"\\\\?\\c:\\dir\\name. ");
    EXPECT_EQ(literal.kind, SParsedPath::EKind::Drive);
    EXPECT_EQ(literal.drive, L'C');
    EXPECT_EQ(literal.components, (Parts{L"dir", L"name. "}));
    EXPECT_EQ(Parse(L"\\\\?\\C:").components, Parts{});
    EXPECT_EQ(Parse(L"\\\\.\\C:\\x").components, (Parts{L"x"}));

    for (const wchar_t* bad : {L"\\\\server", L"\\\\server\\", L"\\\\\\share", L"\\\\.\\pipe",
                               L"\\\\?\\nodrive\\x", L"\\\\srv\\..\\x", L"\\\\s<v\\share"})
        Parse(bad, ERROR_BAD_PATHNAME);
}

TEST(WinPathMap, ExistingComponentsMatchWithoutRegardToCase)
{
    ASSERT_EQ(mkdir((DriveC() + "/MixedCase").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((DriveC() + "/MixedCase/Inner").c_str(), 0755), 0);
    std::string host;
    ASSERT_EQ(winport::fleet::MapPath(L"c:\\MIXEDCASE\\inner\\New Folder\\File.TXT", host),
              ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC() + "/MixedCase/Inner/New Folder/File.TXT");
    ASSERT_EQ(winport::fleet::MapPath(L"C:\\windows\\TEMP", host), ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC() + "/Windows/Temp");
    ASSERT_EQ(winport::fleet::MapPath(L"C:\\..\\..\\..\\Windows", host), ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC() + "/Windows");
    ASSERT_EQ(winport::fleet::MapPath(L"C:\\", host), ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC());

    // A missing component ends the matching: what follows is taken as written.
    ASSERT_EQ(winport::fleet::MapPath(L"C:\\missing\\windows", host), ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC() + "/missing/windows");

    // Names outside ASCII match as the file system folds them.
    ASSERT_EQ(mkdir((DriveC() + "/\xC3\xA9t\xC3\xA9").c_str(), 0755), 0);
    ASSERT_EQ(winport::fleet::MapPath(L"C:\\\u00C9T\u00C9", host), ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC() + "/\xC3\xA9t\xC3\xA9");

    EXPECT_EQ(winport::fleet::MapPath(L"C:\\a|b", host), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(winport::fleet::MapPath(L"Q:\\x", host), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(winport::fleet::MapPath(L"\\\\nosuchserver\\C$\\x", host),
              static_cast<DWORD>(ERROR_BAD_NETPATH));
}

TEST(WinPathMap, LinksInsideADriveAreRefusedButZIsTheLinuxRoot)
{
    ASSERT_EQ(symlink("/tmp", (DriveC() + "/Escape").c_str()), 0);
    std::string host = "unchanged";
    EXPECT_EQ(winport::fleet::MapPath(L"C:\\escape\\passwd", host),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winport::fleet::MapPath(L"C:\\Escape", host),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(host, "unchanged");
    // A link to a folder of the same machine is refused too: it is still a link.
    ASSERT_EQ(symlink((DriveC() + "/Windows").c_str(), (DriveC() + "/Inside").c_str()), 0);
    EXPECT_EQ(winport::fleet::MapPath(L"C:\\Inside\\Temp", host),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(winport::fleet::CurrentMachine().hasLinuxDrive);
    ASSERT_EQ(winport::fleet::MapPath(L"Z:\\", host), ERROR_SUCCESS);
    EXPECT_EQ(host, "/");
    ASSERT_EQ(winport::fleet::MapPath(L"z:\\TMP\\..\\tmp", host), ERROR_SUCCESS);
    EXPECT_EQ(host, "/tmp");
    ASSERT_EQ(winport::fleet::MapPath(L"Z:\\Tmp", host), ERROR_SUCCESS);
    EXPECT_EQ(host, "/tmp");
}

TEST(WinPathMap, HostPathsRoundTrip)
{
    const std::string c = DriveC();
    EXPECT_EQ(winport::fleet::HostPathToWindows(c + "/Windows/Temp"), L"C:\\Windows\\Temp");
    EXPECT_EQ(winport::fleet::HostPathToWindows(c), L"C:\\");
    EXPECT_EQ(winport::fleet::HostPathToWindows(c + "/"), L"C:\\");
    EXPECT_EQ(winport::fleet::HostPathToWindows("/usr/bin"), L"Z:\\usr\\bin");
    EXPECT_EQ(winport::fleet::HostPathToWindows("/"), L"Z:\\");
    // A folder whose name only starts like a drive is not that drive.
    EXPECT_EQ(winport::fleet::HostPathToWindows(c + "x/y"), L"Z:" + Backslashed(c + "x/y"));

    for (const std::string& path :
         {c + "/Windows/Temp", c + "/Program Files", std::string("/tmp"), std::string("/usr/lib")})
    {
        std::string back;
        ASSERT_EQ(winport::fleet::MapPath(winport::fleet::HostPathToWindows(path), back),
                  ERROR_SUCCESS)
            << path;
        EXPECT_EQ(back, path);
    }
    const std::wstring windowsPath = L"C:\\Program Files\\Some App\\x.dll";
    std::string host;
    ASSERT_EQ(winport::fleet::MapPath(windowsPath, host), ERROR_SUCCESS);
    EXPECT_EQ(winport::fleet::HostPathToWindows(host), windowsPath);
}

TEST(WinPathMap, ModuleFileNameAndCurrentFolder)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::wstring expected = L"Z:" + Backslashed(std::string(self, static_cast<size_t>(n)));
    ASSERT_LT(expected.size(), static_cast<size_t>(MAX_PATH));

    wchar_t name[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
    EXPECT_EQ(std::wstring(name, length), expected);
    EXPECT_EQ(wcslen(name), length);
    EXPECT_EQ(expected.substr(expected.rfind(L'\\')), L"\\winport_tests");

    // Too small: cut and terminated, the size returned, ERROR_INSUFFICIENT_BUFFER.
    wchar_t small[6];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 6), 6u);
    EXPECT_EQ(std::wstring(small), expected.substr(0, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::wstring exact(expected.size() + 1, L'#');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, exact.data(), static_cast<DWORD>(exact.size())),
              expected.size());
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(GetModuleFileNameW(nullptr, exact.data(), static_cast<DWORD>(expected.size())),
              expected.size());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    int dummy = 0;
    EXPECT_EQ(GetModuleFileNameW(&dummy, name, MAX_PATH), 0u);

    CWorkingFolder moved(DriveC() + "/Windows");
    wchar_t current[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, current), 10u);
    EXPECT_EQ(std::wstring(current), L"C:\\Windows");
    // Too small: the size needed, terminator included, and the buffer untouched.
    wchar_t tiny[4] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(GetCurrentDirectoryW(4, tiny), 11u);
    EXPECT_EQ(tiny[0], L'#');
    EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), 11u);
    // Relative names now start there.
    std::string host;
    ASSERT_EQ(winport::fleet::MapPath(L"temp\\x.log", host), ERROR_SUCCESS);
    EXPECT_EQ(host, DriveC() + "/Windows/Temp/x.log");
}

namespace
{

// A Linux folder outside the fleet, reached as Z:\..., removed afterwards (links and all, never
// what they lead to).
class COutsideFolder
{
public:
    COutsideFolder()
    {
        char pattern[] = "/tmp/winport-outside-XXXXXX";
        EXPECT_NE(mkdtemp(pattern), nullptr);
        m_Path = pattern;
    }
    ~COutsideFolder() { std::filesystem::remove_all(m_Path); }
    const std::string& Path() const { return m_Path; }

private:
    std::string m_Path;
};

std::wstring OnZ(const std::string& hostPath)
{
    return L"Z:" + Backslashed(hostPath);
}

// Runs a block once with openat2 and once with the walk that stands in for it.
template <typename F> void BothWaysOfOpening(F block)
{
    for (bool openat2 : {true, false})
    {
        SCOPED_TRACE(openat2 ? "openat2" : "walk");
        winport::posix::UseOpenat2ForTests(openat2);
        block();
    }
    winport::posix::UseOpenat2ForTests(true);
}

} // namespace

TEST(WinPathSafety, DriveZStaysOutOfTheFleetFolder)
{
    const std::string fleet = testsupport::FleetRoot();
    const std::string machine = winport::fleet::CurrentMachine().folder;
    std::string host = "unchanged";
    for (const std::string& inside : {fleet, fleet + "/hosts", machine + "/registry.db",
                                      DriveC() + "/Windows", fleet + "/machines/NEW/x"})
        EXPECT_EQ(winport::fleet::MapPath(OnZ(inside), host),
                  static_cast<DWORD>(ERROR_ACCESS_DENIED))
            << inside;
    EXPECT_EQ(host, "unchanged");
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(OnZ(machine + "/registry.db").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(_wfopen(OnZ(DriveC() + "/planted.txt").c_str(), L"w"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(access((DriveC() + "/planted.txt").c_str(), F_OK), 0);
    EXPECT_FALSE(RemoveDirectoryW(OnZ(fleet).c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    WIN32_FIND_DATAW data;
    EXPECT_EQ(FindFirstFileW((OnZ(fleet + "/machines") + L"\\*").c_str(), &data),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // A link outside the fleet does not lead into it either.
    COutsideFolder outside;
    const std::string z = outside.Path();
    ASSERT_EQ(symlink(fleet.c_str(), (z + "/fleet").c_str()), 0);
    EXPECT_EQ(winport::fleet::MapPath(OnZ(z + "/fleet/hosts"), host),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(winport::fleet::MapPath(OnZ(z + "/FLEET/machines/new"), host),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(MoveFileW(OnZ(z + "/fleet/hosts").c_str(), OnZ(z + "/hosts").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Neither the fleet's folder nor a folder above it is removed or moved by name.
    std::string leaf;
    for (const std::string& above : {fleet, fleet.substr(0, fleet.rfind('/'))})
    {
        errno = 0;
        EXPECT_EQ(winport::posix::OpenParentOnMachine(above, leaf), -1) << above;
        EXPECT_EQ(errno, EACCES);
    }

    // The rest of the Linux drive works as before, links and all.
    ASSERT_TRUE(CreateDirectoryW(OnZ(z + "/sub").c_str(), nullptr)) << GetLastError();
    FILE* f = _wfopen(OnZ(z + "/sub/ok.txt").c_str(), L"w");
    ASSERT_NE(f, nullptr) << GetLastError();
    fclose(f);
    ASSERT_EQ(symlink((z + "/sub").c_str(), (z + "/alias").c_str()), 0);
    EXPECT_NE(GetFileAttributesW(OnZ(z + "/ALIAS/ok.txt").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(MoveFileW(OnZ(z + "/alias/ok.txt").c_str(), OnZ(z + "/alias/moved.txt").c_str()));
    EXPECT_EQ(access((z + "/sub/moved.txt").c_str(), F_OK), 0);
    EXPECT_TRUE(DeleteFileW(OnZ(z + "/sub/moved.txt").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(OnZ(z + "/sub").c_str()));
}

TEST(WinPathSafety, LinksAreRefusedWhenTheFileIsOpened)
{
    COutsideFolder outside;
    const std::string z = outside.Path();
    testsupport::WriteHostFile(z + "/secret.txt", "outside");
    const std::string planted = DriveC() + "/Planted";
    ASSERT_EQ(mkdir(planted.c_str(), 0755), 0);
    testsupport::WriteHostFile(planted + "/own.txt", "own");
    // Links below the drive's root, planted behind the mapping's back.
    ASSERT_EQ(symlink(z.c_str(), (planted + "/away").c_str()), 0);
    ASSERT_EQ(symlink((z + "/secret.txt").c_str(), (planted + "/file").c_str()), 0);
    ASSERT_EQ(symlink((DriveC() + "/Windows").c_str(), (planted + "/inside").c_str()), 0);
    // Links on the Linux drive into the machine's drive.
    ASSERT_EQ(symlink(DriveC().c_str(), (z + "/drive").c_str()), 0);
    ASSERT_EQ(symlink((planted + "/own.txt").c_str(), (z + "/own").c_str()), 0);
    ASSERT_EQ(symlink((planted + "/ghost.txt").c_str(), (z + "/ghost").c_str()), 0);

    BothWaysOfOpening(
        [&]
        {
            int fd = winport::posix::OpenOnMachine(planted + "/own.txt", O_RDONLY);
            EXPECT_GE(fd, 0);
            close(fd);
            const std::pair<std::string, int> refused[] = {
                {planted + "/away/secret.txt", O_RDWR},
                {planted + "/away/new.txt", O_WRONLY | O_CREAT},
                {planted + "/file", O_WRONLY | O_TRUNC},
                {planted + "/inside/Temp", O_RDONLY | O_DIRECTORY},
                {planted + "/file", O_PATH},
                {z + "/drive/Planted/own.txt", O_RDWR | O_TRUNC},
                {z + "/drive/Planted/made.txt", O_WRONLY | O_CREAT},
                {z + "/own", O_WRONLY | O_TRUNC},
                {z + "/ghost", O_WRONLY | O_CREAT},
                {z + "/drive", O_PATH},
            };
            for (const auto& [path, flags] : refused)
            {
                errno = 0;
                int opened = winport::posix::OpenOnMachine(path, flags, 0644);
                EXPECT_EQ(opened, -1) << path;
                if (opened >= 0)
                    close(opened);
                else if (path != z + "/ghost") // a dangling link is never created through
                {
                    EXPECT_EQ(errno, EACCES) << path;
                }
            }
            EXPECT_EQ(testsupport::ReadHostFile(z + "/secret.txt"), "outside");
            EXPECT_EQ(testsupport::ReadHostFile(planted + "/own.txt"), "own");
            EXPECT_NE(access((z + "/new.txt").c_str(), F_OK), 0);
            EXPECT_NE(access((planted + "/made.txt").c_str(), F_OK), 0);
            EXPECT_NE(access((planted + "/ghost.txt").c_str(), F_OK), 0);
        });
}

TEST(WinPathSafety, AFolderSwappedForALinkNeverLeadsOffTheMachine)
{
    COutsideFolder outside;
    const std::string z = outside.Path();
    testsupport::WriteHostFile(z + "/f.txt", "outside");
    const std::string race = DriveC() + "/Race";
    ASSERT_EQ(mkdir(race.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((race + "/d").c_str(), 0755), 0);
    testsupport::WriteHostFile(race + "/d/f.txt", "inside");
    ASSERT_EQ(mkdir((z + "/zd").c_str(), 0755), 0);
    testsupport::WriteHostFile(z + "/zd/f.txt", "linux");

    // One thread swaps a folder for a link and back while this one opens a file through it,
    // for reading and for appending: the file beyond the link must never be reached.
    auto run = [](const std::string& folder, const std::string& target, const std::wstring& file,
                  const std::string& forbidden)
    {
        std::atomic<bool> stop{false};
        std::thread swapper(
            [&]
            {
                const std::string aside = folder + ".aside";
                while (!stop.load())
                {
                    rename(folder.c_str(), aside.c_str());
                    symlink(target.c_str(), folder.c_str());
                    unlink(folder.c_str());
                    rename(aside.c_str(), folder.c_str());
                }
            });
        int opened = 0, escaped = 0;
        for (int i = 0; i < 3000; ++i)
        {
            FILE* f = _wfopen(file.c_str(), i % 2 ? L"a" : L"r");
            if (f == nullptr)
                continue;
            ++opened;
            char text[32] = {};
            if (i % 2 == 0 && fgets(text, sizeof text, f) != nullptr &&
                std::string(text).rfind(forbidden, 0) == 0)
                ++escaped;
            if (i % 2)
                fputs("+", f);
            fclose(f);
        }
        stop.store(true);
        swapper.join();
        EXPECT_GT(opened, 0);
        EXPECT_EQ(escaped, 0);
    };
    BothWaysOfOpening(
        [&]
        {
            run(race + "/d", z, L"C:\\Race\\d\\f.txt", "outside");
            EXPECT_EQ(testsupport::ReadHostFile(z + "/f.txt"), "outside");
            // On Z: the link may be followed, but never into the fleet.
            const std::string before = testsupport::ReadHostFile(race + "/d/f.txt");
            run(z + "/zd", race + "/d", OnZ(z + "/zd/f.txt"), "inside");
            EXPECT_EQ(testsupport::ReadHostFile(race + "/d/f.txt"), before);
        });
}
