// Linux only: what a process of a simulated machine has of it: its environment (the machine's,
// asked of its server), its module file names and current folder in Windows form, and its
// command line.
#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinModule.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

using namespace winport;

// ---- Environment ---------------------------------------------------------------------------

namespace
{

struct SNameLess
{
    bool operator()(const std::wstring& a, const std::wstring& b) const
    {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

class CEnvironment
{
public:
    CEnvironment()
    {
        // A child started by CreateProcessW brings its parent's; others start with the machine's.
        const char* inherited = getenv("FLEET_ENVIRONMENT");
        for (auto& [name, value] : inherited != nullptr ? fleet::DecodeEnvironment(inherited)
                                                        : fleet::MachineEnvironment())
            m_Variables[std::move(name)] = std::move(value);
    }
    std::vector<std::pair<std::wstring, std::wstring>> All()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return {m_Variables.begin(), m_Variables.end()};
    }
    bool Get(const std::wstring& name, std::wstring& value)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        auto it = m_Variables.find(name);
        if (it == m_Variables.end())
            return false;
        value = it->second;
        return true;
    }
    void Set(const std::wstring& name, const wchar_t* value)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (value == nullptr)
            m_Variables.erase(name);
        else
            m_Variables[name] = value;
    }

private:
    std::mutex m_Lock;
    std::map<std::wstring, std::wstring, SNameLess> m_Variables;
};

CEnvironment& Environment()
{
    static CEnvironment* s_pEnvironment = new CEnvironment();
    return *s_pEnvironment;
}

} // namespace

namespace winport::fleet
{

std::vector<std::pair<std::wstring, std::wstring>> ProcessEnvironment()
{
    return Environment().All();
}

// Items "NAME=VALUE" separated by U+001E; '%' and U+001E within them are escaped as %25 and %1E.
std::string EncodeEnvironment(const std::vector<std::pair<std::wstring, std::wstring>>& variables)
{
    std::string encoded;
    for (const auto& [name, value] : variables)
    {
        if (!encoded.empty())
            encoded.push_back('\x1e');
        for (char c : ToUtf8(name + L"=" + value))
        {
            if (c == '%')
                encoded += "%25";
            else if (c == '\x1e')
                encoded += "%1E";
            else
                encoded.push_back(c);
        }
    }
    return encoded;
}

std::vector<std::pair<std::wstring, std::wstring>> DecodeEnvironment(const std::string& encoded)
{
    std::vector<std::pair<std::wstring, std::wstring>> variables;
    std::string item;
    size_t start = 0;
    while (start < encoded.size())
    {
        size_t end = encoded.find('\x1e', start);
        if (end == std::string::npos)
            end = encoded.size();
        item.assign(encoded, start, end - start);
        // Most items have no escape: only those are rewritten.
        for (size_t at = item.find('%'); at != std::string::npos; at = item.find('%', at + 1))
        {
            if (item.compare(at, 3, "%25") == 0)
                item.replace(at, 3, 1, '%');
            else if (item.compare(at, 3, "%1E") == 0)
                item.replace(at, 3, 1, '\x1e');
        }
        // "=C:=C:\..." style names start with '=': the separator is the next one ('=' is one
        // byte in UTF-8 and never part of another character).
        size_t equals = item.find('=', 1);
        if (equals != std::string::npos)
            variables.emplace_back(FromUtf8(item.substr(0, equals)),
                                   FromUtf8(item.substr(equals + 1)));
        start = end + 1;
    }
    return variables;
}

} // namespace winport::fleet

namespace
{

// Copies text into a caller's buffer with the Win32 size protocol: the length without the
// terminator when it fits, else the size needed with it.
DWORD CopyOut(const std::wstring& text, LPWSTR buffer, DWORD size)
{
    return static_cast<DWORD>(CopyTextOut(text, buffer, size) ? text.size() : text.size() + 1);
}

} // namespace

DWORD ExpandEnvironmentStringsW(LPCWSTR source, LPWSTR destination, DWORD size)
{
    if (source == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring out;
    const wchar_t* p = source;
    while (*p != L'\0')
    {
        if (*p != L'%')
        {
            out.push_back(*p++);
            continue;
        }
        const wchar_t* close = wcschr(p + 1, L'%');
        if (close == nullptr)
        {
            out.append(p);
            break;
        }
        std::wstring name(p + 1, close);
        std::wstring value;
        if (!name.empty() && Environment().Get(name, value))
        {
            out += value;
            p = close + 1;
        }
        else
        {
            // Unknown names stay as written; the closing mark may open the next name.
            out.push_back(L'%');
            out += name;
            p = close;
        }
    }
    DWORD needed = static_cast<DWORD>(out.size() + 1);
    if (destination != nullptr && size >= needed)
        wmemcpy(destination, out.c_str(), needed);
    return needed;
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size)
{
    std::wstring value;
    if (name == nullptr || !Environment().Get(name, value))
    {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return CopyOut(value, buffer, size);
}

BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value)
{
    if (name == nullptr || *name == L'\0' || wcschr(name, L'=') != nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Environment().Set(name, value);
    return TRUE;
}

// ---- Module file names, current folder, temporary files --------------------------------------

namespace
{
// Copies with the truncating protocol of GetModuleFileNameW.
DWORD CopyTruncated(const std::wstring& text, LPWSTR buffer, DWORD size)
{
    if (buffer == nullptr || size == 0)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (text.size() >= size)
    {
        wmemcpy(buffer, text.c_str(), size - 1);
        buffer[size - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}
} // namespace

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    if (module != nullptr)
    {
        std::wstring path;
        if (!fleet::LoadedModulePath(module, path))
        {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return 0;
        }
        return CopyTruncated(path, fileName, size);
    }
    const std::string& path = posix::ProgramHostPath();
    if (path.empty())
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    return CopyTruncated(fleet::HostPathToWindows(path), fileName, size);
}

DWORD GetCurrentDirectoryW(DWORD size, LPWSTR buffer)
{
    char path[4096];
    if (getcwd(path, sizeof path) == nullptr)
    {
        SetLastError(posix::ErrnoToWin32(errno));
        return 0;
    }
    return CopyOut(fleet::HostPathToWindows(path), buffer, size);
}

BOOL SetCurrentDirectoryW(LPCWSTR path)
{
    std::string host;
    DWORD rc = path == nullptr ? ERROR_INVALID_PARAMETER : fleet::MapPath(path, host);
    struct stat st;
    if (rc == ERROR_SUCCESS && stat(host.c_str(), &st) != 0)
        rc = errno == ENOENT ? ERROR_FILE_NOT_FOUND : posix::ErrnoToWin32(errno);
    else if (rc == ERROR_SUCCESS && !S_ISDIR(st.st_mode))
        rc = ERROR_DIRECTORY;
    if (rc == ERROR_SUCCESS && chdir(host.c_str()) != 0)
        rc = posix::ErrnoToWin32(errno);
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return FALSE;
    }
    return TRUE;
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer)
{
    std::wstring path;
    if (!Environment().Get(L"TMP", path) && !Environment().Get(L"TEMP", path) &&
        !Environment().Get(L"USERPROFILE", path))
        path = L"C:\\Windows";
    if (path.empty() || path.back() != L'\\')
        path.push_back(L'\\');
    return CopyOut(path, buffer, size);
}

LPWSTR* CommandLineToArgvW(LPCWSTR commandLine, int* argc)
{
    if (argc == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::wstring> args;
    if (commandLine == nullptr || *commandLine == L'\0')
    {
        // An empty command line gives the program's own path.
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
        args.emplace_back(path, n);
    }
    else
    {
        const wchar_t* p = commandLine;
        // The program name: up to the next quote when quoted, else up to the first blank or
        // control character (U+0001 to U+0020), which it takes along; backslashes are plain
        // characters here.
        std::wstring first;
        if (*p == L'"')
        {
            ++p;
            while (*p != L'\0' && *p != L'"')
                first.push_back(*p++);
            if (*p == L'"')
                ++p;
        }
        else
        {
            while (*p != L'\0' && !(*p >= 0x01 && *p <= 0x20))
                first.push_back(*p++);
            if (*p != L'\0')
                ++p;
        }
        args.push_back(first);
        while (*p == L' ' || *p == L'\t')
            ++p;
        // The other arguments: 2n backslashes before a quote give n and toggle quoting, 2n+1
        // give n and a literal quote; within a quoted part a doubled quote gives a literal
        // quote and ends the quoted part.
        while (*p != L'\0')
        {
            std::wstring arg;
            bool quoted = false;
            while (*p != L'\0' && (quoted || (*p != L' ' && *p != L'\t')))
            {
                if (*p == L'\\')
                {
                    size_t count = 0;
                    while (*p == L'\\')
                    {
                        ++count;
                        ++p;
                    }
                    if (*p == L'"')
                    {
                        arg.append(count / 2, L'\\');
                        if (count % 2 == 1)
                        {
                            arg.push_back(L'"');
                            ++p;
                        }
                    }
                    else
                        arg.append(count, L'\\');
                }
                else if (*p == L'"')
                {
                    ++p;
                    if (quoted && *p == L'"')
                    {
                        arg.push_back(L'"');
                        ++p;
                        quoted = false;
                    }
                    else
                        quoted = !quoted;
                }
                else
                    arg.push_back(*p++);
            }
            args.push_back(arg);
            while (*p == L' ' || *p == L'\t')
                ++p;
        }
    }
    // One block: the pointer array, then the texts.
    size_t pointers = (args.size() + 1) * sizeof(LPWSTR);
    size_t chars = 0;
    for (const auto& a : args)
        chars += a.size() + 1;
    HLOCAL block = LocalAlloc(LMEM_FIXED, pointers + chars * sizeof(wchar_t));
    if (block == nullptr)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    LPWSTR* result = static_cast<LPWSTR*>(block);
    wchar_t* text = reinterpret_cast<wchar_t*>(static_cast<char*>(block) + pointers);
    for (size_t i = 0; i < args.size(); ++i)
    {
        result[i] = text;
        wmemcpy(text, args[i].c_str(), args[i].size() + 1);
        text += args[i].size() + 1;
    }
    result[args.size()] = nullptr;
    *argc = static_cast<int>(args.size());
    return result;
}
