// The one recording log receiver of the test suites: keeps every line a hub hands it, with
// the questions the suites ask about them.
#pragma once

#include "framework/CAdvancedLog.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport
{

struct SLogLine
{
    int entryKind;
    ADVLOG_SEVERITY_LEVEL severity;
    std::wstring fileName;
    int line;
    std::wstring message;
};

class CLogCapture : public ILogProcessor
{
public:
    // Joins the process hub while it lives.
    CLogCapture();
    // Joins hub while it lives; with no hub, the test registers it where it wants.
    explicit CLogCapture(CAdvancedLog* hub);
    // Leaves the hub it is still registered on.
    ~CLogCapture() override;
    CLogCapture(const CLogCapture&) = delete;
    CLogCapture& operator=(const CLogCapture&) = delete;

    void OnRegister() override;
    void OnUnregister() override;
    int OnLogArrive(SYSTEMTIME& localTime, const std::wstring& timeText,
                    const std::wstring& sourcePath, const std::wstring& fileName, int line,
                    int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                    const std::wstring& message) override;

    unsigned int Id() const { return GetId(); }
    void Clear();

    // Lines of that kind, severity and message.
    int Count(int entryKind, ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message) const;
    // Lines of that severity and message, of any kind.
    int Count(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message) const;
    int CountPrefix(const std::wstring& prefix) const;
    // The hub's unexpected-branch lines of that function.
    int CountUnexpected(const wchar_t* function) const;
    bool Has(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message) const;
    bool HasStart(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& prefix) const;
    bool HasContaining(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& part) const;
    // Any unexpected-entry line that names the function.
    bool HasUnexpected(const std::wstring& function) const;
    // One line a message with its severity, for failure output.
    std::wstring Dump() const;

    // Written under m_Mutex; read directly once the threads that log are done.
    std::vector<SLogLine> m_Lines;
    mutable std::mutex m_Mutex;
    // What OnLogArrive returns: 0 keeps the line from the receivers after this one.
    int m_Result = 1;
    int m_Registered = 0;
    int m_Unregistered = 0;
    // When set, OnUnregister appends this receiver's id.
    std::vector<unsigned int>* m_pOrder = nullptr;
};

} // namespace testsupport
