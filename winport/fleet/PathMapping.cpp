// Linux only: placing Windows paths of a machine on its folder, and Linux paths back.
#include "winport/WinMachine.h"

#include "winport/WinBase.h"
#include "winport/WinString.h"
#include "winport/fleet/BeneathOpen.h"
#include "winport/fleet/Network.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h> // struct dirent64
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace winport::fleet
{
namespace
{

bool IsAscii(const std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Without regard to case, as the file system compares: for names of ASCII letters only, byte
// by byte, since no other character folds to one of them.
bool AsciiNamesEqual(const std::string_view a, const std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y)
                                              {
                                                  return x == y ||
                                                         (x >= 'a' && x <= 'z' && x - 32 == y) ||
                                                         (x >= 'A' && x <= 'Z' && x + 32 == y);
                                              });
}

// Whether an entry's name is a wanted one without regard to case.
class CNameMatcher
{
public:
    explicit CNameMatcher(const std::string& name)
        : m_Name(name), m_Wanted(FromUtf8(name)), m_bAscii(IsAscii(name))
    {
    }
    bool Matches(const char* entry) const
    {
        std::string_view entryName(entry);
        return m_bAscii && IsAscii(entryName) ? AsciiNamesEqual(entryName, m_Name)
                                              : NamesEqual(FromUtf8(entry), m_Wanted);
    }

private:
    std::string m_Name;
    std::wstring m_Wanted;
    bool m_bAscii;
};

// A folder opened to look for names in it: readable when it may be, so that a name missing
// as spelled is matched in its listing without another open; else opened for lookups only.
struct SLookupFolder
{
    posix::CFd fd;
    bool readable = false;
};

bool OpenLookupFolder(const std::string& path, SLookupFolder& folder)
{
    folder.readable = true;
    folder.fd.Reset(posix::OpenOnMachine(path, O_RDONLY | O_DIRECTORY));
    if (folder.fd.Get() < 0 && errno == EACCES)
    {
        folder.readable = false;
        folder.fd.Reset(posix::OpenOnMachine(path, O_PATH | O_DIRECTORY));
    }
    return folder.fd.Get() >= 0;
}

// Finds the entry of a folder opened already whose name matches without regard to case,
// reading its entries straight from the kernel: from a readable folder's descriptor, which must
// not have been read yet, else from one opened here.
bool ScanFolderAt(const SLookupFolder& folder, const std::string& name, std::string& found)
{
    posix::CFd opened(
        folder.readable ? -1 : openat(folder.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    int listing = folder.readable ? folder.fd.Get() : opened.Get();
    if (listing < 0)
        return false;
    CNameMatcher matcher(name);
    // Not zeroed: the kernel writes what is read, and a short-lived program would fault in
    // every page of it.
    constexpr size_t kBufferSize = 32768;
    std::unique_ptr<char[]> buffer(new char[kBufferSize]);
    for (;;)
    {
        ssize_t n = getdents64(listing, buffer.get(), kBufferSize);
        if (n <= 0)
            return false;
        for (ssize_t at = 0; at < n;)
        {
            const auto* entry = reinterpret_cast<const struct dirent64*>(buffer.get() + at);
            at += entry->d_reclen;
            if (matcher.Matches(entry->d_name))
            {
                found = entry->d_name;
                return true;
            }
        }
    }
}

// The last name of a path in its opened folder: as spelled when it is there, else the entry
// that matches it without regard to case, else as spelled (a name to be made); exists and st
// tell what is there (links not followed). missing: the caller saw already that the name is
// not there as spelled. Returns 0, ELOOP when that is a link, or the error of a look at the
// name that failed otherwise (found is then the name as spelled).
int FindInFolder(const SLookupFolder& folder, const std::string& name, bool missing,
                 std::string& found, bool& exists, struct stat& st)
{
    found = name;
    exists = !missing && fstatat(folder.fd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!missing && !exists && errno != ENOENT)
        return errno;
    if (!exists && ScanFolderAt(folder, name, found))
        exists = fstatat(folder.fd.Get(), found.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    return exists && S_ISLNK(st.st_mode) ? ELOOP : 0;
}

// Finds the entry of dir whose name matches without regard to case.
bool FindEntry(const std::string& dir, const std::string& name, std::string& found)
{
    std::string exact = dir + "/" + name;
    struct stat st;
    if (lstat(exact.c_str(), &st) == 0)
    {
        found = name;
        return true;
    }
    if (errno != ENOENT)
        return false;
    SLookupFolder folder;
    folder.readable = true;
    folder.fd.Reset(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.fd.Get() >= 0 && ScanFolderAt(folder, name, found);
}

} // namespace

DWORD MapOnMachine(const std::string& machineFolder, bool hasLinuxDrive, wchar_t drive,
                   const std::vector<std::wstring>& components, std::string& hostPath)
{
    char letter = static_cast<char>(tolower(static_cast<unsigned char>(drive)));
    std::string root = machineFolder + "/drive/" + std::string(1, letter);
    struct stat st;
    bool linuxDrive = letter == 'z' && hasLinuxDrive;
    if (letter == 'z' && !hasLinuxDrive)
        return ERROR_PATH_NOT_FOUND;
    if (!linuxDrive && !components.empty())
    {
        // The common case in one open: the path is there as spelled, with no link below the
        // drive's root (which the open refuses, the last name's too). Otherwise the names are
        // matched one by one.
        std::string exact = root;
        for (const std::wstring& component : components)
            exact += "/" + ToUtf8(component);
        int fd = posix::TryOpenOnMachine(exact, O_PATH);
        if (fd >= 0)
        {
            close(fd);
            hostPath = exact;
            return ERROR_SUCCESS;
        }
        // A name that is not there as spelled, in a folder that is: only the last name is
        // matched, in the folder as opened (which finds a drive's root made anew).
        std::string name = ToUtf8(components.back());
        std::string parent = exact.substr(0, exact.size() - name.size() - 1);
        SLookupFolder folder;
        if (errno == ENOENT && OpenLookupFolder(parent, folder))
        {
            std::string found;
            bool exists;
            if (FindInFolder(folder, name, true, found, exists, st) == ELOOP)
                return ERROR_ACCESS_DENIED;
            hostPath = parent + "/" + found;
            return ERROR_SUCCESS;
        }
    }
    if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return ERROR_PATH_NOT_FOUND;
    std::string path = linuxDrive ? std::string() : root;
    bool exists = true;
    for (const std::wstring& component : components)
    {
        std::string name = ToUtf8(component);
        std::string found;
        if (exists && FindEntry(path.empty() ? "/" : path, name, found))
        {
            path += "/" + found;
            if (!linuxDrive && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                return ERROR_ACCESS_DENIED; // a link could lead off the machine
        }
        else
        {
            exists = false;
            path += "/" + name;
        }
    }
    if (path.empty())
        path = "/";
    // The Linux drive reaches everything but the fleet itself: its machines' drives and
    // registries are reached only as Windows paths of their own, with credentials.
    if (linuxDrive && posix::IsInFleetFolder(path))
        return ERROR_ACCESS_DENIED;
    hostPath = path;
    return ERROR_SUCCESS;
}

namespace
{

DWORD ParseForMachine(const std::wstring& windowsPath, SParsedPath& parsed)
{
    // Only a relative path needs the current folder.
    bool absolute =
        (windowsPath.size() >= 3 && windowsPath[1] == L':' &&
         (windowsPath[2] == L'\\' || windowsPath[2] == L'/')) ||
        (windowsPath.size() >= 2 && (windowsPath[0] == L'\\' || windowsPath[0] == L'/') &&
         (windowsPath[1] == L'\\' || windowsPath[1] == L'/'));
    wchar_t current[MAX_PATH];
    DWORD n = absolute ? 0 : GetCurrentDirectoryW(MAX_PATH, current);
    return ParseWindowsPath(windowsPath, n > 0 && n < MAX_PATH ? current : L"", parsed);
}

} // namespace

DWORD MapPath(const std::wstring& windowsPath, std::string& hostPath)
{
    const SMachine& machine = CurrentMachine();
    SParsedPath parsed;
    DWORD rc = ParseForMachine(windowsPath, parsed);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (parsed.kind == SParsedPath::EKind::Unc)
        return posix::MapUncPath(parsed, hostPath);
    return MapOnMachine(machine.folder, machine.hasLinuxDrive, parsed.drive, parsed.components,
                        hostPath);
}

std::wstring HostPathToWindows(const std::string& hostPath)
{
    const SMachine& machine = CurrentMachine();
    std::string drives = machine.folder + "/drive/";
    auto toBackslashes = [](std::string text)
    {
        for (char& c : text)
        {
            if (c == '/')
                c = '\\';
        }
        return FromUtf8(text);
    };
    if (hostPath.compare(0, drives.size(), drives) == 0 && hostPath.size() > drives.size())
    {
        char letter = hostPath[drives.size()];
        std::string rest = hostPath.substr(drives.size() + 1);
        if (letter != 'z' && (rest.empty() || rest[0] == '/'))
        {
            std::wstring result(1,
                                static_cast<wchar_t>(toupper(static_cast<unsigned char>(letter))));
            result += L":";
            result += rest.empty() ? L"\\" : toBackslashes(rest);
            return result;
        }
    }
    if (machine.hasLinuxDrive)
        return L"Z:" + toBackslashes(hostPath);
    return L"\\\\?\\unix" + toBackslashes(hostPath);
}

} // namespace winport::fleet

namespace winport::posix
{

bool MapEntryOnDrive(const wchar_t* path, SDriveEntry& entry)
{
    using fleet::SParsedPath;
    const fleet::SMachine& machine = fleet::CurrentMachine();
    SParsedPath parsed;
    if (path == nullptr || *path == L'\0' ||
        fleet::ParseForMachine(path, parsed) != ERROR_SUCCESS ||
        parsed.kind != SParsedPath::EKind::Drive || parsed.components.empty())
        return false;
    char letter = static_cast<char>(tolower(static_cast<unsigned char>(parsed.drive)));
    if (letter == 'z')
        return false; // the Linux drive follows links
    std::string parent = machine.folder + "/drive/" + std::string(1, letter);
    for (size_t i = 0; i + 1 < parsed.components.size(); ++i)
        parent += "/" + ToUtf8(parsed.components[i]);
    std::string name = ToUtf8(parsed.components.back());
    if (name == "." || name == "..")
        return false;
    fleet::SLookupFolder folder;
    if (!fleet::OpenLookupFolder(parent, folder))
        return false;
    if (fleet::FindInFolder(folder, name, false, entry.name, entry.exists, entry.st) != 0)
        return false; // a link, or a failed look: the general way gives its error
    entry.folder.Reset(folder.fd.Release());
    entry.host = parent + "/" + entry.name;
    return true;
}

} // namespace winport::posix
