// Linux only: processes and threads. The machine server starts a process and is its parent;
// this side finds the program by the Windows rules, prepares its command line, environment and
// folder, and wraps the server's process and thread handles. Threads are std::threads whose
// end the server hears, so that their handles can be waited on with any other object.
#include "winport/WinProcess.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/fleet/ServerObject.h"
#include "winport/posix/PosixSupport.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

using namespace machine::protocol;
using winport::fleet::CServerObject;
using winport::posix::CMachineConnection;

namespace
{

BOOL Refused(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

bool IsFile(const std::wstring& windowsPath, std::string& hostPath)
{
    struct stat st;
    return winport::fleet::MapPath(windowsPath, hostPath) == ERROR_SUCCESS &&
           stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HasExtension(const std::wstring& name)
{
    size_t slash = name.find_last_of(L"\\/");
    size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
}

bool EndsWith(const std::wstring& name, const wchar_t* suffix)
{
    size_t length = wcslen(suffix);
    return name.size() >= length && _wcsicmp(name.c_str() + name.size() - length, suffix) == 0;
}

std::wstring FolderOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring Variable(const wchar_t* name)
{
    wchar_t buffer[4096];
    DWORD n = GetEnvironmentVariableW(name, buffer, 4096);
    return n > 0 && n < 4096 ? std::wstring(buffer, n) : std::wstring();
}

// The folders a program name without a path is looked for in, in Windows' order.
std::vector<std::wstring> SearchFolders()
{
    std::vector<std::wstring> folders;
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        folders.push_back(FolderOf(std::wstring(buffer, n)));
    n = GetCurrentDirectoryW(MAX_PATH, buffer);
    if (n > 0 && n < MAX_PATH)
        folders.emplace_back(buffer, n);
    std::wstring root = Variable(L"SystemRoot");
    if (root.empty())
        root = L"C:\\Windows";
    folders.push_back(root + L"\\System32");
    folders.push_back(root);
    std::wstring path = Variable(L"PATH");
    size_t start = 0;
    while (start < path.size())
    {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (end > start)
            folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

// A program name as Windows finds it: ".exe" added when it has no extension (our own
// programs built without one are found as named, too), searched when it has no path.
bool FindProgram(const std::wstring& name, bool search, std::string& hostPath)
{
    std::vector<std::wstring> names;
    if (!HasExtension(name))
        names.push_back(name + L".exe");
    names.push_back(name);
    bool hasPath = name.find_first_of(L"\\/:") != std::wstring::npos;
    for (const std::wstring& candidate : names)
    {
        if (hasPath || !search)
        {
            if (IsFile(candidate, hostPath))
                return true;
            continue;
        }
        for (const std::wstring& folder : SearchFolders())
        {
            if (IsFile(folder + L"\\" + candidate, hostPath))
                return true;
        }
    }
    return false;
}

// The program of a command line without an application name: a quoted first item, else the
// shortest run of blank-separated words that names a program ("C:\Program Files\a b.exe").
bool ProgramOfCommandLine(const std::wstring& commandLine, std::string& hostPath,
                          std::wstring& program)
{
    const wchar_t* p = commandLine.c_str();
    while (*p == L' ' || *p == L'\t')
        ++p;
    if (*p == L'"')
    {
        const wchar_t* close = wcschr(p + 1, L'"');
        program = close != nullptr ? std::wstring(p + 1, close) : std::wstring(p + 1);
        return FindProgram(program, true, hostPath);
    }
    std::wstring rest = p;
    size_t end = 0;
    for (;;)
    {
        end = rest.find_first_of(L" \t", end);
        program = rest.substr(0, end);
        if (FindProgram(program, true, hostPath))
            return true;
        if (end == std::wstring::npos)
            return false;
        ++end;
    }
}

// The command processor: cmd.exe in the machine's System32 when it is there, else the one beside
// fleetkit.dll (the build's or the package's bin folder, as for the machine server).
bool CommandProcessor(std::string& hostPath, std::wstring& windowsPath)
{
    std::wstring root = Variable(L"SystemRoot");
    windowsPath = (root.empty() ? std::wstring(L"C:\\Windows") : root) + L"\\System32\\cmd.exe";
    if (IsFile(windowsPath, hostPath))
        return true;
    static const int s_Anchor = 0;
    Dl_info info;
    if (dladdr(&s_Anchor, &info) == 0 || info.dli_fname == nullptr)
        return false;
    std::string library = info.dli_fname;
    hostPath = library.substr(0, library.rfind('/') + 1) + "cmd.exe";
    struct stat st;
    if (stat(hostPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    windowsPath = winport::fleet::HostPathToWindows(hostPath);
    return true;
}

// What follows the program in a command line: after the closing quote of a quoted program,
// after the words that named an unquoted one, else after the first word.
std::wstring ArgumentsAfterProgram(const std::wstring& line, const std::wstring& unquotedProgram)
{
    size_t start = line.find_first_not_of(L" \t");
    if (start == std::wstring::npos)
        return std::wstring();
    size_t end;
    if (line[start] == L'"')
    {
        end = line.find(L'"', start + 1);
        end = end == std::wstring::npos ? line.size() : end + 1;
    }
    else if (!unquotedProgram.empty() &&
             line.compare(start, unquotedProgram.size(), unquotedProgram) == 0)
        end = start + unquotedProgram.size();
    else
        end = line.find_first_of(L" \t", start);
    size_t rest =
        end == std::wstring::npos ? std::wstring::npos : line.find_first_not_of(L" \t", end);
    return rest == std::wstring::npos ? std::wstring() : line.substr(rest);
}

std::vector<std::pair<std::wstring, std::wstring>> GivenEnvironment(LPVOID block, bool wide)
{
    std::vector<std::pair<std::wstring, std::wstring>> variables;
    auto add = [&variables](const std::wstring& item)
    {
        size_t equals = item.find(L'=', 1);
        if (equals != std::wstring::npos)
            variables.emplace_back(item.substr(0, equals), item.substr(equals + 1));
    };
    if (wide)
    {
        for (auto* p = static_cast<const wchar_t*>(block); *p != L'\0'; p += wcslen(p) + 1)
            add(p);
    }
    else
    {
        for (auto* p = static_cast<const char*>(block); *p != '\0'; p += strlen(p) + 1)
        {
            int length = static_cast<int>(strlen(p));
            std::wstring item(static_cast<size_t>(length), L'\0');
            item.resize(static_cast<size_t>(
                MultiByteToWideChar(CP_ACP, 0, p, length, item.data(), length)));
            add(item);
        }
    }
    return variables;
}

// The Linux environment of a child: this process's, with the child's Windows environment and
// command line; the server adds where it runs.
std::string ChildEnvironment(const std::wstring& commandLine,
                             const std::vector<std::pair<std::wstring, std::wstring>>& windows)
{
    std::string block;
    for (char** item = environ; *item != nullptr; ++item)
    {
        if (strncmp(*item, "FLEET_ENVIRONMENT=", 18) == 0 ||
            strncmp(*item, "FLEET_COMMAND_LINE=", 19) == 0)
            continue;
        block += *item;
        block.push_back('\0');
    }
    block += "FLEET_ENVIRONMENT=" + winport::fleet::EncodeEnvironment(windows);
    block.push_back('\0');
    block += "FLEET_COMMAND_LINE=" + winport::ToUtf8(commandLine);
    block.push_back('\0');
    return block;
}

BOOL Launch(HANDLE token, const std::string& hostPath, const std::wstring& line, DWORD flags,
            LPVOID environment, LPCWSTR currentDirectory, LPPROCESS_INFORMATION information);

BOOL StartProcess(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine, DWORD flags,
                  LPVOID environment, LPCWSTR currentDirectory, LPPROCESS_INFORMATION information)
{
    if (information == nullptr || (applicationName == nullptr && commandLine == nullptr))
        return Refused(ERROR_INVALID_PARAMETER);
    std::wstring line = commandLine != nullptr ? commandLine : L"";
    std::string hostPath;
    std::wstring program;
    if (applicationName != nullptr)
    {
        // Named outright: no search and no extension added.
        program = applicationName;
        if (!IsFile(program, hostPath))
            return Refused(ERROR_FILE_NOT_FOUND);
        if (line.empty())
            line = L"\"" + program + L"\"";
    }
    else if (!ProgramOfCommandLine(line, hostPath, program))
        return Refused(ERROR_FILE_NOT_FOUND);
    if (EndsWith(program, L".bat") || EndsWith(program, L".cmd"))
    {
        // A script runs in the command processor, as Windows starts it:
        // cmd.exe /c ""SCRIPT" ARGUMENTS", the outer quotes being the ones /c takes off.
        std::string processor;
        std::wstring processorName;
        if (!CommandProcessor(processor, processorName))
            return Refused(ERROR_FILE_NOT_FOUND);
        std::wstring arguments =
            ArgumentsAfterProgram(line, applicationName == nullptr ? program : std::wstring());
        line = L"\"" + processorName + L"\" /c \"\"" + winport::fleet::HostPathToWindows(hostPath) +
               L"\"" + (arguments.empty() ? L"" : L" " + arguments) + L"\"";
        hostPath = processor;
    }
    return Launch(token, hostPath, line, flags, environment, currentDirectory, information);
}

// Has the machine server start the program at hostPath with the Windows command line.
BOOL Launch(HANDLE token, const std::string& hostPath, const std::wstring& line, DWORD flags,
            LPVOID environment, LPCWSTR currentDirectory, LPPROCESS_INFORMATION information)
{
    SCreateProcessRequest request;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::string> arguments;
    for (int i = 0; argv != nullptr && i < count; ++i)
        arguments.push_back(winport::ToUtf8(argv[i]));
    LocalFree(argv);
    if (arguments.empty())
        arguments.push_back(hostPath);
    request.program = hostPath;
    for (const std::string& argument : arguments)
    {
        request.arguments += argument;
        request.arguments.push_back('\0');
    }
    request.environment = ChildEnvironment(
        line, environment != nullptr
                  ? GivenEnvironment(environment, (flags & CREATE_UNICODE_ENVIRONMENT) != 0)
                  : winport::fleet::ProcessEnvironment());
    if (currentDirectory != nullptr)
    {
        struct stat st;
        if (winport::fleet::MapPath(currentDirectory, request.folder) != ERROR_SUCCESS ||
            stat(request.folder.c_str(), &st) != 0)
            return Refused(ERROR_DIRECTORY);
        if (!S_ISDIR(st.st_mode))
            return Refused(ERROR_DIRECTORY);
    }
    else
    {
        char folder[4096];
        if (getcwd(folder, sizeof folder) != nullptr)
            request.folder = folder;
    }
    std::wstring user, password;
    if (token != nullptr)
    {
        if (!winport::security::TokenLogonCredentials(token, user, password))
            return Refused(ERROR_INVALID_HANDLE);
        request.user = winport::ToUtf8(user);
        request.password = winport::ToUtf8(password);
        std::fill(password.begin(), password.end(), L'\0');
    }
    request.suspended = (flags & CREATE_SUSPENDED) != 0 ? 1 : 0;
    request.stdioCount = 3;

    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = CMachineConnection::Local(connection);
    SCreateProcessReply reply;
    if (rc == ERROR_SUCCESS)
        rc = connection->Call(request, reply, {0, 1, 2});
    std::fill(request.password.begin(), request.password.end(), '\0');
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
        return Refused(rc);
    information->hProcess = winport::posix::InsertHandle(
        std::make_shared<CServerObject>(connection, reply.process, EObjectKind::Process));
    information->hThread = winport::posix::InsertHandle(
        std::make_shared<CServerObject>(connection, reply.thread, EObjectKind::Thread));
    information->dwProcessId = reply.processId;
    information->dwThreadId = reply.threadId;
    return TRUE;
}

std::shared_ptr<CServerObject> ObjectOfKind(HANDLE handle, EObjectKind kind)
{
    std::shared_ptr<CServerObject> object = winport::fleet::ServerObject(handle);
    return object && object->m_Kind == kind ? object : nullptr;
}

bool Query(HANDLE handle, EObjectKind kind, SQueryObjectReply& reply)
{
    std::shared_ptr<CServerObject> object = ObjectOfKind(handle, kind);
    if (!object)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    SQueryObjectRequest request;
    request.handle = object->m_Handle;
    DWORD rc = object->m_Connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return false;
    }
    return true;
}

// ---- Threads -----------------------------------------------------------------------------------

// A thread of this process: its gate (held shut while it is suspended) and its server object.
class CThread : public CServerObject
{
public:
    using CServerObject::CServerObject;
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    DWORD m_SuspendCount = 0;
};

HANDLE StartThread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags, LPDWORD threadId)
{
    if (start == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = CMachineConnection::Local(connection);
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return nullptr;
    }
    // The thread starts at once, learns its id, and waits at its gate until it is registered
    // with the server (and resumed, when created suspended).
    struct SStart
    {
        std::mutex lock;
        std::condition_variable ready;
        DWORD id = 0;
        std::shared_ptr<CThread> self;
        bool registered = false;
    };
    auto begin = std::make_shared<SStart>();
    std::thread thread(
        [begin, start, parameter]
        {
            std::shared_ptr<CThread> self;
            {
                std::unique_lock<std::mutex> guard(begin->lock);
                begin->id = GetCurrentThreadId();
                begin->ready.notify_all();
                begin->ready.wait(guard, [&begin] { return begin->registered; });
                self = begin->self;
            }
            if (!self)
                return; // it could not be registered
            {
                std::unique_lock<std::mutex> guard(self->m_Lock);
                self->m_Changed.wait(guard, [&self] { return self->m_SuspendCount == 0; });
            }
            DWORD code = start(parameter);
            SEndObjectRequest end;
            end.handle = self->m_Handle;
            end.exitCode = code;
            SStatusReply reply;
            self->m_Connection->Call(end, reply);
        });
    std::unique_lock<std::mutex> guard(begin->lock);
    begin->ready.wait(guard, [&begin] { return begin->id != 0; });
    SCreateThreadRequest request;
    request.threadId = begin->id;
    SObjectReply reply;
    rc = connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc == ERROR_SUCCESS)
    {
        begin->self = std::make_shared<CThread>(connection, reply.handle, EObjectKind::Thread);
        begin->self->m_SuspendCount = (flags & CREATE_SUSPENDED) != 0 ? 1 : 0;
    }
    begin->registered = true;
    begin->ready.notify_all();
    std::shared_ptr<CThread> self = begin->self;
    DWORD id = begin->id;
    guard.unlock();
    thread.detach(); // nothing joins a Windows thread; its handle is what one waits on
    if (!self)
    {
        SetLastError(rc);
        return nullptr;
    }
    if (threadId != nullptr)
        *threadId = id;
    return winport::posix::InsertHandle(self);
}

} // namespace

namespace
{
// A Linux exit status keeps the low byte of a code: the machine server hears the whole of it.
void ReportExitCode(UINT exitCode)
{
    if (exitCode <= 0xFF)
        return;
    SExitCodeRequest request;
    request.exitCode = exitCode;
    SStatusReply reply;
    winport::fleet::AskServer(request, reply);
}
} // namespace

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, SECURITY_ATTRIBUTES*,
                    SECURITY_ATTRIBUTES*, BOOL, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW, LPPROCESS_INFORMATION information)
{
    return StartProcess(nullptr, applicationName, commandLine, creationFlags, environment,
                        currentDirectory, information);
}

BOOL CreateProcessAsUserW(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                          SECURITY_ATTRIBUTES*, SECURITY_ATTRIBUTES*, BOOL, DWORD creationFlags,
                          LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW,
                          LPPROCESS_INFORMATION information)
{
    if (token == nullptr)
        return Refused(ERROR_INVALID_HANDLE);
    return StartProcess(token, applicationName, commandLine, creationFlags, environment,
                        currentDirectory, information);
}

int _wsystem(const wchar_t* command)
{
    // %ComSpec% when it names a program, else the command processor found as for scripts.
    std::string hostPath;
    std::wstring processor = Variable(L"ComSpec");
    bool found = (!processor.empty() && IsFile(processor, hostPath)) ||
                 CommandProcessor(hostPath, processor);
    if (command == nullptr)
    {
        if (!found)
            errno = ENOENT;
        return found ? 1 : 0;
    }
    if (!found)
    {
        errno = ENOENT;
        return -1;
    }
    fflush(nullptr); // what this process wrote comes before what the command writes
    PROCESS_INFORMATION information{};
    if (!Launch(nullptr, hostPath, L"\"" + processor + L"\" /c " + command, 0, nullptr, nullptr,
                &information))
    {
        DWORD error = GetLastError();
        errno = error == ERROR_NOT_ENOUGH_MEMORY ? ENOMEM
                : error == ERROR_ACCESS_DENIED   ? EACCES
                                                 : ENOENT;
        return -1;
    }
    DWORD code = 0;
    WaitForSingleObject(information.hProcess, INFINITE);
    GetExitCodeProcess(information.hProcess, &code);
    CloseHandle(information.hThread);
    CloseHandle(information.hProcess);
    return static_cast<int>(code);
}

HANDLE OpenProcess(DWORD desiredAccess, BOOL, DWORD processId)
{
    SOpenProcessRequest request;
    request.processId = processId;
    request.access = desiredAccess;
    request.debugPrivilege = winport::security::ThreadPrivilegeEnabled(20 /* SeDebugPrivilege */);
    std::shared_ptr<CMachineConnection> connection;
    SObjectReply reply;
    DWORD rc = winport::fleet::AskServer(request, reply, &connection);
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return nullptr;
    }
    return winport::posix::InsertHandle(
        std::make_shared<CServerObject>(connection, reply.handle, EObjectKind::Process));
}

BOOL TerminateProcess(HANDLE process, UINT exitCode)
{
    if (process == GetCurrentProcess())
    {
        ReportExitCode(exitCode);
        _exit(static_cast<int>(exitCode & 0xFF));
    }
    std::shared_ptr<CServerObject> object = ObjectOfKind(process, EObjectKind::Process);
    if (!object)
        return Refused(ERROR_INVALID_HANDLE);
    SEndObjectRequest request;
    request.handle = object->m_Handle;
    request.exitCode = exitCode;
    SStatusReply reply;
    DWORD rc = object->m_Connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    return rc == ERROR_SUCCESS ? TRUE : Refused(rc);
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    if (exitCode == nullptr)
        return Refused(ERROR_INVALID_PARAMETER);
    if (process == GetCurrentProcess())
    {
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    SQueryObjectReply reply;
    if (!Query(process, EObjectKind::Process, reply))
        return FALSE;
    *exitCode = reply.exitCode;
    return TRUE;
}

DWORD GetProcessId(HANDLE process)
{
    if (process == GetCurrentProcess())
        return GetCurrentProcessId();
    SQueryObjectReply reply;
    return Query(process, EObjectKind::Process, reply) ? reply.id : 0;
}

LPWSTR GetCommandLineW()
{
    // As the parent gave it; a process started from Linux has its arguments quoted back.
    static std::wstring* s_pLine = []
    {
        const char* given = getenv("FLEET_COMMAND_LINE");
        if (given != nullptr)
            return new std::wstring(winport::FromUtf8(given));
        std::string arguments;
        winport::posix::ReadWholeFile("/proc/self/cmdline", arguments);
        auto* line = new std::wstring();
        size_t start = 0;
        while (start < arguments.size())
        {
            size_t end = arguments.find('\0', start);
            if (end == std::string::npos)
                end = arguments.size();
            std::wstring argument = winport::FromUtf8(arguments.substr(start, end - start));
            if (!line->empty())
                line->push_back(L' ');
            if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
                *line += argument;
            else
            {
                // Backslashes double only before a quote, as CommandLineToArgvW reads them.
                line->push_back(L'"');
                size_t backslashes = 0;
                for (wchar_t c : argument)
                {
                    if (c == L'\\')
                        ++backslashes;
                    else
                    {
                        if (c == L'"')
                            line->append(backslashes + 1, L'\\');
                        backslashes = 0;
                    }
                    line->push_back(c);
                }
                line->append(backslashes, L'\\');
                line->push_back(L'"');
            }
            start = end + 1;
        }
        return line;
    }();
    return s_pLine->data();
}

void ExitProcess(UINT exitCode)
{
    ReportExitCode(exitCode);
    fflush(nullptr);
    exit(static_cast<int>(exitCode & 0xFF));
}

HANDLE CreateThread(SECURITY_ATTRIBUTES*, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD creationFlags, LPDWORD threadId)
{
    return StartThread(start, parameter, creationFlags, threadId);
}

uintptr_t _beginthreadex(void*, unsigned, unsigned (*start)(void*), void* argument,
                         unsigned initFlag, unsigned* threadId)
{
    // The CRT's routine returns unsigned; it is called through the Win32 shape.
    struct SCall
    {
        unsigned (*start)(void*);
        void* argument;
    };
    auto* call = new SCall{start, argument};
    DWORD id = 0;
    HANDLE handle = StartThread(
        [](LPVOID parameter) -> DWORD
        {
            std::unique_ptr<SCall> owned(static_cast<SCall*>(parameter));
            return owned->start(owned->argument);
        },
        call, initFlag, &id);
    if (handle == nullptr)
    {
        delete call;
        errno = EAGAIN;
        return 0;
    }
    if (threadId != nullptr)
        *threadId = id;
    return reinterpret_cast<uintptr_t>(handle);
}

DWORD ResumeThread(HANDLE thread)
{
    auto local = std::dynamic_pointer_cast<CThread>(winport::posix::LookupHandle(thread));
    if (local)
    {
        std::lock_guard<std::mutex> guard(local->m_Lock);
        DWORD previous = local->m_SuspendCount;
        if (previous > 0 && --local->m_SuspendCount == 0)
            local->m_Changed.notify_all();
        return previous;
    }
    // The main thread of a process started suspended.
    std::shared_ptr<CServerObject> object = ObjectOfKind(thread, EObjectKind::Thread);
    if (!object)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<DWORD>(-1);
    }
    SResumeThreadRequest request;
    request.handle = object->m_Handle;
    SWaitReply reply;
    DWORD rc = object->m_Connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(rc);
        return static_cast<DWORD>(-1);
    }
    return reply.result;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    if (exitCode == nullptr)
        return Refused(ERROR_INVALID_PARAMETER);
    SQueryObjectReply reply;
    if (!Query(thread, EObjectKind::Thread, reply))
        return FALSE;
    *exitCode = reply.exitCode;
    return TRUE;
}

DWORD GetThreadId(HANDLE thread)
{
    if (thread == GetCurrentThread())
        return GetCurrentThreadId();
    SQueryObjectReply reply;
    return Query(thread, EObjectKind::Thread, reply) ? reply.id : 0;
}
