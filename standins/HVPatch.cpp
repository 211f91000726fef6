// Stand-in for the patch engine of a package: runs the custom actions that the script
// "hotfix.ini" of its folder lists, one by one through the custom action host beside it, and
// rolls back what ran when one of them fails (docs/ENGINE.md).
//
//   HVPatch.exe [/u] [/s]
//
// /u runs the uninstall list instead of the install list; /s keeps standard output silent.
// Exit codes: 0 all actions succeeded, 1 an action failed and was rolled back, 2 an action failed
// and its rollback failed too, 3 bad script, 4 bad command line.
#include "framework/CAdvancedLog.h"
#include "framework/CFrameworkGlobalVariables.h"
#include "framework/CProgramDebugLog.h"
#include "framework/CPropertyManager.h"
#include "framework/Serialization.h"
#include "setupsupport/CActionGlobalResource.h"
#include "setupsupport/CProcessOperation.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr int kDone = 0, kRolledBack = 1, kRollbackFailed = 2, kBadScript = 3, kBadCommandLine = 4;

constexpr size_t kMaxScriptBytes = 4 * 1024 * 1024;

struct SSection
{
    std::wstring name;
    std::vector<std::pair<std::wstring, std::wstring>> entries; // in file order
};

// One run of the host: what it loads and calls, and how.
struct SStep
{
    std::wstring library;
    std::wstring function;
    std::wstring parameters;
    int timeLimit = -1;
    int runMode = 0;
};

struct SAction
{
    std::wstring name;
    SStep run;
    SStep rollback; // rollback.function empty: the action has no rollback
};

bool g_Console = true;

// One line of the engine's user interface: to the log always, to standard output unless /s.
void Say(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& text)
{
    ADVLOG(severity, L"HVPatch: %s", text.c_str());
    if (g_Console)
    {
        fputs(winport::ToUtf8(text + L"\n").c_str(), stdout);
        fflush(stdout);
    }
}

// A failure that stops the engine before anything ran: the log and standard error.
int Refuse(int exitCode, const std::wstring& text)
{
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"HVPatch: %s", text.c_str());
    fputs(winport::ToUtf8(L"HVPatch: " + text + L"\n").c_str(), stderr);
    return exitCode;
}

std::wstring Trim(const std::wstring& text)
{
    size_t first = text.find_first_not_of(L" \t\r");
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t\r") - first + 1);
}

// The script's text: UTF-8 (with or without a byte-order mark) when it is valid UTF-8, else
// the machine's ANSI code page, which is what a text-mode write on Windows gives.
bool ReadScript(const std::wstring& path, std::wstring& text, std::wstring& problem)
{
    std::string bytes;
    char buffer[65536];
    FILE* file = _wfopen(path.c_str(), L"rb");
    for (size_t got = 0; file != nullptr && bytes.size() <= kMaxScriptBytes &&
                         (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes.append(buffer, got);
    const wchar_t* fault = file == nullptr                  ? L"cannot be opened"
                           : ferror(file) != 0              ? L"cannot be read"
                           : bytes.size() > kMaxScriptBytes ? L"is too large"
                           : bytes.find('\0') != std::string::npos
                               ? L"holds NUL bytes: write it in UTF-8 or ANSI"
                               : nullptr;
    if (file != nullptr)
        fclose(file);
    if (fault != nullptr)
    {
        problem = L"the script " + path + L" " + fault;
        return false;
    }
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
        bytes.erase(0, 3);
    auto decode = [&](UINT codePage, DWORD flags)
    {
        int size = static_cast<int>(bytes.size());
        int length = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
        text.assign(static_cast<size_t>(length > 0 ? length : 0), L'\0');
        return length > 0 && MultiByteToWideChar(codePage, flags, bytes.data(), size, text.data(),
                                                 length) == length;
    };
    if (!bytes.empty() && !decode(CP_UTF8, MB_ERR_INVALID_CHARS))
        decode(CP_ACP, 0);
    return true;
}

// The INI rules of Windows, in file order: blanks around names and values are trimmed, lines
// without '=' and lines before the first section are ignored, a name found twice counts the
// first time. A section header must be closed, or the keys after it would land elsewhere.
bool ParseScript(const std::wstring& text, std::vector<SSection>& sections, std::wstring& problem)
{
    size_t start = 0;
    for (int number = 1; start < text.size(); ++number)
    {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = Trim(text.substr(start, end - start));
        start = end + 1;
        if (line.empty() || line[0] == L';' || line[0] == L'#')
            continue;
        if (line[0] == L'[')
        {
            size_t close = line.find(L']');
            if (close == std::wstring::npos)
            {
                problem = winport::Format(L"line %d: the section header %s has no ']'", number,
                                          line.c_str());
                return false;
            }
            sections.push_back({Trim(line.substr(1, close - 1)), {}});
            continue;
        }
        size_t equals = line.find(L'=');
        if (!sections.empty() && equals != std::wstring::npos)
            sections.back().entries.emplace_back(Trim(line.substr(0, equals)),
                                                 Trim(line.substr(equals + 1)));
    }
    return true;
}

const SSection* FindSection(const std::vector<SSection>& sections, const std::wstring& name)
{
    for (const SSection& section : sections)
        if (_wcsicmp(section.name.c_str(), name.c_str()) == 0)
            return &section;
    return nullptr;
}

const std::wstring* FindKey(const SSection& section, const std::wstring& key)
{
    for (const auto& [name, value] : section.entries)
        if (_wcsicmp(name.c_str(), key.c_str()) == 0)
            return &value;
    return nullptr;
}

// An optional number key; an empty value counts as absent.
bool ReadNumber(const SSection& section, const std::wstring& key, int low, int high, int& value,
                std::wstring& problem)
{
    const std::wstring* text = FindKey(section, key);
    if (text == nullptr || text->empty())
        return true;
    size_t i = (*text)[0] == L'-' || (*text)[0] == L'+' ? 1 : 0;
    long long number = 0;
    bool ok = i < text->size() && text->size() - i <= 10;
    for (; ok && i < text->size(); ++i)
    {
        ok = (*text)[i] >= L'0' && (*text)[i] <= L'9';
        number = number * 10 + ((*text)[i] - L'0');
    }
    number = (*text)[0] == L'-' ? -number : number;
    if (!ok || number < low || number > high)
    {
        problem = winport::Format(L"[%s] %s=%s is no number from %d to %d", section.name.c_str(),
                                  key.c_str(), text->c_str(), low, high);
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

// A step's keys (prefix "" for the action, "Rollback" for its rollback).
bool ReadStep(const SSection& section, const std::wstring& prefix, SStep& step,
              std::wstring& problem)
{
    if (const std::wstring* library = FindKey(section, prefix + L"Library"))
        step.library = library->empty() ? step.library : *library;
    if (const std::wstring* function = FindKey(section, prefix + L"Function"))
        step.function = *function;
    if (const std::wstring* parameters = FindKey(section, prefix + L"Parameters"))
        step.parameters = *parameters;
    if (!ReadNumber(section, prefix + L"TimeLimit", -1, 2147483, step.timeLimit, problem) ||
        !ReadNumber(section, prefix + L"RunMode", 0, 2, step.runMode, problem))
        return false;
    if (prefix.empty() && (step.library.empty() || step.function.empty()))
        problem = L"[" + section.name + L"] needs both Library and Function";
    else if ((section.name + step.library + step.function).find(L'"') != std::wstring::npos)
        problem = L"[" + section.name + L"] has a quote in its name, a library or a function";
    return problem.empty();
}

// Puts the script's symbols ([ProductInstall.Symbols], names without regard to case) in place of
// "%NAME%" in a parameter string; a symbol's value may use other symbols. Other "%NAME%" stay.
std::wstring ExpandSymbols(std::wstring text, const SSection* symbols)
{
    constexpr int kMaximumRounds = 32; // a symbol that refers to itself ends here
    for (int round = 0; symbols != nullptr && round < kMaximumRounds; ++round)
    {
        bool replaced = false;
        for (const std::wstring& name : CollectMarkedNames(text, L"%"))
            if (const std::wstring* value = name.empty() ? nullptr : FindKey(*symbols, name))
            {
                std::wstring marked = L"%" + name + L"%";
                for (size_t at = text.find(marked); at != std::wstring::npos;
                     at = text.find(marked, at + value->size()))
                    text.replace(at, marked.size(), *value);
                replaced = true;
            }
        if (!replaced)
            break;
    }
    return text;
}

// The actions of a list section, checked whole before anything runs.
bool ReadList(const std::vector<SSection>& sections, const std::wstring& listName,
              std::vector<SAction>& actions, std::wstring& problem)
{
    const SSection* list = FindSection(sections, listName);
    if (list == nullptr)
    {
        problem = L"the script has no [" + listName + L"] section";
        return false;
    }
    for (const auto& [key, value] : list->entries)
    {
        const SSection* section = FindSection(sections, L"Action." + value);
        if (value.empty() || section == nullptr)
        {
            problem = L"[" + listName + L"] " + key + L"=" + value + L" names no section [Action." +
                      value + L"]";
            return false;
        }
        SAction action;
        action.name = section->name.substr(7);
        if (!ReadStep(*section, L"", action.run, problem))
            return false;
        action.rollback.library = action.run.library;
        if (!ReadStep(*section, L"Rollback", action.rollback, problem))
            return false;
        const SSection* symbols = FindSection(sections, L"ProductInstall.Symbols");
        action.run.parameters = ExpandSymbols(action.run.parameters, symbols);
        action.rollback.parameters = ExpandSymbols(action.rollback.parameters, symbols);
        actions.push_back(action);
    }
    return true;
}

// A command-line argument between quotes: backslashes before the closing quote are doubled,
// so that the Windows rules read the value back as it was.
std::wstring Quoted(const std::wstring& value)
{
    size_t last = value.find_last_not_of(L'\\');
    size_t backslashes = last == std::wstring::npos ? value.size() : value.size() - last - 1;
    return L"\"" + value + std::wstring(backslashes, L'\\') + L"\"";
}

// How one run of the custom action host went.
enum class EHostRun
{
    Succeeded,
    Failed,
    NotStarted, // the step did nothing, so it has nothing to undo either
};

// Runs the custom action host for one step and waits for it to end, also when its handle goes
// with the machine's server: the next host must not work on the property file beside it.
EHostRun RunHost(const std::wstring& folder, const std::wstring& name, const SStep& step)
{
    std::wstring host = folder + PackageNames::kActionHost;
    std::wstring parameters = step.parameters;
    for (wchar_t& c : parameters)
        c = c == L'"' ? L'\'' : c; // the host turns them back
    std::wstring line =
        winport::Format(L"%s %s %s %s %d %s %d", Quoted(host).c_str(), Quoted(name).c_str(),
                        Quoted(step.library).c_str(), Quoted(step.function).c_str(), step.timeLimit,
                        Quoted(parameters).c_str(), step.runMode);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"HVPatch: running %s", line.c_str());
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(host.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &process))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"HVPatch: cannot start %s, error %d", host.c_str(),
               static_cast<int>(GetLastError()));
        return EHostRun::NotStarted;
    }
    CloseHandle(process.hThread);
    DWORD code = 0;
    EProcessEnd end =
        CProcessOperation::WaitForProcess(process.hProcess, process.dwProcessId, INFINITE, code);
    CloseHandle(process.hProcess);
    if (end != EProcessEnd::Ended)
    {
        // Whatever it did, its rollback (or the skip the host set up) undoes it.
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"HVPatch: %s %s ended, its exit code is unknown",
               step.library.c_str(), step.function.c_str());
        return EHostRun::Failed;
    }
    ADVLOG(code == 0 ? ADVLOG_SEVERITY_INFO : ADVLOG_SEVERITY_ERROR,
           L"HVPatch: %s %s ended with %u", step.library.c_str(), step.function.c_str(), code);
    return code == 0 ? EHostRun::Succeeded : EHostRun::Failed;
}

// The package's status says "Rollback" from now on, for the actions that look at it. A property
// file that cannot be read is left as it is rather than rewritten without its properties.
void MarkRollback(const std::wstring& folder)
{
    std::wstring path = folder + PackageNames::kPropertyFile;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
    {
        CPropertyManager current;
        CPersistentStorageFile storage(path);
        if (!CSerializer::ConstructObjectFromStorage(&current, &storage))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"HVPatch: %s cannot be read, the status stays as it is",
                   path.c_str());
            return;
        }
        if (current.IsPropertyExist(PackageNames::kInstallationStatus) &&
            current.GetProperty(PackageNames::kInstallationStatus) == L"Rollback")
            return;
    }
    CActionGlobalResource::InitializeResource(path, folder + PackageNames::kMessageBundle);
    CActionGlobalResource::s_pPropertyManager->SetProperty(PackageNames::kInstallationStatus,
                                                           L"Rollback");
    CActionGlobalResource::WritePropertyToFile();
    CActionGlobalResource::UninitializeResource();
    ADVLOG(ADVLOG_SEVERITY_INFO, L"HVPatch: the installation status is now Rollback");
}

// Runs the list; on the first failure, rolls back that action and those before it, backwards.
int RunActions(const std::wstring& folder, const std::vector<SAction>& actions)
{
    size_t failed = actions.size();
    bool started = true;
    for (size_t i = 0; i < actions.size() && failed == actions.size(); ++i)
    {
        const SAction& action = actions[i];
        Say(ADVLOG_SEVERITY_INFO,
            winport::Format(L"Action %d of %d: %s starting", static_cast<int>(i + 1),
                            static_cast<int>(actions.size()), action.name.c_str()));
        EHostRun run = RunHost(folder, action.name, action.run);
        bool ok = run == EHostRun::Succeeded;
        Say(ok ? ADVLOG_SEVERITY_INFO : ADVLOG_SEVERITY_ERROR,
            L"Action " + action.name + (ok ? L" succeeded" : L" failed"));
        if (!ok)
        {
            failed = i;
            started = run != EHostRun::NotStarted;
        }
    }
    if (failed == actions.size())
        return kDone;

    MarkRollback(folder);
    bool rollbackOk = true;
    for (size_t i = failed + 1; i-- > 0;)
    {
        const SAction& action = actions[i];
        bool hasRollback = !action.rollback.function.empty();
        // An action whose host never started has neither work nor a skip run to undo.
        if ((i == failed && !started) || (!hasRollback && i != failed))
            continue;
        // The failed action undid its own work and had the host skip its rollback's next run;
        // that run must be this one even when the action has no rollback.
        SStep step = action.rollback;
        if (!hasRollback)
            step = SStep{action.run.library, L"NoRollback", L"", -1, 0};
        Say(ADVLOG_SEVERITY_INFO, L"Rollback of " + action.name + L" starting");
        bool ok = RunHost(folder, action.name + L".Rollback", step) == EHostRun::Succeeded ||
                  !hasRollback;
        Say(ok ? ADVLOG_SEVERITY_INFO : ADVLOG_SEVERITY_ERROR,
            L"Rollback of " + action.name +
                (!hasRollback ? L" done (none needed)"
                 : ok         ? L" succeeded"
                              : L" failed"));
        rollbackOk = rollbackOk && ok;
    }
    return rollbackOk ? kRolledBack : kRollbackFailed;
}

int Run()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    bool uninstall = false, silent = false, ok = argv != nullptr;
    for (int i = 1; ok && i < argc; ++i)
    {
        uninstall = uninstall || _wcsicmp(argv[i], L"/u") == 0;
        silent = silent || _wcsicmp(argv[i], L"/s") == 0;
        ok = _wcsicmp(argv[i], L"/u") == 0 || _wcsicmp(argv[i], L"/s") == 0;
    }
    LocalFree(argv);
    if (!ok)
        return Refuse(kBadCommandLine, std::wstring(L"bad command line: ") + GetCommandLineW() +
                                           L"\nusage: HVPatch.exe [/u] [/s]");
    g_Console = !silent;

    std::vector<wchar_t> self(32768);
    DWORD n = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    std::wstring folder(self.data(), n < self.size() ? n : 0);
    folder.erase(folder.rfind(L'\\') + 1);
    std::wstring text, problem;
    std::vector<SSection> sections;
    std::vector<SAction> actions;
    const wchar_t* listName = uninstall ? L"Uninstall" : L"Install";
    if (!ReadScript(folder + L"hotfix.ini", text, problem) ||
        !ParseScript(text, sections, problem) || !ReadList(sections, listName, actions, problem))
        return Refuse(kBadScript, L"bad script, nothing was run: " + problem);

    std::wstring name;
    if (const SSection* package = FindSection(sections, L"Package"))
        if (const std::wstring* value = FindKey(*package, L"Name"))
            name = *value;
    Say(ADVLOG_SEVERITY_INFO, winport::Format(L"%s %s: %d actions", listName,
                                              name.empty() ? L"(unnamed package)" : name.c_str(),
                                              static_cast<int>(actions.size())));
    int code = RunActions(folder, actions);
    ADVLOG(code == kDone ? ADVLOG_SEVERITY_INFO : ADVLOG_SEVERITY_ERROR,
           L"HVPatch: %s ended with exit code %d", listName, code);
    return code;
}

} // namespace

int main()
{
    if (winport::fleet::PrepareCurrentMachine() != ERROR_SUCCESS)
        return 70;
    CProgramDebugLog::Start();
    GetFrameworkGlobalVariables();
    int code = Run();
    CProgramDebugLog::Stop();
    FreeFrameworkGlobalVariables();
    return code;
}
