// The probe runner of the servers:
//   probeinvoker.exe -dll LIBRARY -func FUNCTION [-debug_log LOGFILE] -output OUTFILE
// loads LIBRARY, runs its probe FUNCTION and writes what it found into OUTFILE, a serialized
// object. Its own log goes into LOGFILE (made afresh), which the caller merges into its log.
//   GetExchangeVirtualServers   two items: every Exchange virtual server of the cluster, and
//                               those online on this node, each list joined by ","
// Exit code 0, else the reason: ERROR_INVALID_PARAMETER for bad arguments, the library's load
// error, ERROR_PROC_NOT_FOUND, ERROR_FUNCTION_FAILED when the probe failed, or the output's
// error; an output that was not written whole is removed.
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CProgramDebugLog.h"
#include "framework/Serialization.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinModule.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <cstdio>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

namespace
{

const wchar_t kReceiverName[] = L"CAdvLogProcessor_WriteToFile";
const char kVirtualServersProbe[] = "GetExchangeVirtualServers";
constexpr DWORD kFunctionFailed = 1627; // ERROR_FUNCTION_FAILED

typedef bool (*TGetExchangeVirtualServers)(std::vector<std::wstring>* all,
                                           std::vector<std::wstring>* online);

// What GetExchangeVirtualServers found, as the caller reads it back.
class CExchangeVirtualServers : public ISerializeSupport
{
public:
    int OnSerializeTo(CSerializeStream* stream) override
    {
        stream->WriteString(m_strAll);
        stream->WriteString(m_strOnline);
        return 1;
    }
    int OnSerializeFrom(CSerializeStream* stream) override
    {
        if (!stream->IsHaveDataForRead())
            return 0;
        m_strAll = stream->ReadString();
        if (!stream->IsHaveDataForRead())
            return 0;
        m_strOnline = stream->ReadString();
        return 1;
    }

    std::wstring m_strAll;
    std::wstring m_strOnline;
};

std::wstring Joined(const std::vector<std::wstring>& items)
{
    std::wstring text;
    for (const std::wstring& item : items)
        text += (text.empty() ? L"" : L",") + item;
    return text;
}

// A failure: one log line and the same on the standard error.
DWORD Fail(DWORD code, const std::wstring& message)
{
    if (code == ERROR_SUCCESS)
        code = kFunctionFailed; // a failure is never reported as success
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"probeinvoker: %s (error %u)", message.c_str(), code);
    fprintf(stderr, "probeinvoker: %s (error %u)\n", winport::ToUtf8(message).c_str(),
            static_cast<unsigned>(code));
    return code;
}

// The options, "-name value" each; false with the reason of the first fault. Every option is
// read all the same, so that a fault is logged where -debug_log says.
bool ParseOptions(std::map<std::wstring, std::wstring>& options, std::wstring& reason)
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr)
    {
        reason = L"the command line cannot be read";
        return false;
    }
    for (int i = 1; i < argc; i += 2)
    {
        std::wstring name = argv[i], fault;
        for (wchar_t& c : name)
            c = static_cast<wchar_t>(towlower(c));
        if (name != L"-dll" && name != L"-func" && name != L"-debug_log" && name != L"-output")
            fault = L"unknown argument " + std::wstring(argv[i]);
        else if (i + 1 >= argc || *argv[i + 1] == L'\0')
            fault = L"argument " + name + L" needs a value";
        else if (!options.emplace(name, argv[i + 1]).second)
            fault = L"argument " + name + L" is given twice";
        if (reason.empty())
            reason = fault;
    }
    LocalFree(argv);
    for (const wchar_t* needed : {L"-dll", L"-func", L"-output"})
    {
        if (reason.empty() && options.count(needed) == 0)
            reason = L"argument " + std::wstring(needed) + L" is missing";
    }
    return reason.empty();
}

// Writes the object into a fresh output file; an output not written whole is removed.
DWORD WriteOutput(const std::wstring& path, ISerializeSupport& object)
{
    if (!DeleteFileW(path.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
        return Fail(GetLastError(), L"cannot replace the output " + path);
    CPersistentStorageFile storage(path);
    if (CSerializer::SerializeObjectToStorage(&object, &storage))
        return ERROR_SUCCESS;
    DeleteFileW(path.c_str());
    return Fail(ERROR_WRITE_FAULT, L"cannot write the output " + path);
}

DWORD Run(const std::map<std::wstring, std::wstring>& options)
{
    const std::wstring& library = options.at(L"-dll");
    const std::wstring& function = options.at(L"-func");
    const std::wstring& output = options.at(L"-output");
    ADVLOG(ADVLOG_SEVERITY_INFO, L"probeinvoker: running %s of %s", function.c_str(),
           library.c_str());
    HMODULE module = LoadLibraryW(library.c_str());
    if (module == nullptr)
        return Fail(GetLastError(), L"cannot load " + library);
    std::string name = winport::ToUtf8(function);
    FARPROC entry = GetProcAddress(module, name.c_str());
    DWORD rc = ERROR_SUCCESS;
    if (entry == nullptr)
        rc = Fail(ERROR_PROC_NOT_FOUND, library + L" has no function " + function);
    else if (name != kVirtualServersProbe)
        rc = Fail(ERROR_INVALID_FUNCTION, L"no probe is called " + function);
    else
    {
        std::vector<std::wstring> all, online;
        if (!reinterpret_cast<TGetExchangeVirtualServers>(entry)(&all, &online))
            rc = Fail(kFunctionFailed, function + L" failed");
        else
        {
            CExchangeVirtualServers found;
            found.m_strAll = Joined(all);
            found.m_strOnline = Joined(online);
            ADVLOG(ADVLOG_SEVERITY_INFO,
                   L"probeinvoker: Exchange virtual servers: all '%s', online here '%s'",
                   found.m_strAll.c_str(), found.m_strOnline.c_str());
            rc = WriteOutput(output, found);
        }
    }
    FreeLibrary(module);
    if (rc == ERROR_SUCCESS)
        ADVLOG(ADVLOG_SEVERITY_INFO, L"probeinvoker: wrote %s", output.c_str());
    return rc;
}

} // namespace

int main()
{
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return 70;
    std::map<std::wstring, std::wstring> options;
    std::wstring reason;
    bool parsed = ParseOptions(options, reason);
    // The log: the file the caller named, else the program's own.
    auto log = options.find(L"-debug_log");
    if (log != options.end())
    {
        DeleteFileW(log->second.c_str());
        auto* receiver = new CAdvLogProcessor_WriteToFile();
        receiver->SetLogFile(log->second.c_str());
        if (!CAdvancedLog::GetProcessLevelInstance()->RegisterLogProcessor(receiver, kReceiverName,
                                                                           nullptr))
            delete receiver;
    }
    else
        CProgramDebugLog::Start();
    ADVLOG(ADVLOG_SEVERITY_INFO, L"probeinvoker: started, command line: %s", GetCommandLineW());
    DWORD rc = parsed ? Run(options) : Fail(ERROR_INVALID_PARAMETER, reason);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"probeinvoker: ending with %u", rc);
    CProgramDebugLog::Stop();
    FreeFrameworkGlobalVariables();
    return static_cast<int>(rc);
}
