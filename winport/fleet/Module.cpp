// Linux only: libraries loaded as modules (dlopen) under their Windows names, searched in the
// Windows order over the machine's folders, with Windows reference counts.
#include "winport/WinModule.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace
{

using winport::FromUtf8;
using winport::ToUtf8;

// A module loaded through LoadLibrary: one reference of the dynamic loader, held for all of ours.
struct SModule
{
    void* handle = nullptr;
    std::wstring windowsPath; // as it was loaded; a rename later does not change it
    dev_t device = 0;
    ino_t inode = 0;
    unsigned references = 0;
};

// Recursive: a library's constructor may load or free libraries itself.
std::recursive_mutex s_Lock;
std::map<uintptr_t, SModule>& Modules()
{
    static auto* s_pModules = new std::map<uintptr_t, SModule>();
    return *s_pModules;
}

// An object the dynamic loader has mapped: where its first segment starts (the module handle)
// and its Linux path.
struct SLoadedObject
{
    uintptr_t base = 0;
    std::string path;
    bool program = false;
};

int CollectObject(dl_phdr_info* info, size_t, void* data)
{
    auto& objects = *static_cast<std::vector<SLoadedObject>*>(data);
    SLoadedObject object;
    object.program = objects.empty();
    const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    if (object.program)
        object.path = winport::posix::ProgramHostPath();
    else if (name[0] == '/')
        object.path = name;
    else
        return 0; // the kernel's own vDSO has no file
    bool found = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i)
    {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD)
            continue;
        uintptr_t start =
            (info->dlpi_addr + header.p_vaddr) & ~(static_cast<uintptr_t>(getpagesize()) - 1);
        if (!found || start < object.base)
            object.base = start;
        found = true;
    }
    if (found)
        objects.push_back(std::move(object));
    return 0;
}

std::vector<SLoadedObject> LoadedObjects()
{
    std::vector<SLoadedObject> objects;
    dl_iterate_phdr(CollectObject, &objects);
    return objects;
}

bool FindLoaded(uintptr_t base, SLoadedObject& found)
{
    for (SLoadedObject& object : LoadedObjects())
    {
        if (object.base == base)
        {
            found = std::move(object);
            return true;
        }
    }
    return false;
}

uintptr_t ProgramBase()
{
    static const uintptr_t s_Base = []
    {
        std::vector<SLoadedObject> objects = LoadedObjects();
        return objects.empty() ? 0 : objects.front().base;
    }();
    return s_Base;
}

// The module handle of a dlopen handle: the start of its first segment.
uintptr_t BaseOf(void* handle)
{
    link_map* map = nullptr;
    Dl_info info;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        dladdr(map->l_ld, &info) == 0)
        return 0;
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

std::string FileNameOf(const std::string& path)
{
    return path.substr(path.find_last_of('/') + 1);
}

// The file name a module name stands for: ".dll" added when it has no extension, a trailing
// "." meaning none.
std::wstring ModuleFileName(const std::wstring& name)
{
    size_t start = name.find_last_of(L"\\/:");
    std::wstring file = start == std::wstring::npos ? name : name.substr(start + 1);
    if (!file.empty() && file.back() == L'.')
    {
        while (!file.empty() && (file.back() == L'.' || file.back() == L' '))
            file.pop_back();
        return file;
    }
    if (file.find(L'.') == std::wstring::npos)
        file += L".dll";
    return file;
}

bool IsPath(const std::wstring& name)
{
    return name.find_first_of(L"\\/:") != std::wstring::npos;
}

bool IsRegularFile(const std::string& path, struct stat* st = nullptr)
{
    struct stat own;
    struct stat* s = st != nullptr ? st : &own;
    return stat(path.c_str(), s) == 0 && S_ISREG(s->st_mode);
}

// A file of a Linux folder, matched without regard to case.
bool FindInFolder(const std::string& folder, const std::wstring& file, std::string& path)
{
    std::string exact = folder + "/" + ToUtf8(file);
    if (IsRegularFile(exact))
    {
        path = exact;
        return true;
    }
    DIR* d = opendir(folder.c_str());
    if (d == nullptr)
        return false;
    bool found = false;
    while (dirent* entry = readdir(d))
    {
        if (winport::fleet::NamesEqual(FromUtf8(entry->d_name), file) &&
            IsRegularFile(folder + "/" + entry->d_name))
        {
            path = folder + "/" + entry->d_name;
            found = true;
            break;
        }
    }
    closedir(d);
    return found;
}

// A file of a Windows folder of the machine.
bool FindInWindowsFolder(std::wstring folder, const std::wstring& file, std::string& path)
{
    if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
        folder = folder.substr(1, folder.size() - 2);
    if (folder.empty())
        return false;
    if (folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    std::string host;
    if (winport::fleet::MapPath(folder + file, host) != ERROR_SUCCESS || !IsRegularFile(host))
        return false;
    path = host;
    return true;
}

std::wstring Variable(const wchar_t* name)
{
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return std::wstring();
    std::wstring value(size, L'\0');
    DWORD n = GetEnvironmentVariableW(name, value.data(), size);
    value.resize(n < size ? n : 0);
    return value;
}

// The Windows search order for a name without a path: the program's folder, the current
// folder, the system folders, then PATH.
bool Search(const std::wstring& file, std::string& path)
{
    std::string program = winport::posix::ProgramHostPath();
    if (!program.empty() && FindInFolder(program.substr(0, program.find_last_of('/')), file, path))
        return true;
    char current[PATH_MAX];
    if (getcwd(current, sizeof current) != nullptr && FindInFolder(current, file, path))
        return true;
    std::wstring systemRoot = Variable(L"SystemRoot");
    if (systemRoot.empty())
        systemRoot = L"C:\\Windows";
    if (FindInWindowsFolder(systemRoot + L"\\System32", file, path) ||
        FindInWindowsFolder(systemRoot, file, path))
        return true;
    std::wstring folders = Variable(L"PATH");
    size_t start = 0;
    while (start <= folders.size())
    {
        size_t end = folders.find(L';', start);
        if (end == std::wstring::npos)
            end = folders.size();
        std::wstring folder = folders.substr(start, end - start);
        wchar_t expanded[MAX_PATH];
        DWORD n = ExpandEnvironmentStringsW(folder.c_str(), expanded, MAX_PATH);
        if (n > 0 && n <= MAX_PATH)
            folder = expanded;
        if (FindInWindowsFolder(folder, file, path))
            return true;
        start = end + 1;
    }
    return false;
}

// A loaded object whose file name is the module's file name, without regard to case.
bool FindLoadedByName(const std::wstring& file, SLoadedObject& found)
{
    for (SLoadedObject& object : LoadedObjects())
    {
        if (winport::fleet::NamesEqual(FromUtf8(FileNameOf(object.path)), file))
        {
            found = std::move(object);
            return true;
        }
    }
    return false;
}

// Why dlopen refused a file that exists: no ELF library of this machine is a bad format; a
// library whose dependencies are missing is "module not found", as on Windows.
DWORD LoadFailure(const std::string& path, const char* message)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return winport::posix::ErrnoToWin32(errno);
    ElfW(Ehdr) header;
    ssize_t n = read(fd, &header, sizeof header);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof header) || memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        header.e_type != ET_DYN)
        return ERROR_BAD_EXE_FORMAT;
    std::string text = message != nullptr ? message : "";
    if (text.find("cannot open shared object file") != std::string::npos)
        return ERROR_MOD_NOT_FOUND;
    if (text.find("undefined symbol") != std::string::npos)
        return ERROR_PROC_NOT_FOUND;
    return ERROR_BAD_EXE_FORMAT;
}

HMODULE Fail(DWORD code)
{
    SetLastError(code);
    return nullptr;
}

HMODULE AsModule(uintptr_t base)
{
    return reinterpret_cast<HMODULE>(base);
}

// Loads the file at a Linux path, or adds a reference to it when it is loaded already.
HMODULE Load(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return Fail(ERROR_MOD_NOT_FOUND);
    if (S_ISDIR(st.st_mode))
        return Fail(ERROR_ACCESS_DENIED);
    if (!S_ISREG(st.st_mode))
        return Fail(ERROR_BAD_EXE_FORMAT); // a pipe or device would block the loader
    struct stat self;
    if (stat("/proc/self/exe", &self) == 0 && self.st_dev == st.st_dev && self.st_ino == st.st_ino)
        return AsModule(ProgramBase());
    std::lock_guard<std::recursive_mutex> guard(s_Lock);
    for (auto& [base, module] : Modules())
    {
        if (module.device == st.st_dev && module.inode == st.st_ino)
        {
            ++module.references;
            return AsModule(base);
        }
    }
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
        return Fail(LoadFailure(path, dlerror()));
    uintptr_t base = BaseOf(handle);
    if (base == 0)
    {
        dlclose(handle);
        return Fail(ERROR_BAD_EXE_FORMAT);
    }
    auto it = Modules().find(base);
    if (it != Modules().end())
    {
        // The loader knew it under this name already (a file that replaced a loaded one).
        ++it->second.references;
        dlclose(handle);
        return AsModule(base);
    }
    SModule& module = Modules()[base];
    module.handle = handle;
    module.windowsPath = winport::fleet::HostPathToWindows(path);
    module.device = st.st_dev;
    module.inode = st.st_ino;
    module.references = 1;
    return AsModule(base);
}

// Adds a reference to an object the loader has mapped already (it may have been renamed since).
HMODULE LoadLoaded(const SLoadedObject& loaded)
{
    if (loaded.program)
        return AsModule(loaded.base);
    std::lock_guard<std::recursive_mutex> guard(s_Lock);
    auto it = Modules().find(loaded.base);
    if (it != Modules().end())
    {
        ++it->second.references;
        return AsModule(loaded.base);
    }
    void* handle = dlopen(loaded.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr || BaseOf(handle) != loaded.base)
    {
        if (handle != nullptr)
            dlclose(handle);
        return Load(loaded.path); // it went meanwhile
    }
    struct stat st = {};
    stat(loaded.path.c_str(), &st);
    SModule& module = Modules()[loaded.base];
    module.handle = handle;
    module.windowsPath = winport::fleet::HostPathToWindows(loaded.path);
    module.device = st.st_dev;
    module.inode = st.st_ino;
    module.references = 1;
    return AsModule(loaded.base);
}

} // namespace

HMODULE LoadLibraryW(LPCWSTR fileName)
{
    return LoadLibraryExW(fileName, nullptr, 0);
}

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE file, DWORD flags)
{
    const DWORD known = DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE |
                        LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_LIBRARY_AS_IMAGE_RESOURCE |
                        LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE;
    if (fileName == nullptr || *fileName == L'\0' || file != nullptr || (flags & ~known) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((flags & ~static_cast<DWORD>(LOAD_WITH_ALTERED_SEARCH_PATH)) != 0)
        return Fail(ERROR_NOT_SUPPORTED);
    std::wstring name = fileName;
    std::string path;
    if (IsPath(name))
    {
        size_t start = name.find_last_of(L"\\/:");
        DWORD rc = winport::fleet::MapPath(name.substr(0, start + 1) + ModuleFileName(name), path);
        if (rc != ERROR_SUCCESS)
            return Fail(
                rc == ERROR_ACCESS_DENIED || rc == ERROR_INVALID_NAME ? rc : ERROR_MOD_NOT_FOUND);
        return Load(path);
    }
    std::wstring moduleFile = ModuleFileName(name);
    // A module of that name that is loaded already is used wherever it came from.
    SLoadedObject loaded;
    if (FindLoadedByName(moduleFile, loaded))
        return LoadLoaded(loaded);
    if (!Search(moduleFile, path))
        return Fail(ERROR_MOD_NOT_FOUND);
    return Load(path);
}

BOOL FreeLibrary(HMODULE module)
{
    uintptr_t base = reinterpret_cast<uintptr_t>(module);
    std::lock_guard<std::recursive_mutex> guard(s_Lock);
    auto it = Modules().find(base);
    if (it != Modules().end())
    {
        if (--it->second.references == 0)
        {
            void* handle = it->second.handle;
            Modules().erase(it);
            dlclose(handle);
        }
        return TRUE;
    }
    // The program and the libraries it was linked with stay until it ends.
    SLoadedObject loaded;
    if (module != nullptr && FindLoaded(base, loaded))
        return TRUE;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    uintptr_t base = reinterpret_cast<uintptr_t>(module);
    std::lock_guard<std::recursive_mutex> guard(s_Lock);
    void* handle = nullptr;
    bool own = false;
    auto it = Modules().find(base);
    SLoadedObject loaded;
    if (it != Modules().end())
        handle = it->second.handle;
    else if (module != nullptr && FindLoaded(base, loaded))
    {
        handle = dlopen(loaded.program ? nullptr : loaded.path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        own = handle != nullptr;
    }
    if (handle == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    // Names below 0x10000 are ordinals, which ELF libraries do not have.
    void* symbol = nullptr;
    if (reinterpret_cast<uintptr_t>(procName) >= 0x10000)
        symbol = dlsym(handle, procName);
    // dlsym also searches the module's dependencies; Windows looks at the module's exports.
    Dl_info info;
    if (symbol != nullptr &&
        (dladdr(symbol, &info) == 0 || reinterpret_cast<uintptr_t>(info.dli_fbase) != base))
        symbol = nullptr;
    if (own)
        dlclose(handle);
    if (symbol == nullptr)
    {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return std::bit_cast<FARPROC>(symbol);
}

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (moduleName == nullptr)
        return AsModule(ProgramBase());
    std::wstring name = moduleName;
    if (name.empty())
        return Fail(ERROR_MOD_NOT_FOUND);
    std::lock_guard<std::recursive_mutex> guard(s_Lock);
    SLoadedObject loaded;
    if (!IsPath(name))
        return FindLoadedByName(ModuleFileName(name), loaded) ? AsModule(loaded.base)
                                                              : Fail(ERROR_MOD_NOT_FOUND);
    std::string path;
    size_t start = name.find_last_of(L"\\/:");
    struct stat wanted;
    if (winport::fleet::MapPath(name.substr(0, start + 1) + ModuleFileName(name), path) !=
            ERROR_SUCCESS ||
        stat(path.c_str(), &wanted) != 0)
        return Fail(ERROR_MOD_NOT_FOUND);
    for (const SLoadedObject& object : LoadedObjects())
    {
        struct stat st;
        if (stat(object.path.c_str(), &st) == 0 && st.st_dev == wanted.st_dev &&
            st.st_ino == wanted.st_ino)
            return AsModule(object.base);
    }
    return Fail(ERROR_MOD_NOT_FOUND);
}

namespace winport::fleet
{

bool LoadedModulePath(HMODULE module, std::wstring& windowsPath)
{
    uintptr_t base = reinterpret_cast<uintptr_t>(module);
    if (module == nullptr)
        return false;
    std::lock_guard<std::recursive_mutex> guard(s_Lock);
    auto it = Modules().find(base);
    if (it != Modules().end())
    {
        windowsPath = it->second.windowsPath;
        return true;
    }
    SLoadedObject loaded;
    if (!FindLoaded(base, loaded))
        return false;
    windowsPath = HostPathToWindows(loaded.path);
    return true;
}

} // namespace winport::fleet
