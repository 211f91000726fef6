// Linux only: copying, moving, attributes, finding files, the files-in-use rule and
// initialisation files.
#include "winport/WinFile.h"

#include "winport/NameExpression.h"
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/fleet/BeneathOpen.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace winport::posix
{

bool MapForCall(const wchar_t* path, std::string& host)
{
    if (path == nullptr || *path == L'\0')
    {
        SetLastError(path == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
        return false;
    }
    DWORD rc = fleet::MapPath(path, host);
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return false;
    }
    return true;
}

DWORD ErrnoForPath(int error, const std::string& host)
{
    if (error != ENOENT)
        return ErrnoToWin32(error);
    std::string parent = host.substr(0, host.find_last_of('/'));
    struct stat st;
    if (!parent.empty() && stat(parent.c_str(), &st) != 0)
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

namespace
{
// Whether a Linux process runs on this machine: only those can hold its files. The answer is kept
// per process (by its id and the time its /proc entry was made, so a reused id is asked again),
// since reading a process's start environment costs as much as reading its maps.
// An answer younger than a second is taken as it is: a process id is not reused that soon, and
// a look at every process of the host for every file call would cost more than the call.
bool IsMachineProcess(int pid)
{
    struct SKnown
    {
        long long born;
        bool ours;
        std::chrono::steady_clock::time_point checked;
    };
    static std::mutex s_Lock;
    static std::unordered_map<int, SKnown> s_Known;
    auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(s_Lock);
        auto found = s_Known.find(pid);
        if (found != s_Known.end() && now - found->second.checked < std::chrono::seconds(1))
            return found->second.ours;
    }
    struct stat st;
    if (stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0)
        return false;
    long long born = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    {
        std::lock_guard<std::mutex> guard(s_Lock);
        auto found = s_Known.find(pid);
        if (found != s_Known.end() && found->second.born == born)
        {
            found->second.checked = now;
            return found->second.ours;
        }
    }
    bool ours = winport::fleet::IsProcessOfThisMachine(pid);
    std::lock_guard<std::mutex> guard(s_Lock);
    if (s_Known.size() > 65536)
        s_Known.clear();
    s_Known[pid] = {born, ours, now};
    return ours;
}
} // namespace

bool IsLoadedModule(const std::string& host)
{
    return IsLoadedModuleAt(AT_FDCWD, host.c_str());
}

bool IsLoadedModuleAt(int folder, const char* name, const struct stat* known)
{
    struct stat st;
    if (known != nullptr && S_ISREG(known->st_mode))
        st = *known; // a regular file is no link, and what the caller saw
    else if (fstatat(folder, name, &st, 0) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Only a program or library is mapped to run: a file that does not begin as one is nobody's
    // module, and the processes need not be looked at.
    {
        CFd file(openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        char magic[4] = {};
        if (file.Get() >= 0 &&
            (read(file.Get(), magic, sizeof magic) != sizeof magic || memcmp(magic,
                                                                             "\x7f"
                                                                             "ELF",
                                                                             sizeof magic) != 0))
            return false;
    }
    // A mapping of the file reads "... DEV INODE PATH" in a process's maps: look for that text
    // in the whole file at once, and only then at the line's permissions.
    char key[64];
    int keyLength = snprintf(key, sizeof key, " %02x:%02x %llu ", major(st.st_dev),
                             minor(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return false;
    bool loaded = false;
    std::string maps;
    while (!loaded)
    {
        dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        if (!IsMachineProcess(atoi(entry->d_name)))
            continue;
        if (!ReadWholeFile(std::string("/proc/") + entry->d_name + "/maps", maps))
            continue;
        for (size_t at = maps.find(key, 0, static_cast<size_t>(keyLength));
             at != std::string::npos && !loaded;
             at = maps.find(key, at + 1, static_cast<size_t>(keyLength)))
        {
            // address perms offset: the permissions are the line's second field.
            size_t line = maps.rfind('\n', at);
            line = line == std::string::npos ? 0 : line + 1;
            size_t perms = maps.find(' ', line);
            loaded = perms != std::string::npos && perms + 3 < at && maps[perms + 3] == 'x';
        }
    }
    closedir(proc);
    return loaded;
}

} // namespace winport::posix

using winport::posix::CFd;
using winport::posix::ErrnoForPath;
using winport::posix::MapForCall;
using winport::posix::OpenOnMachine;
using winport::posix::OpenParentOnMachine;

namespace
{

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

bool IsReadOnly(const struct stat& st)
{
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

// Copies the bytes of one open file to another, in the kernel where it can.
bool CopyContent(int from, int to)
{
    for (;;)
    {
        ssize_t n = copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n == 0)
            return true;
        if (n > 0)
            continue;
        if (errno == EINTR)
            continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return false;
        break; // fall back to plain reads and writes
    }
    std::vector<char> buffer(1 << 20);
    for (;;)
    {
        ssize_t n = read(from, buffer.data(), buffer.size());
        if (n == 0)
            return true;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (!winport::posix::WriteAll(to, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

// Removes a file by its name in its folder (opened so that it stays on its drive).
void RemoveHostFile(const std::string& host)
{
    std::string name;
    CFd parent(OpenParentOnMachine(host, name));
    if (parent.Get() >= 0)
        unlinkat(parent.Get(), name.c_str(), 0);
}

BOOL CopyHostFile(const std::string& source, const std::string& target, bool failIfExists)
{
    // Not blocking on a pipe: only files are copied.
    CFd in(OpenOnMachine(source, O_RDONLY | O_NONBLOCK | O_NOCTTY));
    struct stat from;
    if (in.Get() < 0 || fstat(in.Get(), &from) != 0)
        return Fail(ErrnoForPath(errno, source));
    if (S_ISDIR(from.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISREG(from.st_mode))
        fcntl(in.Get(), F_SETFL, fcntl(in.Get(), F_GETFL) & ~O_NONBLOCK);
    // The common case in one open: the target is new. Otherwise what is there is looked at
    // before it is overwritten.
    CFd out(OpenOnMachine(target, O_WRONLY | O_CREAT | O_EXCL, 0644));
    if (out.Get() < 0 && errno == EEXIST)
    {
        if (failIfExists)
            return Fail(ERROR_FILE_EXISTS);
        CFd existing(OpenOnMachine(target, O_PATH));
        struct stat to;
        if (existing.Get() >= 0 && fstat(existing.Get(), &to) == 0)
        {
            if (S_ISDIR(to.st_mode) || IsReadOnly(to))
                return Fail(ERROR_ACCESS_DENIED);
            if (from.st_dev == to.st_dev && from.st_ino == to.st_ino)
                return Fail(ERROR_SHARING_VIOLATION); // a file cannot be copied onto itself
            if (winport::posix::IsLoadedModule(target))
                return Fail(ERROR_SHARING_VIOLATION);
        }
        else if (existing.Get() < 0 && errno == EACCES)
            return Fail(ERROR_ACCESS_DENIED);
        out.Reset(OpenOnMachine(target, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    }
    if (out.Get() < 0)
        return Fail(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoForPath(errno, target));
    if (!CopyContent(in.Get(), out.Get()))
    {
        DWORD code = winport::posix::ErrnoToWin32(errno);
        RemoveHostFile(target); // no half-copied file stays behind
        return Fail(code);
    }
    // The copy keeps the source's time and read-only attribute, as Windows does.
    struct timespec times[2] = {from.st_atim, from.st_mtim};
    futimens(out.Get(), times);
    fchmod(out.Get(), from.st_mode & 07777);
    return TRUE;
}

class CFindObject : public winport::posix::CKernelObject
{
public:
    std::vector<WIN32_FIND_DATAW> entries;
    size_t next = 0;
};

void ToFileTime(const struct timespec& t, FILETIME& out)
{
    uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(t.tv_nsec) / 100;
    out.dwLowDateTime = static_cast<DWORD>(ticks);
    out.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

// Describes one entry of an open folder. A link is described by what it leads to, and only
// where a Windows path may follow it (on Z:, not into the fleet); elsewhere it is left out.
bool Describe(int folder, const std::string& host, const char* entry, const std::wstring& name,
              WIN32_FIND_DATAW& data)
{
    struct stat st;
    if (fstatat(folder, entry, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (S_ISLNK(st.st_mode))
    {
        CFd target(OpenOnMachine((host == "/" ? std::string() : host) + "/" + entry, O_PATH));
        if (target.Get() < 0 || fstat(target.Get(), &st) != 0)
            return false;
    }
    memset(&data, 0, sizeof data);
    data.dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!S_ISDIR(st.st_mode) && IsReadOnly(st))
        data.dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    ToFileTime(st.st_ctim, data.ftCreationTime);
    ToFileTime(st.st_atim, data.ftLastAccessTime);
    ToFileTime(st.st_mtim, data.ftLastWriteTime);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data.nFileSizeLow = static_cast<DWORD>(size);
    wcsncpy(data.cFileName, name.c_str(), MAX_PATH - 1);
    return true;
}

// The last name of a Windows path as the caller spelled it (trailing dots and blanks dropped,
// as Win32 drops them); fallback when the path has none.
std::string SpelledName(LPCWSTR path, const std::string& fallback)
{
    wchar_t current[MAX_PATH];
    DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
    winport::fleet::SParsedPath parsed;
    if (winport::fleet::ParseWindowsPath(path, n > 0 && n < MAX_PATH ? current : L"", parsed) !=
            ERROR_SUCCESS ||
        parsed.components.empty())
        return fallback;
    return winport::ToUtf8(parsed.components.back());
}

// Adds a pending rename (or delete, with an empty target) for the next start of the machine.
BOOL ScheduleAtReboot(LPCWSTR existing, LPCWSTR target)
{
    HKEY key = nullptr;
    LSTATUS rc =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                        0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(rc));
    std::wstring items;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) ==
            ERROR_SUCCESS &&
        type == REG_MULTI_SZ && size > 0)
    {
        items.resize(size / sizeof(wchar_t));
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type,
                         reinterpret_cast<BYTE*>(items.data()), &size);
        while (!items.empty() && items.back() == L'\0')
            items.pop_back();
        items.push_back(L'\0');
    }
    items += L"\\??\\" + std::wstring(existing) + L'\0';
    items += (target != nullptr && *target != L'\0' ? L"\\??\\" + std::wstring(target)
                                                    : std::wstring()) +
             L'\0';
    items.push_back(L'\0');
    rc = RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                        reinterpret_cast<const BYTE*>(items.data()),
                        static_cast<DWORD>(items.size() * sizeof(wchar_t)));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

} // namespace

BOOL CopyFileW(LPCWSTR existing, LPCWSTR target, BOOL failIfExists)
{
    std::string source, destination;
    if (!MapForCall(existing, source) || !MapForCall(target, destination))
        return FALSE;
    return CopyHostFile(source, destination, failIfExists != FALSE);
}

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target)
{
    return MoveFileExW(existing, target, MOVEFILE_COPY_ALLOWED);
}

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags)
{
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT)
        return existing != nullptr ? ScheduleAtReboot(existing, target)
                                   : Fail(ERROR_INVALID_PARAMETER);
    std::string source, destination;
    if (!MapForCall(existing, source) || !MapForCall(target, destination))
        return FALSE;
    // Both names are used in their folders, opened so that they stay on their drives.
    std::string sourceName, targetName;
    CFd sourceFolder(OpenParentOnMachine(source, sourceName));
    if (sourceFolder.Get() < 0)
        return Fail(ErrnoForPath(errno, source));
    CFd targetFolder(OpenParentOnMachine(destination, targetName));
    if (targetFolder.Get() < 0)
        return Fail(ErrnoForPath(errno, destination));
    struct stat from, to;
    if (fstatat(sourceFolder.Get(), sourceName.c_str(), &from, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(ErrnoForPath(errno, source));
    if (destination == source)
    {
        // The target found the source itself without regard to case: the rename changes the
        // letter case of the name only, and the name takes the target's spelling.
        targetName = SpelledName(target, targetName);
    }
    else if (fstatat(targetFolder.Get(), targetName.c_str(), &to, AT_SYMLINK_NOFOLLOW) == 0)
    {
        bool same = from.st_dev == to.st_dev && from.st_ino == to.st_ino;
        if (!same)
        {
            if (!(flags & MOVEFILE_REPLACE_EXISTING))
                return Fail(ERROR_ALREADY_EXISTS);
            if (S_ISDIR(to.st_mode) || S_ISDIR(from.st_mode) || IsReadOnly(to))
                return Fail(ERROR_ACCESS_DENIED);
            if (winport::posix::IsLoadedModule(destination))
                return Fail(ERROR_SHARING_VIOLATION);
        }
    }
    // Renaming a loaded module is allowed: that is how a busy file is replaced.
    int renamed =
        renameat(sourceFolder.Get(), sourceName.c_str(), targetFolder.Get(), targetName.c_str());
    if (renamed == 0)
        return TRUE;
    if (errno != EXDEV)
        return Fail(ErrnoForPath(errno, destination));
    if (!(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(from.st_mode))
        return Fail(ERROR_NOT_SAME_DEVICE);
    if (!CopyHostFile(source, destination, false))
        return FALSE;
    if (unlinkat(sourceFolder.Get(), sourceName.c_str(), 0) != 0)
        return Fail(ErrnoForPath(errno, source));
    return TRUE;
}

BOOL CreateHardLinkW(LPCWSTR fileName, LPCWSTR existingFileName, LPSECURITY_ATTRIBUTES)
{
    std::string target, source;
    if (fileName == nullptr || existingFileName == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // Both on the drives of this machine: each mapped in one open.
    winport::posix::SDriveEntry existing, created;
    if (winport::posix::MapEntryOnDrive(existingFileName, existing) &&
        winport::posix::MapEntryOnDrive(fileName, created))
    {
        if (!existing.exists)
            return Fail(ERROR_FILE_NOT_FOUND);
        if (!S_ISREG(existing.st.st_mode))
            return Fail(ERROR_ACCESS_DENIED);
        if (linkat(existing.folder.Get(), existing.name.c_str(), created.folder.Get(),
                   created.name.c_str(), 0) == 0)
            return TRUE;
        return Fail(errno == EEXIST  ? ERROR_ALREADY_EXISTS
                    : errno == EXDEV ? ERROR_NOT_SAME_DEVICE
                                     : ErrnoForPath(errno, created.host));
    }
    if (!MapForCall(existingFileName, source) || !MapForCall(fileName, target))
        return FALSE;
    std::string sourceName, targetName;
    CFd sourceFolder(OpenParentOnMachine(source, sourceName));
    if (sourceFolder.Get() < 0)
        return Fail(ErrnoForPath(errno, source));
    CFd targetFolder(OpenParentOnMachine(target, targetName));
    if (targetFolder.Get() < 0)
        return Fail(ErrnoForPath(errno, target));
    struct stat from;
    if (fstatat(sourceFolder.Get(), sourceName.c_str(), &from, AT_SYMLINK_NOFOLLOW) != 0)
        return Fail(ErrnoForPath(errno, source));
    if (!S_ISREG(from.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    if (linkat(sourceFolder.Get(), sourceName.c_str(), targetFolder.Get(), targetName.c_str(), 0) ==
        0)
        return TRUE;
    return Fail(errno == EEXIST  ? ERROR_ALREADY_EXISTS
                : errno == EXDEV ? ERROR_NOT_SAME_DEVICE
                                 : ErrnoForPath(errno, target));
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    std::string host;
    if (!MapForCall(path, host))
        return FALSE;
    CFd fd(OpenOnMachine(host, O_PATH));
    struct stat st;
    if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0)
        return Fail(ErrnoForPath(errno, host));
    if (S_ISDIR(st.st_mode))
        return TRUE; // a folder's read-only flag does not guard its files on Windows either
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY)
               ? mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)
               : mode | S_IWUSR;
    // Through the descriptor, so that the file changed is the one found.
    std::string self = "/proc/self/fd/" + std::to_string(fd.Get());
    return chmod(self.c_str(), mode) == 0 ? TRUE : Fail(ErrnoForPath(errno, host));
}

HANDLE FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data)
{
    if (pattern == nullptr || data == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring text = pattern;
    size_t slash = text.find_last_of(L"\\/");
    std::wstring folder = slash == std::wstring::npos ? L"." : text.substr(0, slash + 1);
    std::wstring name = slash == std::wstring::npos ? text : text.substr(slash + 1);
    if (name.empty())
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string host;
    if (!MapForCall(folder.c_str(), host))
        return INVALID_HANDLE_VALUE;
    int fd = OpenOnMachine(host, O_RDONLY | O_DIRECTORY);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr)
    {
        int error = errno;
        if (fd >= 0)
            close(fd);
        SetLastError(error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                         : winport::posix::ErrnoToWin32(error));
        return INVALID_HANDLE_VALUE;
    }
    // The pattern is matched as the file system matches what FindFirstFileW hands it.
    const std::wstring expression = winport::DosExpression(name);
    auto found = std::make_shared<CFindObject>();
    winport::fleet::SParsedPath parsed;
    bool root = winport::fleet::ParseWindowsPath(folder, L"C:\\", parsed) == ERROR_SUCCESS &&
                parsed.kind == winport::fleet::SParsedPath::EKind::Drive &&
                parsed.components.empty();
    while (dirent* entry = readdir(dir))
    {
        std::wstring entryName = winport::FromUtf8(entry->d_name);
        bool dots = entryName == L"." || entryName == L"..";
        if ((dots && root) || entryName.size() >= MAX_PATH ||
            !winport::IsNameInExpression(expression, entryName))
            continue;
        WIN32_FIND_DATAW entryData;
        if (Describe(dirfd(dir), host, entry->d_name, entryName, entryData))
            found->entries.push_back(entryData);
    }
    closedir(dir);
    std::sort(found->entries.begin(), found->entries.end(),
              [](const auto& a, const auto& b)
              {
                  bool da = wcscmp(a.cFileName, L".") == 0 || wcscmp(a.cFileName, L"..") == 0;
                  bool db = wcscmp(b.cFileName, L".") == 0 || wcscmp(b.cFileName, L"..") == 0;
                  return da != db ? da : wcscmp(a.cFileName, b.cFileName) < 0;
              });
    if (found->entries.empty())
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    *data = found->entries[found->next++];
    return winport::posix::InsertHandle(found);
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data)
{
    auto found = std::dynamic_pointer_cast<CFindObject>(winport::posix::LookupHandle(find));
    if (!found || data == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (found->next >= found->entries.size())
        return Fail(ERROR_NO_MORE_FILES);
    *data = found->entries[found->next++];
    return TRUE;
}

BOOL FindClose(HANDLE find)
{
    auto found = std::dynamic_pointer_cast<CFindObject>(winport::posix::LookupHandle(find));
    if (!found || !winport::posix::RemoveHandle(find))
        return Fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

// ---- Initialisation files --------------------------------------------------------------------

namespace
{

struct SIniFile
{
    bool utf16 = false;
    std::vector<std::wstring> lines;
};

std::wstring IniPath(LPCWSTR path)
{
    // A bare file name lives in the Windows folder.
    std::wstring text = path;
    if (text.find_first_of(L"\\/") == std::wstring::npos)
    {
        wchar_t windows[MAX_PATH];
        DWORD n = ExpandEnvironmentStringsW(L"%SystemRoot%", windows, MAX_PATH);
        return (n > 0 && n <= MAX_PATH ? std::wstring(windows) : L"C:\\Windows") + L"\\" + text;
    }
    return text;
}

bool ReadIni(const std::string& host, SIniFile& file)
{
    CFd in(OpenOnMachine(host, O_RDONLY));
    if (in.Get() < 0)
        return false;
    std::string bytes;
    char chunk[16384];
    for (;;)
    {
        ssize_t n = read(in.Get(), chunk, sizeof chunk);
        if (n == 0)
            break;
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.append(chunk, static_cast<size_t>(n));
    }
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE)
    {
        file.utf16 = true;
        std::u16string units((bytes.size() - 2) / 2, u'\0');
        memcpy(units.data(), bytes.data() + 2, units.size() * 2);
        text = winport::FromUtf16(units.data(), units.size());
    }
    else if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text = winport::FromUtf8(bytes.substr(3));
    else if (!bytes.empty())
    {
        text.resize(bytes.size());
        int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                    text.data(), static_cast<int>(text.size()));
        text.resize(static_cast<size_t>(std::max(n, 0)));
    }
    size_t pos = 0;
    while (pos < text.size())
    {
        size_t end = text.find(L'\n', pos);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        file.lines.push_back(line);
        pos = end + 1;
    }
    return true;
}

std::wstring Trim(const std::wstring& text)
{
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos)
        return L"";
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// "[name]" gives name; other lines give empty.
bool SectionName(const std::wstring& line, std::wstring& name)
{
    std::wstring t = Trim(line);
    if (t.size() < 2 || t.front() != L'[')
        return false;
    size_t close = t.find(L']');
    if (close == std::wstring::npos)
        return false;
    name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyOf(const std::wstring& line, std::wstring& key, std::wstring& value)
{
    std::wstring t = Trim(line);
    if (t.empty() || t[0] == L';')
        return false;
    size_t equal = t.find(L'=');
    if (equal == std::wstring::npos)
        return false;
    key = Trim(t.substr(0, equal));
    value = Trim(t.substr(equal + 1));
    return true;
}

// Copies a value into buffer as the profile functions do: cut to size - 1 characters.
DWORD CopyProfileText(const std::wstring& text, LPWSTR buffer, DWORD size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    size_t n = std::min(text.size(), static_cast<size_t>(size) - 1);
    wmemcpy(buffer, text.c_str(), n);
    buffer[n] = L'\0';
    return static_cast<DWORD>(n);
}

// Copies a list of names, each with its terminator, as the profile functions do: one more
// terminator ends the list, and the count returned takes in every name's terminator but not
// that last one. A list that does not fit with room to spare is cut so that the buffer ends
// in two terminators, and size - 2 is returned.
DWORD CopyProfileList(const std::wstring& items, LPWSTR buffer, DWORD size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    if (size == 1)
    {
        buffer[0] = L'\0';
        return 0;
    }
    if (items.size() + 2 <= size)
    {
        wmemcpy(buffer, items.data(), items.size());
        buffer[items.size()] = L'\0';
        if (items.empty())
            buffer[1] = L'\0';
        return static_cast<DWORD>(items.size());
    }
    wmemcpy(buffer, items.data(), size - 2);
    buffer[size - 2] = L'\0';
    buffer[size - 1] = L'\0';
    return size - 2;
}

} // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR buffer,
                               DWORD size, LPCWSTR path)
{
    std::wstring def = fallback != nullptr ? fallback : L"";
    while (!def.empty() && def.back() == L' ')
        def.pop_back();
    SIniFile file;
    std::string host;
    bool read = path != nullptr && MapForCall(IniPath(path).c_str(), host) && ReadIni(host, file);
    std::wstring names; // for the list forms: items each ended by a NUL
    std::wstring current;
    bool inSection = false;
    for (const std::wstring& line : file.lines)
    {
        std::wstring name;
        if (SectionName(line, name))
        {
            inSection = section != nullptr && winport::fleet::NamesEqual(name, section);
            if (section == nullptr)
                names += name + L'\0';
            continue;
        }
        std::wstring k, v;
        if (section == nullptr || !inSection || !KeyOf(line, k, v))
            continue;
        if (key == nullptr)
            names += k + L'\0';
        else if (winport::fleet::NamesEqual(k, key))
        {
            if (v.size() >= 2 && ((v.front() == L'"' && v.back() == L'"') ||
                                  (v.front() == L'\'' && v.back() == L'\'')))
                v = v.substr(1, v.size() - 2);
            SetLastError(ERROR_SUCCESS);
            return CopyProfileText(v, buffer, size);
        }
    }
    if (section == nullptr || key == nullptr)
        return CopyProfileList(names, buffer, size);
    SetLastError(read ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return CopyProfileText(def, buffer, size);
}

UINT GetPrivateProfileIntW(LPCWSTR section, LPCWSTR key, INT fallback, LPCWSTR path)
{
    wchar_t text[64];
    if (GetPrivateProfileStringW(section, key, L"", text, 64, path) == 0)
        return static_cast<UINT>(fallback);
    return static_cast<UINT>(_wtoi(text));
}

BOOL WritePrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR value, LPCWSTR path)
{
    if (section == nullptr || path == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    std::string host;
    if (!MapForCall(IniPath(path).c_str(), host))
        return FALSE;
    // The new content is moved over the old file, which would get past its read-only flag.
    {
        CFd existingFile(OpenOnMachine(host, O_PATH));
        struct stat existing;
        if (existingFile.Get() >= 0 && fstat(existingFile.Get(), &existing) == 0 &&
            (S_ISDIR(existing.st_mode) || IsReadOnly(existing)))
            return Fail(ERROR_ACCESS_DENIED);
        if (existingFile.Get() < 0 && errno == EACCES)
            return Fail(ERROR_ACCESS_DENIED);
    }
    SIniFile file;
    ReadIni(host, file);
    // Where the section is, where its last key line is, and the key's own line.
    long start = -1, last = -1, found = -1, end = static_cast<long>(file.lines.size());
    for (long i = 0; i < static_cast<long>(file.lines.size()); ++i)
    {
        std::wstring name;
        if (SectionName(file.lines[static_cast<size_t>(i)], name))
        {
            if (start >= 0)
            {
                end = i;
                break;
            }
            if (winport::fleet::NamesEqual(name, section))
                start = last = i;
            continue;
        }
        std::wstring k, v;
        if (start >= 0 && KeyOf(file.lines[static_cast<size_t>(i)], k, v))
        {
            last = i;
            if (key != nullptr && found < 0 && winport::fleet::NamesEqual(k, key))
                found = i;
        }
    }
    auto& lines = file.lines;
    if (key == nullptr)
    {
        if (start >= 0)
            lines.erase(lines.begin() + start, lines.begin() + end);
    }
    else if (value == nullptr)
    {
        if (found >= 0)
            lines.erase(lines.begin() + found);
    }
    else if (found >= 0)
        lines[static_cast<size_t>(found)] = std::wstring(key) + L"=" + value;
    else if (start >= 0)
        lines.insert(lines.begin() + last + 1, std::wstring(key) + L"=" + value);
    else
    {
        while (!lines.empty() && Trim(lines.back()).empty())
            lines.pop_back();
        lines.push_back(L"[" + std::wstring(section) + L"]");
        lines.push_back(std::wstring(key) + L"=" + value);
    }
    std::wstring text;
    for (const std::wstring& line : lines)
        text += line + L"\r\n";
    std::string bytes;
    if (file.utf16)
    {
        std::u16string units = winport::ToUtf16(text);
        bytes =
            "\xFF\xFE" + std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
    }
    else if (!text.empty())
    {
        int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr,
                                    0, nullptr, nullptr);
        bytes.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n,
                            nullptr, nullptr);
    }
    // Written aside and moved over, so that a failure leaves the old file whole; each writer
    // of the process has a name of its own aside.
    static std::atomic<unsigned> s_Writes{0};
    std::string temporary =
        host + ".tmp" + std::to_string(getpid()) + "." + std::to_string(s_Writes++);
    CFd out(OpenOnMachine(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (out.Get() < 0)
        return Fail(ErrnoForPath(errno, host));
    std::string temporaryName, name;
    CFd temporaryFolder(OpenParentOnMachine(temporary, temporaryName));
    CFd folder(OpenParentOnMachine(host, name));
    if (temporaryFolder.Get() < 0 || folder.Get() < 0 ||
        !winport::posix::WriteAll(out.Get(), bytes.data(), bytes.size()) ||
        renameat(temporaryFolder.Get(), temporaryName.c_str(), folder.Get(), name.c_str()) != 0)
    {
        DWORD code = winport::posix::ErrnoToWin32(errno);
        RemoveHostFile(temporary);
        return Fail(code);
    }
    return TRUE;
}

UINT GetTempFileNameW(LPCWSTR pathName, LPCWSTR prefix, UINT unique, LPWSTR tempFileName)
{
    if (pathName == nullptr || tempFileName == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring folder = pathName;
    if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/'))
        folder.push_back(L'\\');
    // Room for the folder, three prefix characters, four digits, ".tmp" and the terminator.
    if (folder.size() > MAX_PATH - 12)
    {
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return 0;
    }
    // The folder must exist, whether or not a file is made in it.
    DWORD attributes = GetFileAttributesW(pathName);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    {
        SetLastError(ERROR_DIRECTORY);
        return 0;
    }
    std::wstring start = prefix != nullptr ? std::wstring(prefix).substr(0, 3) : std::wstring();
    // Only the low 16 bits of the number make the name, in upper-case hexadecimal.
    auto compose = [&](UINT number)
    { return folder + start + winport::Format(L"%X", number & 0xFFFF) + L".tmp"; };
    if (unique != 0)
    {
        std::wstring name = compose(unique);
        wmemcpy(tempFileName, name.c_str(), name.size() + 1);
        return unique;
    }
    UINT first = (GetTickCount() ^ static_cast<UINT>(getpid() << 4)) & 0xFFFF;
    for (UINT k = 0; k < 0x10000; ++k)
    {
        UINT number = ((first + k) & 0xFFFF);
        if (number == 0)
            continue;
        std::wstring name = compose(number);
        std::string host;
        if (DWORD rc = winport::fleet::MapPath(name, host); rc != ERROR_SUCCESS)
        {
            SetLastError(rc);
            return 0;
        }
        int fd = winport::posix::OpenOnMachine(host, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0)
        {
            close(fd);
            wmemcpy(tempFileName, name.c_str(), name.size() + 1);
            return number;
        }
        if (errno != EEXIST)
        {
            SetLastError(winport::posix::ErrnoForPath(errno, host));
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

UINT GetDriveTypeW(LPCWSTR rootPath)
{
    wchar_t current[MAX_PATH];
    std::wstring root = rootPath != nullptr ? rootPath : L"";
    if (root.empty())
    {
        DWORD n = GetCurrentDirectoryW(MAX_PATH, current);
        if (n == 0 || n >= MAX_PATH)
            return DRIVE_UNKNOWN;
        root = current;
        root = root.size() >= 2 && root[1] == L':' ? root.substr(0, 3) : root;
    }
    winport::fleet::SParsedPath parsed;
    if (winport::fleet::ParseWindowsPath(root, L"C:\\", parsed) != ERROR_SUCCESS)
        return DRIVE_NO_ROOT_DIR;
    if (parsed.kind == winport::fleet::SParsedPath::EKind::Unc)
    {
        if (!parsed.components.empty())
            return DRIVE_NO_ROOT_DIR;
        // A share is a remote drive wherever it is, when it answers.
        DWORD attributes = GetFileAttributesW(root.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? DRIVE_REMOTE
                   : DRIVE_NO_ROOT_DIR;
    }
    // A drive letter alone, or its root; a folder below it is no root.
    if (!parsed.components.empty())
        return DRIVE_NO_ROOT_DIR;
    std::wstring letterRoot = std::wstring(1, parsed.drive) + L":\\";
    DWORD attributes = GetFileAttributesW(letterRoot.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
               ? DRIVE_FIXED
               : DRIVE_NO_ROOT_DIR;
}

// ---- File handles ------------------------------------------------------------------------------

namespace
{

class CFileObject : public winport::posix::CKernelObject
{
public:
    explicit CFileObject(int fd, bool canRead, bool canWrite)
        : m_Fd(fd), m_CanRead(canRead), m_CanWrite(canWrite)
    {
    }
    int Fd() const { return m_Fd.Get(); }
    bool CanRead() const { return m_CanRead; }
    bool CanWrite() const { return m_CanWrite; }

private:
    CFd m_Fd;
    bool m_CanRead;
    bool m_CanWrite;
};

std::shared_ptr<CFileObject> FileOf(HANDLE handle)
{
    return std::dynamic_pointer_cast<CFileObject>(winport::posix::LookupHandle(handle));
}

} // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD disposition, DWORD, HANDLE)
{
    if (path == nullptr || disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string host;
    if (!MapForCall(path, host))
        return INVALID_HANDLE_VALUE;
    bool write = (desiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    bool read = (desiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    bool existed = false;
    {
        CFd existing(OpenOnMachine(host, O_PATH));
        struct stat st;
        if (existing.Get() >= 0 && fstat(existing.Get(), &st) == 0)
        {
            existed = true;
            if (disposition == CREATE_NEW)
                return SetLastError(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
            if (S_ISDIR(st.st_mode) ||
                ((write || disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) &&
                 IsReadOnly(st)))
                return SetLastError(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
            if (write && winport::posix::IsLoadedModule(host))
                return SetLastError(ERROR_SHARING_VIOLATION), INVALID_HANDLE_VALUE;
        }
        else if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)
            return SetLastError(ErrnoForPath(errno, host)), INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC | O_NOCTTY | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (disposition == CREATE_NEW)
        flags |= O_CREAT | O_EXCL;
    else if (disposition == CREATE_ALWAYS)
        flags |= O_CREAT | O_TRUNC;
    else if (disposition == OPEN_ALWAYS)
        flags |= O_CREAT;
    else if (disposition == TRUNCATE_EXISTING)
        flags |= O_TRUNC;
    if ((flags & O_TRUNC) && !write)
        flags = (flags & ~(O_RDONLY | O_WRONLY | O_RDWR)) | O_RDWR;
    CFd fd(OpenOnMachine(host, flags, 0644));
    if (fd.Get() < 0)
        return SetLastError(errno == EEXIST ? ERROR_FILE_EXISTS : ErrnoForPath(errno, host)),
               INVALID_HANDLE_VALUE;
    HANDLE handle =
        winport::posix::InsertHandle(std::make_shared<CFileObject>(fd.Release(), read, write));
    SetLastError(existed && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return handle;
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPVOID)
{
    std::shared_ptr<CFileObject> object = FileOf(file);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    if (!object->CanWrite())
        return Fail(ERROR_ACCESS_DENIED);
    if (written != nullptr)
        *written = 0;
    if (size > 0 && buffer == nullptr)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!winport::posix::WriteAll(object->Fd(), buffer, size))
        return Fail(winport::posix::ErrnoToWin32(errno));
    if (written != nullptr)
        *written = size;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPVOID)
{
    std::shared_ptr<CFileObject> object = FileOf(file);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    if (!object->CanRead())
        return Fail(ERROR_ACCESS_DENIED);
    if (read != nullptr)
        *read = 0;
    if (size > 0 && buffer == nullptr)
        return Fail(ERROR_INVALID_USER_BUFFER);
    ssize_t n;
    do
        n = ::read(object->Fd(), buffer, size);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail(winport::posix::ErrnoToWin32(errno));
    if (read != nullptr)
        *read = static_cast<DWORD>(n);
    return TRUE;
}
