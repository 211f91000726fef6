#include "testsupport/LogCapture.h"

#include <gtest/gtest.h>

namespace testsupport
{

namespace
{

template <typename Predicate> int CountLines(const CLogCapture& capture, Predicate predicate)
{
    std::lock_guard<std::mutex> guard(capture.m_Mutex);
    int n = 0;
    for (const SLogLine& line : capture.m_Lines)
        n += predicate(line) ? 1 : 0;
    return n;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

CLogCapture::CLogCapture() : CLogCapture(CAdvancedLog::GetProcessLevelInstance()) {}

CLogCapture::CLogCapture(CAdvancedLog* hub)
{
    if (hub != nullptr && hub->RegisterLogProcessor(this, nullptr, nullptr) != 1)
        ADD_FAILURE() << "the log capture could not join its hub";
}

CLogCapture::~CLogCapture()
{
    // A hub that went away first has unregistered every receiver already.
    if (GetLogHub() != nullptr)
        GetLogHub()->UnregisterLogProcessorById(GetId());
}

void CLogCapture::OnRegister()
{
    ++m_Registered;
}

void CLogCapture::OnUnregister()
{
    ++m_Unregistered;
    if (m_pOrder != nullptr)
        m_pOrder->push_back(GetId());
}

int CLogCapture::OnLogArrive(SYSTEMTIME&, const std::wstring&, const std::wstring&,
                             const std::wstring& fileName, int line, int entryKind,
                             ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message)
{
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Lines.push_back({entryKind, severity, fileName, line, message});
    return m_Result;
}

void CLogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(m_Mutex);
    m_Lines.clear();
}

int CLogCapture::Count(int entryKind, ADVLOG_SEVERITY_LEVEL severity,
                       const std::wstring& message) const
{
    return CountLines(
        *this, [&](const SLogLine& l)
        { return l.entryKind == entryKind && l.severity == severity && l.message == message; });
}

int CLogCapture::Count(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message) const
{
    return CountLines(*this, [&](const SLogLine& l)
                      { return l.severity == severity && l.message == message; });
}

int CLogCapture::CountPrefix(const std::wstring& prefix) const
{
    return CountLines(*this, [&](const SLogLine& l) { return StartsWith(l.message, prefix); });
}

int CLogCapture::CountUnexpected(const wchar_t* function) const
{
    return Count(ADVLOG_ENTRY_UNEXPECTED, ADVLOG_SEVERITY_FATAL,
                 std::wstring(L"Code runs into an unexpected branch, function: ") + function);
}

bool CLogCapture::Has(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& message) const
{
    return Count(severity, message) > 0;
}

bool CLogCapture::HasStart(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& prefix) const
{
    return CountLines(*this, [&](const SLogLine& l)
                      { return l.severity == severity && StartsWith(l.message, prefix); }) > 0;
}

bool CLogCapture::HasContaining(ADVLOG_SEVERITY_LEVEL severity, const std::wstring& part) const
{
    return CountLines(*this,
                      [&](const SLogLine& l) {
                          return l.severity == severity &&
                                 l.message.find(part) != std::wstring::npos;
                      }) > 0;
}

bool CLogCapture::HasUnexpected(const std::wstring& function) const
{
    return CountLines(*this,
                      [&](const SLogLine& l)
                      {
                          return l.entryKind == ADVLOG_ENTRY_UNEXPECTED &&
                                 l.message.find(function) != std::wstring::npos;
                      }) > 0;
}

std::wstring CLogCapture::Dump() const
{
    std::lock_guard<std::mutex> guard(m_Mutex);
    std::wstring text;
    for (const SLogLine& l : m_Lines)
        text += std::to_wstring(l.severity) + L": " + l.message + L"\n";
    return text;
}

} // namespace testsupport
