// Linux only: copying, moving, attributes, finding files, the files-in-use rule and
// initialisation files.
#include "winport/WinFile.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fstream>
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

bool IsLoadedModule(const std::string& host)
{
    struct stat st;
    if (stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    char device[32];
    snprintf(device, sizeof device, "%02x:%02x", major(st.st_dev), minor(st.st_dev));
    std::string inode = std::to_string(st.st_ino);
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return false;
    bool loaded = false;
    std::string line;
    while (!loaded)
    {
        dirent* entry = readdir(proc);
        if (entry == nullptr)
            break;
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
            continue;
        std::ifstream maps(std::string("/proc/") + entry->d_name + "/maps");
        while (std::getline(maps, line))
        {
            // address perms offset device inode path
            char perms[8] = {}, dev[32] = {};
            unsigned long long node = 0;
            if (sscanf(line.c_str(), "%*s %7s %*s %31s %llu", perms, dev, &node) == 3 && perms[2] == 'x' &&
                std::to_string(node) == inode && strcmp(dev, device) == 0)
            {
                loaded = true;
                break;
            }
        }
    }
    closedir(proc);
    return loaded;
}

} // namespace winport::posix

using winport::posix::ErrnoForPath;
using winport::posix::MapForCall;

namespace
{

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

bool IsReadOnly(const struct stat& st) { return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0; }

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

BOOL CopyHostFile(const std::string& source, const std::string& target, bool failIfExists)
{
    struct stat from;
    if (stat(source.c_str(), &from) != 0)
        return Fail(ErrnoForPath(errno, source));
    if (S_ISDIR(from.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    struct stat to;
    if (stat(target.c_str(), &to) == 0)
    {
        if (failIfExists)
            return Fail(ERROR_FILE_EXISTS);
        if (S_ISDIR(to.st_mode) || IsReadOnly(to))
            return Fail(ERROR_ACCESS_DENIED);
        if (from.st_dev == to.st_dev && from.st_ino == to.st_ino)
            return Fail(ERROR_SHARING_VIOLATION); // a file cannot be copied onto itself
        if (winport::posix::IsLoadedModule(target))
            return Fail(ERROR_SHARING_VIOLATION);
    }
    winport::posix::CFd in(open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.Get() < 0)
        return Fail(ErrnoForPath(errno, source));
    winport::posix::CFd out(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.Get() < 0)
        return Fail(ErrnoForPath(errno, target));
    if (!CopyContent(in.Get(), out.Get()))
    {
        DWORD code = winport::posix::ErrnoToWin32(errno);
        unlink(target.c_str()); // no half-copied file stays behind
        return Fail(code);
    }
    // The copy keeps the source's time and read-only attribute, as Windows does.
    struct timespec times[2] = {from.st_atim, from.st_mtim};
    futimens(out.Get(), times);
    fchmod(out.Get(), from.st_mode & 07777);
    return TRUE;
}

// Windows wildcard matching without regard to case: "*" any run, "?" one character.
bool Matches(const wchar_t* pattern, const wchar_t* name)
{
    const wchar_t* star = nullptr;
    const wchar_t* resume = nullptr;
    while (*name != L'\0')
    {
        if (*pattern == L'*')
        {
            star = pattern++;
            resume = name;
        }
        else if (*pattern == L'?' ||
                 (*pattern != L'\0' && winport::fleet::NamesEqual(std::wstring(1, *pattern), std::wstring(1, *name))))
        {
            ++pattern;
            ++name;
        }
        else if (star != nullptr)
        {
            pattern = star + 1;
            name = ++resume;
        }
        else
            return false;
    }
    while (*pattern == L'*')
        ++pattern;
    return *pattern == L'\0';
}

class CFindObject : public winport::posix::CKernelObject
{
public:
    struct SEntry
    {
        std::wstring name;
        std::string host;
    };
    std::vector<SEntry> entries;
    size_t next = 0;
};

void ToFileTime(const struct timespec& t, FILETIME& out)
{
    uint64_t ticks = (static_cast<uint64_t>(t.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(t.tv_nsec) / 100;
    out.dwLowDateTime = static_cast<DWORD>(ticks);
    out.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
}

bool Fill(const CFindObject::SEntry& entry, LPWIN32_FIND_DATAW data)
{
    struct stat st;
    if (stat(entry.host.c_str(), &st) != 0)
        return false;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!S_ISDIR(st.st_mode) && IsReadOnly(st))
        data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
    ToFileTime(st.st_ctim, data->ftCreationTime);
    ToFileTime(st.st_atim, data->ftLastAccessTime);
    ToFileTime(st.st_mtim, data->ftLastWriteTime);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    wcsncpy(data->cFileName, entry.name.c_str(), MAX_PATH - 1);
    return true;
}

// Adds a pending rename (or delete, with an empty target) for the next start of the machine.
BOOL ScheduleAtReboot(LPCWSTR existing, LPCWSTR target)
{
    HKEY key = nullptr;
    LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                                 nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS)
        return Fail(static_cast<DWORD>(rc));
    std::wstring items;
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && size > 0)
    {
        items.resize(size / sizeof(wchar_t));
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, &type, reinterpret_cast<BYTE*>(items.data()),
                         &size);
        while (!items.empty() && items.back() == L'\0')
            items.pop_back();
        items.push_back(L'\0');
    }
    items += L"\\??\\" + std::wstring(existing) + L'\0';
    items += (target != nullptr && *target != L'\0' ? L"\\??\\" + std::wstring(target) : std::wstring()) + L'\0';
    items.push_back(L'\0');
    rc = RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ,
                        reinterpret_cast<const BYTE*>(items.data()), static_cast<DWORD>(items.size() * sizeof(wchar_t)));
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

BOOL MoveFileW(LPCWSTR existing, LPCWSTR target) { return MoveFileExW(existing, target, MOVEFILE_COPY_ALLOWED); }

BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags)
{
    if (flags & MOVEFILE_DELAY_UNTIL_REBOOT)
        return existing != nullptr ? ScheduleAtReboot(existing, target) : Fail(ERROR_INVALID_PARAMETER);
    std::string source, destination;
    if (!MapForCall(existing, source) || !MapForCall(target, destination))
        return FALSE;
    struct stat from, to;
    if (lstat(source.c_str(), &from) != 0)
        return Fail(ErrnoForPath(errno, source));
    if (lstat(destination.c_str(), &to) == 0)
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
    if (rename(source.c_str(), destination.c_str()) == 0)
        return TRUE;
    if (errno != EXDEV)
        return Fail(ErrnoForPath(errno, destination));
    if (!(flags & MOVEFILE_COPY_ALLOWED) || S_ISDIR(from.st_mode))
        return Fail(ERROR_NOT_SAME_DEVICE);
    if (!CopyHostFile(source, destination, false))
        return FALSE;
    if (unlink(source.c_str()) != 0)
        return Fail(ErrnoForPath(errno, source));
    return TRUE;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes)
{
    std::string host;
    if (!MapForCall(path, host))
        return FALSE;
    struct stat st;
    if (stat(host.c_str(), &st) != 0)
        return Fail(ErrnoForPath(errno, host));
    if (S_ISDIR(st.st_mode))
        return TRUE; // a folder's read-only flag does not guard its files on Windows either
    mode_t mode = st.st_mode & 07777;
    mode = (attributes & FILE_ATTRIBUTE_READONLY) ? mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)
                                                   : mode | S_IWUSR;
    return chmod(host.c_str(), mode) == 0 ? TRUE : Fail(ErrnoForPath(errno, host));
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
    DIR* dir = opendir(host.c_str());
    if (dir == nullptr)
    {
        SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : winport::posix::ErrnoToWin32(errno));
        return INVALID_HANDLE_VALUE;
    }
    bool all = name == L"*" || name == L"*.*";
    auto found = std::make_shared<CFindObject>();
    winport::fleet::SParsedPath parsed;
    bool root = winport::fleet::ParseWindowsPath(folder, L"C:\\", parsed) == ERROR_SUCCESS &&
                parsed.kind == winport::fleet::SParsedPath::EKind::Drive && parsed.components.empty();
    while (dirent* entry = readdir(dir))
    {
        std::wstring entryName = winport::FromUtf8(entry->d_name);
        bool dots = entryName == L"." || entryName == L"..";
        if ((dots && root) || entryName.size() >= MAX_PATH)
            continue;
        if (all || Matches(name.c_str(), entryName.c_str()))
            found->entries.push_back({entryName, host + "/" + entry->d_name});
    }
    closedir(dir);
    std::sort(found->entries.begin(), found->entries.end(), [](const auto& a, const auto& b) {
        bool da = a.name == L"." || a.name == L"..", db = b.name == L"." || b.name == L"..";
        return da != db ? da : a.name < b.name;
    });
    while (found->next < found->entries.size() && !Fill(found->entries[found->next], data))
        ++found->next;
    if (found->next >= found->entries.size())
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ++found->next;
    return winport::posix::InsertHandle(found);
}

BOOL FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data)
{
    auto found = std::dynamic_pointer_cast<CFindObject>(winport::posix::LookupHandle(find));
    if (!found || data == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    while (found->next < found->entries.size())
    {
        if (Fill(found->entries[found->next++], data))
            return TRUE;
    }
    return Fail(ERROR_NO_MORE_FILES);
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
    std::ifstream in(host, std::ios::binary);
    if (!in)
        return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
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
        int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                    static_cast<int>(text.size()));
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

// Copies text into buffer as the profile functions do: cut to fit, double-terminated lists.
DWORD CopyProfileText(const std::wstring& text, bool list, LPWSTR buffer, DWORD size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    size_t room = list ? (size >= 2 ? size - 2 : 0) : size - 1;
    size_t n = std::min(text.size(), room);
    wmemcpy(buffer, text.c_str(), n);
    buffer[n] = L'\0';
    if (list && size >= 2)
        buffer[n + 1] = L'\0';
    if (text.size() > room)
        return list ? (size >= 2 ? size - 2 : 0) : size - 1;
    return static_cast<DWORD>(n);
}

} // namespace

DWORD GetPrivateProfileStringW(LPCWSTR section, LPCWSTR key, LPCWSTR fallback, LPWSTR buffer, DWORD size,
                               LPCWSTR path)
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
            if (v.size() >= 2 && ((v.front() == L'"' && v.back() == L'"') || (v.front() == L'\'' && v.back() == L'\'')))
                v = v.substr(1, v.size() - 2);
            SetLastError(ERROR_SUCCESS);
            return CopyProfileText(v, false, buffer, size);
        }
    }
    if (section == nullptr || key == nullptr)
    {
        if (!names.empty())
            names.pop_back(); // the list's own terminator closes the last item
        return CopyProfileText(names, true, buffer, size);
    }
    SetLastError(read ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND);
    return CopyProfileText(def, false, buffer, size);
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
    struct stat existing;
    if (stat(host.c_str(), &existing) == 0 && (S_ISDIR(existing.st_mode) || IsReadOnly(existing)))
        return Fail(ERROR_ACCESS_DENIED);
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
        bytes = "\xFF\xFE" + std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
    }
    else if (!text.empty())
    {
        int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        bytes.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
    }
    // Written aside and moved over, so that a failure leaves the old file whole.
    std::string temporary = host + ".tmp" + std::to_string(getpid());
    winport::posix::CFd out(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (out.Get() < 0)
        return Fail(ErrnoForPath(errno, host));
    if (!winport::posix::WriteAll(out.Get(), bytes.data(), bytes.size()) || rename(temporary.c_str(), host.c_str()) != 0)
    {
        DWORD code = winport::posix::ErrnoToWin32(errno);
        unlink(temporary.c_str());
        return Fail(code);
    }
    return TRUE;
}
