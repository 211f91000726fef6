#include "framework/CAdvancedLog.h"

#include "winport/WinFile.h"
#include "winport/WinString.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>

namespace
{

std::atomic<CAdvancedLog*> s_pProcessLevelInstance{nullptr};

const wchar_t* FileNamePart(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p)
    {
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    }
    return name;
}

bool EndsInLineFeed(const std::wstring& text)
{
    return !text.empty() && text.back() == L'\n';
}

// A decimal number right-aligned in width, as "%0<width>d" (fill '0') or "%<width>d" (fill ' ').
void AppendNumber(std::wstring& out, int value, size_t width, wchar_t fill)
{
    wchar_t digits[12];
    size_t n = 0;
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do
    {
        digits[n++] = static_cast<wchar_t>(L'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t length = n + (value < 0 ? 1 : 0);
    if (fill == L' ' && length < width)
        out.append(width - length, L' ');
    if (value < 0)
        out.push_back(L'-');
    if (fill == L'0' && length < width)
        out.append(width - length, L'0');
    while (n > 0)
        out.push_back(digits[--n]);
}

// Formats into buffer with at most capacity - 1 characters kept.
void FormatFixed(wchar_t* buffer, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    winport::FormatToBufferV(buffer, capacity, format, args);
    va_end(args);
}

bool SameSecond(const SYSTEMTIME& a, const SYSTEMTIME& b)
{
    return a.wSecond == b.wSecond && a.wMinute == b.wMinute && a.wHour == b.wHour &&
           a.wDay == b.wDay && a.wMonth == b.wMonth && a.wYear == b.wYear;
}

} // namespace

// ---- Receivers -----------------------------------------------------------------------------

CAdvLogProcessor_WriteToFile::~CAdvLogProcessor_WriteToFile()
{
    Close();
}

void CAdvLogProcessor_WriteToFile::Close()
{
    if (m_pStream != nullptr)
    {
        fclose(m_pStream);
        m_pStream = nullptr;
    }
}

void CAdvLogProcessor_WriteToFile::OnRegister()
{
    Close();
    if (!m_LogFilePath.empty())
        m_pStream = _wfopen(m_LogFilePath.c_str(), L"a, ccs=UTF-8");
}

void CAdvLogProcessor_WriteToFile::OnUnregister()
{
    Close();
}

int CAdvLogProcessor_WriteToFile::SetLogFile(const wchar_t* path)
{
    m_LogFilePath = path != nullptr ? path : L"";
    return 1;
}

int CAdvLogProcessor_WriteToFile::OnLogArrive(SYSTEMTIME&, const std::wstring& timeText,
                                              const std::wstring&, const std::wstring& fileName,
                                              int line, int entryKind,
                                              ADVLOG_SEVERITY_LEVEL severity,
                                              const std::wstring& message)
{
    if (m_pStream == nullptr)
        return 1;
    // "%s [%04d:%04d] [%35s(%4d)] %s %s%s", built by appends: this is the hot path of logging.
    m_Line.clear();
    m_Line.append(timeText);
    m_Line.append(L" [");
    AppendNumber(m_Line, static_cast<int>(GetCurrentProcessId()), 4, L'0');
    m_Line.push_back(L':');
    AppendNumber(m_Line, static_cast<int>(GetCurrentThreadId()), 4, L'0');
    m_Line.append(L"] [");
    if (fileName.size() < 35)
        m_Line.append(35 - fileName.size(), L' ');
    m_Line.append(fileName);
    m_Line.push_back(L'(');
    AppendNumber(m_Line, line, 4, L' ');
    m_Line.append(L")] ");
    m_Line.append(CAdvancedLog::TagOf(entryKind, severity));
    m_Line.push_back(L' ');
    m_Line.append(message);
    if (!EndsInLineFeed(message))
        m_Line.push_back(L'\n');
    winport::fputws(m_Line.data(), m_Line.size(), m_pStream);
    fflush(m_pStream);
    return 1;
}

int CAdvLogProcessor_WriteToConsole::OnLogArrive(SYSTEMTIME&, const std::wstring&,
                                                 const std::wstring&, const std::wstring&, int, int,
                                                 ADVLOG_SEVERITY_LEVEL severity,
                                                 const std::wstring& message)
{
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console == INVALID_HANDLE_VALUE || console == nullptr ||
        !GetConsoleScreenBufferInfo(console, &info))
        return 1;
    bool colour = severity >= ADVLOG_SEVERITY_WARNING && severity < ADVLOG_SEVERITY_ALWAYS;
    if (colour)
        SetConsoleTextAttribute(console, FOREGROUND_RED | FOREGROUND_INTENSITY);
    std::wstring text = message;
    if (!EndsInLineFeed(text))
        text.push_back(L'\n');
    WriteConsoleW(console, text.c_str(), static_cast<DWORD>(text.size()), nullptr, nullptr);
    if (colour)
        SetConsoleTextAttribute(console, info.wAttributes);
    return 1;
}

int CAdvLogProcessor_RedirectToDbgView::OnLogArrive(SYSTEMTIME&, const std::wstring&,
                                                    const std::wstring&, const std::wstring&, int,
                                                    int, ADVLOG_SEVERITY_LEVEL,
                                                    const std::wstring& message)
{
    if (EndsInLineFeed(message))
        OutputDebugStringW(message.c_str());
    else
        OutputDebugStringW((message + L"\n").c_str());
    return 1;
}

int CAdvLogProcessor_WriteToMemory::OnLogArrive(SYSTEMTIME&, const std::wstring& timeText,
                                                const std::wstring&, const std::wstring& fileName,
                                                int line, int entryKind,
                                                ADVLOG_SEVERITY_LEVEL severity,
                                                const std::wstring& message)
{
    wchar_t buffer[4096];
    FormatFixed(buffer, 4096, L"%s [%04d:%04d] [%35s(%4d)] %s %s%s%s", timeText.c_str(),
                static_cast<int>(GetCurrentProcessId()), static_cast<int>(GetCurrentThreadId()),
                fileName.c_str(), line, CAdvancedLog::TagOf(entryKind, severity),
                m_Separator.c_str(), message.c_str(), EndsInLineFeed(message) ? L"" : L"\n");
    m_Lines.emplace_back(buffer);
    return 1;
}

// ---- The hub -------------------------------------------------------------------------------

CAdvancedLog::~CAdvancedLog()
{
    UnregisterAll();
    if (m_LockInitialized)
    {
        DeleteCriticalSection(&m_Lock);
        m_LockInitialized = 0;
    }
}

CAdvancedLog* CAdvancedLog::GetProcessLevelInstance()
{
    CAdvancedLog* hub = s_pProcessLevelInstance.load(std::memory_order_acquire);
    if (hub != nullptr)
        return hub;
    // Default-initialised: its message buffer is written before it is read, and zeroing it
    // would touch four pages more at every program's start.
    auto* created = new CAdvancedLog;
    created->Init();
    CAdvancedLog* expected = nullptr;
    if (s_pProcessLevelInstance.compare_exchange_strong(expected, created,
                                                        std::memory_order_acq_rel))
        return created;
    delete created; // another thread published first
    return expected;
}

void CAdvancedLog::FreeProcessLevelInstance()
{
    delete s_pProcessLevelInstance.exchange(nullptr, std::memory_order_acq_rel);
}

void CAdvancedLog::Init()
{
    if (!m_LockInitialized)
    {
        InitializeCriticalSection(&m_Lock);
        m_LockInitialized = 1;
    }
}

void CAdvancedLog::Uninit()
{
    UnregisterAll();
    if (m_LockInitialized)
    {
        DeleteCriticalSection(&m_Lock);
        m_LockInitialized = 0;
    }
}

int CAdvancedLog::RegisterLogProcessor(ILogProcessor* receiver, const wchar_t* name,
                                       unsigned int* id)
{
    if (receiver == nullptr)
        return 0;
    CHubLock lock(this);
    if (name != nullptr && GetLogReceiverByName(name) != nullptr)
        return 0;
    if (name != nullptr)
        receiver->m_Name = name;
    receiver->m_Id = ++m_LastReceiverId;
    receiver->m_pHub = this;
    receiver->OnRegister();
    m_Receivers.push_back(receiver);
    if (id != nullptr)
        *id = receiver->m_Id;
    return 1;
}

ILogProcessor* CAdvancedLog::UnregisterLogProcessorById(unsigned long id)
{
    CHubLock lock(this);
    for (auto it = m_Receivers.begin(); it != m_Receivers.end(); ++it)
    {
        if (*it != nullptr && (*it)->m_Id == id)
        {
            ILogProcessor* receiver = *it;
            receiver->OnUnregister();
            receiver->m_pHub = nullptr;
            // A line being dispatched walks this list: leave a gap, closed when it is done.
            if (m_DispatchDepth > 0)
                *it = nullptr;
            else
                m_Receivers.erase(it);
            return receiver;
        }
    }
    return nullptr;
}

ILogProcessor* CAdvancedLog::UnregisterLogProcessorByName(const wchar_t* name)
{
    CHubLock lock(this);
    ILogProcessor* receiver = GetLogReceiverByName(name);
    return receiver == nullptr ? nullptr : UnregisterLogProcessorById(receiver->m_Id);
}

void CAdvancedLog::UnregisterAll()
{
    CHubLock lock(this);
    for (ILogProcessor*& receiver : m_Receivers)
    {
        if (receiver == nullptr)
            continue;
        receiver->OnUnregister();
        receiver->m_pHub = nullptr;
        receiver = nullptr;
    }
    if (m_DispatchDepth == 0)
        m_Receivers.clear();
}

ILogProcessor* CAdvancedLog::GetLogReceiverById(unsigned long id)
{
    CHubLock lock(this);
    for (ILogProcessor* receiver : m_Receivers)
    {
        if (receiver != nullptr && receiver->m_Id == id)
            return receiver;
    }
    return nullptr;
}

ILogProcessor* CAdvancedLog::GetLogReceiverByName(const wchar_t* name)
{
    if (name == nullptr)
        return nullptr;
    CHubLock lock(this);
    for (ILogProcessor* receiver : m_Receivers)
    {
        if (receiver != nullptr && _wcsicmp(receiver->m_Name.c_str(), name) == 0)
            return receiver;
    }
    return nullptr;
}

void CAdvancedLog::ProcessLog(const wchar_t* sourcePath, int line, int entryKind,
                              ADVLOG_SEVERITY_LEVEL severity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    ProcessLogV(sourcePath, line, entryKind, severity, format, args);
    va_end(args);
}

void CAdvancedLog::ProcessLogV(const wchar_t* sourcePath, int line, int entryKind,
                               ADVLOG_SEVERITY_LEVEL severity, const wchar_t* format, va_list args)
{
    if (!m_Enabled)
        return;
    SYSTEMTIME now;
    GetLocalTime(&now);
    // A hub that was never initialised has no lock and is used by one thread only.
    bool locked = m_LockInitialized != 0;
    if (locked)
        EnterCriticalSection(&m_Lock);
    if (m_DispatchDepth == 0)
    {
        DispatchLine(now, sourcePath, line, entryKind, severity, format, args, m_MessageBuffer,
                     m_TimeText, m_Message, m_SourcePath, m_FileName);
    }
    else
    {
        // A receiver logs from inside its OnLogArrive: the outer line still uses the shared
        // buffers and must reach the remaining receivers unchanged.
        std::unique_ptr<wchar_t[]> buffer(new wchar_t[4096]);
        std::wstring timeText, message, source, fileName;
        DispatchLine(now, sourcePath, line, entryKind, severity, format, args, buffer.get(),
                     timeText, message, source, fileName);
    }
    if (locked)
        LeaveCriticalSection(&m_Lock);
}

void CAdvancedLog::DispatchLine(SYSTEMTIME& now, const wchar_t* sourcePath, int line, int entryKind,
                                ADVLOG_SEVERITY_LEVEL severity, const wchar_t* format, va_list args,
                                wchar_t* messageBuffer, std::wstring& timeText,
                                std::wstring& message, std::wstring& source, std::wstring& fileName)
{
    // The shared time text changes once a second; a nested line formats its own.
    if (&timeText != &m_TimeText || !SameSecond(now, m_TimeTextTime) || m_TimeText.empty())
    {
        FormatTimeText(now, timeText);
        if (&timeText == &m_TimeText)
            m_TimeTextTime = now;
    }
    winport::FormatToBufferV(messageBuffer, 4096, format, args);
    message.assign(messageBuffer);
    const wchar_t* path = sourcePath != nullptr ? sourcePath : L"";
    source.assign(path);
    fileName.assign(FileNamePart(path));
    // By index and up to the receivers there were when the line came: a receiver may join or
    // leave the hub from inside OnLogArrive, and the others must still get the line once.
    ++m_DispatchDepth;
    const size_t count = m_Receivers.size();
    for (size_t i = 0; i < count; ++i)
    {
        ILogProcessor* receiver = m_Receivers[i];
        if (receiver != nullptr && !receiver->OnLogArrive(now, timeText, source, fileName, line,
                                                          entryKind, severity, message))
            break;
    }
    if (--m_DispatchDepth == 0)
        m_Receivers.erase(std::remove(m_Receivers.begin(), m_Receivers.end(), nullptr),
                          m_Receivers.end());
}

int CAdvancedLog::MergeExistingLogFile(const wchar_t* path)
{
    // Only what the file holds now: a file that grows while it is merged (a child still
    // writing, or this log's own file) would keep the merge going for ever.
    FILE* stream = path != nullptr ? _wfopen(path, L"rb") : nullptr;
    if (stream == nullptr)
        return 0;
    long size = fseek(stream, 0, SEEK_END) == 0 ? ftell(stream) : -1;
    if (size < 0 || fseek(stream, 0, SEEK_SET) != 0)
    {
        fclose(stream);
        return 0;
    }
    ProcessLog(L"", 0, ADVLOG_ENTRY_ORDINARY, ADVLOG_SEVERITY_NOISY,
               L"Merge debug log from file: %s", path);
    // Read as the text mode reads a UTF-8 file: no byte-order mark, CR LF as LF, and each
    // line in pieces of at most 4095 characters.
    std::string pending;
    std::wstring text;
    auto emit = [this, &text](const char* bytes, size_t length)
    {
        bool crlf = length >= 2 && bytes[length - 2] == '\r' && bytes[length - 1] == '\n';
        text = winport::FromUtf8(std::string(bytes, crlf ? length - 2 : length));
        if (crlf)
            text.push_back(L'\n');
        for (size_t at = 0; at < text.size(); at += 4095)
            ProcessLog(L"", 0, ADVLOG_ENTRY_ORDINARY, ADVLOG_SEVERITY_NOISY, L"%s",
                       text.substr(at, 4095).c_str());
    };
    char block[16384];
    size_t left = static_cast<size_t>(size);
    for (bool first = true; left > 0; first = false)
    {
        size_t got = fread(block, 1, left < sizeof block ? left : sizeof block, stream);
        if (got == 0)
            break;
        left -= got;
        pending.append(block, got);
        if (first && pending.compare(0, 3, "\xEF\xBB\xBF") == 0)
            pending.erase(0, 3);
        size_t start = 0;
        for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1)
            emit(pending.data() + start, lf + 1 - start);
        pending.erase(0, start);
    }
    fclose(stream);
    if (!pending.empty())
        emit(pending.data(), pending.size());
    return 1;
}

std::wstring CAdvancedLog::ConvertSeverityLevelToText(ADVLOG_SEVERITY_LEVEL severity)
{
    return TagOf(ADVLOG_ENTRY_ORDINARY, severity);
}

const wchar_t* CAdvancedLog::TagOf(int entryKind, ADVLOG_SEVERITY_LEVEL severity)
{
    if (entryKind == ADVLOG_ENTRY_ENTERED)
        return L"[  >>>>  ] ";
    if (entryKind == ADVLOG_ENTRY_LEFT)
        return L"[  <<<<  ] ";
    switch (severity)
    {
    case 0:
        return L"[  None  ] ";
    case 10:
        return L"[  Nosiy ] ";
    case 20:
        return L"[  Debug ] ";
    case 30:
        return L"[  Info  ] ";
    case 40:
        return L"[ Warning] ";
    case 50:
        return L"[  Error ] ";
    case 60:
        return L"[FatalErr] ";
    case 100:
        return L"[ Always ] ";
    default:
        return L"[ Unknown]  ";
    }
}

void CAdvancedLog::FormatTimeText(const SYSTEMTIME& time, std::wstring& out)
{
    static const wchar_t* const kDays[] = {L"Sun", L"Mon", L"Tue", L"Wed", L"Thu", L"Fri", L"Sat"};
    static const wchar_t* const kMonths[] = {L"Jan", L"Feb", L"Mar", L"Apr", L"May", L"Jun",
                                             L"Jul", L"Aug", L"Sep", L"Oct", L"Nov", L"Dec"};
    const wchar_t* day = time.wDayOfWeek < 7 ? kDays[time.wDayOfWeek] : L"???";
    const wchar_t* month =
        time.wMonth >= 1 && time.wMonth <= 12 ? kMonths[time.wMonth - 1] : L"???";
    wchar_t buffer[64];
    FormatFixed(buffer, 64, L"%s %s %02d %02d:%02d:%02d %04d", day, month, time.wDay, time.wHour,
                time.wMinute, time.wSecond, time.wYear);
    out.assign(buffer);
}

std::wstring CAdvancedLog::GetDefaultDebugLogFilePath(const wchar_t* prefix)
{
    wchar_t systemRoot[MAX_PATH] = {};
    DWORD n = ExpandEnvironmentStringsW(L"%SYSTEMROOT%", systemRoot, MAX_PATH);
    if (n == 0 || n > MAX_PATH)
        systemRoot[0] = L'\0';
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring name = FileNamePart(program);
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    if (name.empty())
        name = L"NoName";
    std::wstring path = winport::Format(L"%s\\Temp\\%s_%s.log", systemRoot,
                                        prefix != nullptr ? prefix : L"", name.c_str());
    if (path.size() > MAX_PATH - 1)
        path.resize(MAX_PATH - 1);
    return path;
}

// ---- Memory buffer -------------------------------------------------------------------------

CMemoryBuffer::CMemoryBuffer() : CMemoryBuffer(m_uiDefaultBufferSize) {}

CMemoryBuffer::CMemoryBuffer(unsigned int size)
{
    m_pBuffer = static_cast<unsigned char*>(LocalAlloc(LPTR, size));
    if (m_pBuffer != nullptr)
        m_uiSize = size;
}

CMemoryBuffer::~CMemoryBuffer()
{
    LocalFree(m_pBuffer);
}

bool CMemoryBuffer::Reallocate(unsigned int size)
{
    void* block = m_pBuffer != nullptr
                      ? LocalReAlloc(m_pBuffer, size, LMEM_MOVEABLE | LMEM_ZEROINIT)
                      : LocalAlloc(LPTR, size);
    if (block == nullptr)
        return false;
    m_pBuffer = static_cast<unsigned char*>(block);
    m_uiSize = size;
    return true;
}
