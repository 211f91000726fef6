// A recursive lock with its scope guard, and an owning wrapper of a system handle.
#pragma once

#include "winport/WinBase.h"

class CSimpleCriticalSection
{
public:
    CSimpleCriticalSection() { InitializeCriticalSection(&m_Section); }
    ~CSimpleCriticalSection() { DeleteCriticalSection(&m_Section); }
    CSimpleCriticalSection(const CSimpleCriticalSection&) = delete;
    CSimpleCriticalSection& operator=(const CSimpleCriticalSection&) = delete;

    void Lock() { EnterCriticalSection(&m_Section); }
    void Unlock() { LeaveCriticalSection(&m_Section); }

private:
    CRITICAL_SECTION m_Section;
};

class CCriticalSectionSentry
{
public:
    explicit CCriticalSectionSentry(CSimpleCriticalSection& section) : m_Section(section)
    {
        m_Section.Lock();
    }
    ~CCriticalSectionSentry() { m_Section.Unlock(); }
    CCriticalSectionSentry(const CCriticalSectionSentry&) = delete;
    CCriticalSectionSentry& operator=(const CCriticalSectionSentry&) = delete;

private:
    CSimpleCriticalSection& m_Section;
};

// Owns one handle; copies duplicate it so that each object closes its own.
class CHandle
{
public:
    CHandle(HANDLE handle = nullptr) : m_hHandle(handle) {}
    CHandle(const CHandle& other) : m_hHandle(Duplicate(other.m_hHandle)) {}
    CHandle& operator=(const CHandle& other)
    {
        if (this != &other)
        {
            HANDLE copy = Duplicate(other.m_hHandle);
            Close();
            m_hHandle = copy;
        }
        return *this;
    }
    CHandle& operator=(HANDLE handle)
    {
        if (handle != m_hHandle)
        {
            Close();
            m_hHandle = handle;
        }
        return *this;
    }
    ~CHandle() { Close(); }
    operator HANDLE() const { return m_hHandle; }

    static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

private:
    static HANDLE Duplicate(HANDLE handle)
    {
        HANDLE copy = nullptr;
        if (IsValid(handle) && !DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(),
                                                &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            copy = nullptr;
        return copy;
    }
    void Close()
    {
        if (IsValid(m_hHandle))
            CloseHandle(m_hHandle);
        m_hHandle = nullptr;
    }

    HANDLE m_hHandle;
};
