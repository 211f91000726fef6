// Linux only: tool-help snapshots of this machine's processes (from /proc, those started on the
// machine) and of the modules a process maps executable.
#include "winport/TlHelp32.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <sstream>
#include <vector>

namespace
{

struct SProcess
{
    DWORD id = 0;
    DWORD parent = 0;
    DWORD threads = 0;
    std::wstring exeFile;
};

struct SModule
{
    DWORD processId = 0;
    uintptr_t base = 0;
    uintptr_t end = 0;
    std::wstring name;
    std::wstring path;
};

class CSnapshot : public winport::posix::CKernelObject
{
public:
    std::vector<SProcess> m_Processes;
    std::vector<SModule> m_Modules;
    size_t m_NextProcess = 0;
    size_t m_NextModule = 0;
};

std::wstring FileNamePart(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool ReadProcess(DWORD pid, SProcess& process)
{
    std::string status;
    if (!winport::posix::ReadWholeFile("/proc/" + std::to_string(pid) + "/status", status))
        return false;
    process.id = pid;
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line))
    {
        if (line.rfind("PPid:", 0) == 0)
            process.parent = static_cast<DWORD>(atol(line.c_str() + 5));
        else if (line.rfind("Threads:", 0) == 0)
            process.threads = static_cast<DWORD>(atol(line.c_str() + 8));
    }
    char exe[4096];
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    if (n <= 0)
        return false;
    exe[n] = '\0';
    process.exeFile = FileNamePart(winport::FromUtf8(exe));
    return true;
}

// The files a process maps executable, each once, its first mapping first.
bool ReadModules(DWORD pid, std::vector<SModule>& modules)
{
    std::string maps;
    if (!winport::posix::ReadWholeFile("/proc/" + std::to_string(pid) + "/maps", maps))
        return false;
    std::istringstream lines(maps);
    std::string line;
    std::set<std::string> seen;
    while (std::getline(lines, line))
    {
        std::istringstream fields(line);
        std::string range, permissions, offset, device, inode, path;
        fields >> range >> permissions >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        if (path.empty() || path[0] != '/' || permissions.size() < 3 || permissions[2] != 'x')
            continue;
        if (path.size() > 10 && path.compare(path.size() - 10, 10, " (deleted)") == 0)
            continue;
        size_t dash = range.find('-');
        uintptr_t base = std::strtoull(range.c_str(), nullptr, 16);
        uintptr_t end = std::strtoull(range.c_str() + dash + 1, nullptr, 16);
        if (!seen.insert(path).second)
        {
            for (SModule& module : modules)
            {
                if (module.end == base)
                    module.end = end;
            }
            continue;
        }
        SModule module;
        module.processId = pid;
        module.base = base;
        module.end = end;
        module.path = winport::fleet::HostPathToWindows(path);
        module.name = FileNamePart(module.path);
        modules.push_back(module);
    }
    return true;
}

std::shared_ptr<CSnapshot> SnapshotOf(HANDLE handle)
{
    return std::dynamic_pointer_cast<CSnapshot>(winport::posix::LookupHandle(handle));
}

void CopyName(const std::wstring& text, WCHAR* buffer, size_t capacity)
{
    size_t n = std::min(text.size(), capacity - 1);
    wmemcpy(buffer, text.c_str(), n);
    buffer[n] = L'\0';
}

template <class TEntry> bool CheckEntry(const std::shared_ptr<CSnapshot>& snapshot, TEntry* entry)
{
    if (!snapshot || entry == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (entry->dwSize < sizeof(TEntry))
    {
        SetLastError(ERROR_BAD_LENGTH);
        return false;
    }
    return true;
}

BOOL NextProcess(HANDLE handle, LPPROCESSENTRY32W entry, bool first)
{
    std::shared_ptr<CSnapshot> snapshot = SnapshotOf(handle);
    if (!CheckEntry(snapshot, entry))
        return FALSE;
    if (first)
        snapshot->m_NextProcess = 0;
    if (snapshot->m_NextProcess >= snapshot->m_Processes.size())
    {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const SProcess& process = snapshot->m_Processes[snapshot->m_NextProcess++];
    DWORD size = entry->dwSize;
    memset(entry, 0, sizeof *entry);
    entry->dwSize = size;
    entry->th32ProcessID = process.id;
    entry->th32ParentProcessID = process.parent;
    entry->cntThreads = process.threads;
    entry->pcPriClassBase = 8; // normal priority
    CopyName(process.exeFile, entry->szExeFile, MAX_PATH);
    return TRUE;
}

BOOL NextModule(HANDLE handle, LPMODULEENTRY32W entry, bool first)
{
    std::shared_ptr<CSnapshot> snapshot = SnapshotOf(handle);
    if (!CheckEntry(snapshot, entry))
        return FALSE;
    if (first)
        snapshot->m_NextModule = 0;
    if (snapshot->m_NextModule >= snapshot->m_Modules.size())
    {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const SModule& module = snapshot->m_Modules[snapshot->m_NextModule++];
    DWORD size = entry->dwSize;
    memset(entry, 0, sizeof *entry);
    entry->dwSize = size;
    entry->th32ModuleID = 1;
    entry->th32ProcessID = module.processId;
    entry->GlblcntUsage = 0xFFFF;
    entry->ProccntUsage = 0xFFFF;
    entry->modBaseAddr = reinterpret_cast<BYTE*>(module.base);
    entry->modBaseSize = static_cast<DWORD>(module.end - module.base);
    entry->hModule = reinterpret_cast<HMODULE>(module.base);
    CopyName(module.name, entry->szModule, MAX_MODULE_NAME32 + 1);
    CopyName(module.path, entry->szExePath, MAX_PATH);
    return TRUE;
}

} // namespace

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD processId)
{
    auto snapshot = std::make_shared<CSnapshot>();
    if (flags & TH32CS_SNAPPROCESS)
    {
        // A machine sees its own processes only.
        DIR* proc = opendir("/proc");
        if (proc == nullptr)
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        while (dirent* entry = readdir(proc))
        {
            char* end = nullptr;
            long pid = strtol(entry->d_name, &end, 10);
            SProcess process;
            if (pid > 0 && *end == '\0' &&
                winport::fleet::IsProcessOfThisMachine(static_cast<int>(pid)) &&
                ReadProcess(static_cast<DWORD>(pid), process))
                snapshot->m_Processes.push_back(process);
        }
        closedir(proc);
    }
    if (flags & (TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32))
    {
        DWORD pid = processId == 0 ? static_cast<DWORD>(getpid()) : processId;
        if (!winport::fleet::IsProcessOfThisMachine(static_cast<int>(pid)) ||
            !ReadModules(pid, snapshot->m_Modules))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
    }
    return winport::posix::InsertHandle(snapshot);
}

BOOL Process32FirstW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    return NextProcess(snapshot, entry, true);
}
BOOL Process32NextW(HANDLE snapshot, LPPROCESSENTRY32W entry)
{
    return NextProcess(snapshot, entry, false);
}
BOOL Module32FirstW(HANDLE snapshot, LPMODULEENTRY32W entry)
{
    return NextModule(snapshot, entry, true);
}
BOOL Module32NextW(HANDLE snapshot, LPMODULEENTRY32W entry)
{
    return NextModule(snapshot, entry, false);
}
