// The process debug log: a hub that formats each call once and hands the line to pluggable
// receivers, in registration order.
#pragma once

#include "winport/WinBase.h"

#include <list>
#include <string>
#include <vector>

enum ADVLOG_SEVERITY_LEVEL : int32_t
{
    ADVLOG_SEVERITY_NONE = 0,
    ADVLOG_SEVERITY_NOISY = 10,
    ADVLOG_SEVERITY_DEBUG = 20,
    ADVLOG_SEVERITY_INFO = 30,
    ADVLOG_SEVERITY_WARNING = 40,
    ADVLOG_SEVERITY_ERROR = 50,
    ADVLOG_SEVERITY_FATAL = 60,
    ADVLOG_SEVERITY_ALWAYS = 100,
};

// Entry kinds passed beside the severity.
enum ADVLOG_ENTRY_KIND : int
{
    ADVLOG_ENTRY_ORDINARY = 0,
    ADVLOG_ENTRY_UNEXPECTED = 1,
    ADVLOG_ENTRY_ENTERED = 2,
    ADVLOG_ENTRY_LEFT = 3,
};

class CAdvancedLog;

// A receiver of log lines.
class ILogProcessor
{
    friend class CAdvancedLog;

public:
    virtual ~ILogProcessor() = default;
    virtual void OnRegister() {}
    virtual void OnUnregister() {}
    // Returns non-zero to let the next receiver have the line, 0 to stop its dispatch.
    virtual int OnLogArrive(SYSTEMTIME& localTime, const std::wstring& timeText,
                            const std::wstring& sourcePath, const std::wstring& fileName,
                            int line, int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                            const std::wstring& message)
    {
        return 1;
    }

    const std::wstring& GetName() const { return m_Name; }

protected:
    unsigned int GetId() const { return m_Id; }
    CAdvancedLog* GetLogHub() const { return m_pHub; }

private:
    unsigned int m_Id = 0;
    std::wstring m_Name;
    CAdvancedLog* m_pHub = nullptr;
};

// Writes each line, tagged and prefixed, to a UTF-8 file with CR LF line ends, flushed per line.
class CAdvLogProcessor_WriteToFile : public ILogProcessor
{
public:
    ~CAdvLogProcessor_WriteToFile() override;
    void OnRegister() override;
    void OnUnregister() override;
    int OnLogArrive(SYSTEMTIME& localTime, const std::wstring& timeText,
                    const std::wstring& sourcePath, const std::wstring& fileName, int line,
                    int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                    const std::wstring& message) override;
    // Stores the path; the file is opened when the receiver is registered.
    virtual int SetLogFile(const wchar_t* path);

private:
    void Close();

    std::wstring m_LogFilePath;
    FILE* m_pStream = nullptr;
    std::wstring m_Line; // reused line buffer, guarded by the hub's lock
};

// Prints the message alone on the console; warnings and errors in bright red.
class CAdvLogProcessor_WriteToConsole : public ILogProcessor
{
public:
    int OnLogArrive(SYSTEMTIME& localTime, const std::wstring& timeText,
                    const std::wstring& sourcePath, const std::wstring& fileName, int line,
                    int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                    const std::wstring& message) override;
};

// Sends the message alone to the debugger output.
class CAdvLogProcessor_RedirectToDbgView : public ILogProcessor
{
public:
    int OnLogArrive(SYSTEMTIME& localTime, const std::wstring& timeText,
                    const std::wstring& sourcePath, const std::wstring& fileName, int line,
                    int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                    const std::wstring& message) override;
};

// Keeps every line in memory.
class CAdvLogProcessor_WriteToMemory : public ILogProcessor
{
public:
    int OnLogArrive(SYSTEMTIME& localTime, const std::wstring& timeText,
                    const std::wstring& sourcePath, const std::wstring& fileName, int line,
                    int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                    const std::wstring& message) override;

protected:
    std::wstring m_Separator = L"  - ";
    std::list<std::wstring> m_Lines;
};

// Accepts every line and writes nothing.
class CAdvLogModule_RedirectToPPLegacyLogModule : public ILogProcessor
{
};

class CAdvancedLog
{
public:
    CAdvancedLog() = default;
    virtual ~CAdvancedLog();
    CAdvancedLog(const CAdvancedLog&) = delete;
    CAdvancedLog& operator=(const CAdvancedLog&) = delete;

    static CAdvancedLog* GetProcessLevelInstance();
    static void FreeProcessLevelInstance();

    void Init();
    void Uninit();

    int RegisterLogProcessor(ILogProcessor* receiver, const wchar_t* name, unsigned int* id);
    ILogProcessor* UnregisterLogProcessorById(unsigned long id);
    ILogProcessor* UnregisterLogProcessorByName(const wchar_t* name);
    void UnregisterAll();
    ILogProcessor* GetLogReceiverById(unsigned long id);
    ILogProcessor* GetLogReceiverByName(const wchar_t* name);

    // The one logging call: a printf-style wide format with the Windows meaning of %s and %c.
    void ProcessLog(const wchar_t* sourcePath, int line, int entryKind,
                    ADVLOG_SEVERITY_LEVEL severity, const wchar_t* format, ...);
    void ProcessLogV(const wchar_t* sourcePath, int line, int entryKind,
                     ADVLOG_SEVERITY_LEVEL severity, const wchar_t* format, va_list args);

    ADVLOG_SEVERITY_LEVEL GetCurrentSeverityLevel() { return m_CurrentSeverityLevel; }
    void SetCurrentSeverityLevel(ADVLOG_SEVERITY_LEVEL level) { m_CurrentSeverityLevel = level; }
    int IsLogEnabled() { return m_Enabled; }
    void SetLogEnabled(int enabled) { m_Enabled = enabled; }

    // Copies a child's log file into this log, line by line.
    int MergeExistingLogFile(const wchar_t* path);

    static std::wstring ConvertSeverityLevelToText(ADVLOG_SEVERITY_LEVEL severity);
    // "%SYSTEMROOT%\Temp\<prefix>_<program>.log".
    static std::wstring GetDefaultDebugLogFilePath(const wchar_t* prefix);

    // The tag of a line: the entry kind's for entered and left, else the severity's.
    static const wchar_t* TagOf(int entryKind, ADVLOG_SEVERITY_LEVEL severity);
    // The C library's asctime text of a local time, without its newline.
    static void FormatTimeText(const SYSTEMTIME& time, std::wstring& out);

private:
    // Holds the hub's lock for a scope, when the hub has one. Registration takes it too, so
    // that a receiver joins or leaves between lines, or from inside one on the same thread.
    class CHubLock
    {
    public:
        explicit CHubLock(CAdvancedLog* hub) : m_pHub(hub->m_LockInitialized ? hub : nullptr)
        {
            if (m_pHub != nullptr)
                EnterCriticalSection(&m_pHub->m_Lock);
        }
        ~CHubLock()
        {
            if (m_pHub != nullptr)
                LeaveCriticalSection(&m_pHub->m_Lock);
        }
        CHubLock(const CHubLock&) = delete;
        CHubLock& operator=(const CHubLock&) = delete;

    private:
        CAdvancedLog* m_pHub;
    };

    void DispatchLine(SYSTEMTIME& now, const wchar_t* sourcePath, int line, int entryKind,
                      ADVLOG_SEVERITY_LEVEL severity, const wchar_t* format, va_list args,
                      wchar_t* messageBuffer, std::wstring& timeText, std::wstring& message,
                      std::wstring& source, std::wstring& fileName);

    // In registration order; a receiver that leaves while a line is dispatched is a null
    // entry until the outermost dispatch ends.
    std::vector<ILogProcessor*> m_Receivers;
    unsigned int m_LastReceiverId = 0;
    ADVLOG_SEVERITY_LEVEL m_CurrentSeverityLevel = ADVLOG_SEVERITY_ALWAYS;
    int m_Enabled = 1;
    CRITICAL_SECTION m_Lock;
    int m_LockInitialized = 0;

    // Reused under the lock, so that a line needs no allocation once warm.
    wchar_t m_MessageBuffer[4096];
    std::wstring m_Message, m_TimeText, m_SourcePath, m_FileName;
    SYSTEMTIME m_TimeTextTime = {}; // the second m_TimeText shows
    // Lines being dispatched on this hub; above 0 a receiver is logging from inside.
    int m_DispatchDepth = 0;
};

// Holds the interface of objects that can describe themselves in a log line.
class IDebugSupport
{
public:
    virtual ~IDebugSupport() = default;
    virtual std::wstring DumpObjectToString() { return L"<UNAVAILABLE>"; }
};

// A resizable, zero-filled byte buffer from the local heap. Not copyable.
class CMemoryBuffer
{
public:
    static constexpr unsigned int m_uiDefaultBufferSize = 256;
    CMemoryBuffer();
    explicit CMemoryBuffer(unsigned int size);
    virtual ~CMemoryBuffer();
    CMemoryBuffer(const CMemoryBuffer&) = delete;
    CMemoryBuffer& operator=(const CMemoryBuffer&) = delete;

    virtual unsigned char* GetBuffer() { return m_pBuffer; }
    virtual unsigned int GetSize() { return m_uiSize; }
    virtual bool Reallocate(unsigned int size);

private:
    unsigned char* m_pBuffer = nullptr;
    unsigned int m_uiSize = 0;
};

// Call-site conventions: source path and line of the caller, on the process-wide hub.
#define ADVLOG_SOURCE_PATH L"" __FILE__
#define ADVLOG(severity, ...)                                                                      \
    CAdvancedLog::GetProcessLevelInstance()->ProcessLog(ADVLOG_SOURCE_PATH, __LINE__,              \
                                                        ADVLOG_ENTRY_ORDINARY, severity,           \
                                                        __VA_ARGS__)
#define ADVLOG_UNEXPECTED_BRANCH(function)                                                         \
    CAdvancedLog::GetProcessLevelInstance()->ProcessLog(                                           \
        ADVLOG_SOURCE_PATH, __LINE__, ADVLOG_ENTRY_UNEXPECTED, ADVLOG_SEVERITY_FATAL,             \
        L"Code runs into an unexpected branch, function: %s", function)
#define ADVLOG_ASSERT_FAILED(function, assertion)                                                  \
    CAdvancedLog::GetProcessLevelInstance()->ProcessLog(                                           \
        ADVLOG_SOURCE_PATH, __LINE__, ADVLOG_ENTRY_UNEXPECTED, ADVLOG_SEVERITY_FATAL,             \
        L"Assert failed, function: %s, assertion: %s", function, assertion)
// Soft assertion: logs the failed condition and lets the caller carry on.
#define ADVLOG_SOFT_ASSERT(function, condition)                                                    \
    do                                                                                             \
    {                                                                                              \
        if (!(condition))                                                                          \
            ADVLOG_ASSERT_FAILED(function, L"" #condition);                                        \
    } while (0)

// Logs the entered line now and the left line when the scope ends.
class CAdvLogFunctionTrace
{
public:
    CAdvLogFunctionTrace(const wchar_t* sourcePath, int line, const wchar_t* function)
        : m_pSourcePath(sourcePath), m_Line(line), m_pFunction(function)
    {
        CAdvancedLog::GetProcessLevelInstance()->ProcessLog(m_pSourcePath, m_Line,
                                                            ADVLOG_ENTRY_ENTERED,
                                                            ADVLOG_SEVERITY_NOISY, L"%s", m_pFunction);
    }
    ~CAdvLogFunctionTrace()
    {
        CAdvancedLog::GetProcessLevelInstance()->ProcessLog(m_pSourcePath, m_Line,
                                                            ADVLOG_ENTRY_LEFT, ADVLOG_SEVERITY_NOISY,
                                                            L"%s", m_pFunction);
    }
    CAdvLogFunctionTrace(const CAdvLogFunctionTrace&) = delete;
    CAdvLogFunctionTrace& operator=(const CAdvLogFunctionTrace&) = delete;

private:
    const wchar_t* m_pSourcePath;
    int m_Line;
    const wchar_t* m_pFunction;
};
#define ADVLOG_TRACE_FUNCTION(function)                                                            \
    CAdvLogFunctionTrace advlogFunctionTrace_(ADVLOG_SOURCE_PATH, __LINE__, function)
