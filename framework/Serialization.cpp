#include "framework/Serialization.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "framework/EscapeText.h"
#include "winport/WinFile.h"
#include "winport/WinString.h"

#include <cwchar>

// ---- CSerializeStream ------------------------------------------------------------------------

void CSerializeStream::WriteString(const std::wstring& item)
{
    if (m_pStorage == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CSerializeStream::WriteString");
        return;
    }
    m_pStorage->WriteString(item);
}

void CSerializeStream::WriteInt(int value)
{
    if (m_pStorage == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CSerializeStream::WriteInt");
        return;
    }
    m_pStorage->WriteString(winport::Format(L"%d", value));
}

std::wstring CSerializeStream::ReadString()
{
    if (m_pStorage == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CSerializeStream::ReadString");
        return std::wstring();
    }
    return m_pStorage->ReadString();
}

int CSerializeStream::ReadInt()
{
    if (m_pStorage == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CSerializeStream::ReadInt");
        return 0;
    }
    return _wtoi(m_pStorage->ReadString().c_str());
}

int CSerializeStream::IsHaveDataForRead()
{
    if (m_pStorage == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CSerializeStream::IsHaveDataForRead");
        return 0;
    }
    return m_pStorage->IsHaveDataForRead();
}

// ---- CPersistentStorageFile ------------------------------------------------------------------

CPersistentStorageFile::~CPersistentStorageFile() { CloseStorage(); }

void CPersistentStorageFile::DeleteExistingFile()
{
    if (!m_strFilePath.empty())
        DeleteFileW(m_strFilePath.c_str());
}

int CPersistentStorageFile::OpenStorage(int forRead)
{
    CloseStorage();
    const wchar_t* mode = forRead ? L"r, ccs=UTF-8" : L"a, ccs=UTF-8";
    m_pStream = _wfopen(m_strFilePath.c_str(), mode);
    if (m_pStream == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"OpenStorage, fopen return NULL. File='%s', Flag='%s'",
               m_strFilePath.c_str(), mode);
        return 0;
    }
    m_iMode = forRead;
    m_bWriteFailed = false;
    return 1;
}

int CPersistentStorageFile::CloseStorage()
{
    if (m_pStream == nullptr)
        return 1;
    // The last buffered bytes reach the file only here: a full disk shows at the flush.
    bool failed = m_bWriteFailed;
    if (!m_iMode && fflush(m_pStream) != 0)
        failed = true;
    if (fclose(m_pStream) != 0 && !m_iMode)
        failed = true;
    m_pStream = nullptr;
    m_bWriteFailed = false;
    if (failed)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CloseStorage, the file is incomplete. File='%s'",
               m_strFilePath.c_str());
        return 0;
    }
    return 1;
}

void CPersistentStorageFile::WriteString(const std::wstring& item)
{
    if (m_pStream == nullptr)
        return;
    std::wstring line;
    framework::AppendEscaped(line, item.data(), item.size());
    line.push_back(L'\n');
    if (winport::fputws(line.data(), line.size(), m_pStream) != 0 && !m_bWriteFailed)
    {
        m_bWriteFailed = true;
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"WriteString, fputws failed. File='%s'",
               m_strFilePath.c_str());
    }
}

int CPersistentStorageFile::IsHaveDataForRead()
{
    if (m_pStream == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPersistentStorageFile::IsHaveDataForRead");
        return 0;
    }
    return feof(m_pStream) ? 0 : 1;
}

std::wstring CPersistentStorageFile::ReadString()
{
    if (m_pStream == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPersistentStorageFile::ReadString");
        return std::wstring();
    }
    // Chunks of up to 1023 characters until one ends the line; lines of any length come whole.
    std::wstring line;
    wchar_t chunk[1024];
    while (winport::fgetws(chunk, 1024, m_pStream) != nullptr)
    {
        size_t n = wcslen(chunk);
        if (n > 0 && chunk[n - 1] == L'\n')
        {
            line.append(chunk, n - 1);
            break;
        }
        line.append(chunk, n);
    }
    std::wstring item;
    framework::AppendUnescaped(item, line.data(), line.size());
    return item;
}

// ---- CPersistentStorageMemory ----------------------------------------------------------------

void CPersistentStorageMemory::WriteString(const std::wstring& item) { m_Items.push_back(item); }

std::wstring CPersistentStorageMemory::ReadString()
{
    if (m_Items.empty())
    {
        ADVLOG_UNEXPECTED_BRANCH(L"CPersistentStorageMemory::ReadString");
        return std::wstring();
    }
    std::wstring item = std::move(m_Items.front());
    m_Items.pop_front();
    return item;
}

void CPersistentStorageMemory::Clear() { m_Items.clear(); }

std::wstring CPersistentStorageMemory::GetMemoryDataAsText()
{
    size_t total = 0;
    for (const std::wstring& item : m_Items)
        total += item.size() + 1;
    std::wstring text;
    text.reserve(total + total / 16);
    for (const std::wstring& item : m_Items)
    {
        framework::AppendEscaped(text, item.data(), item.size());
        text.push_back(L'\n');
    }
    return text;
}

void CPersistentStorageMemory::SetMemoryDataFromText(const std::wstring& text)
{
    // Split at LF as the string support splits: leading LFs are skipped, each LF inside ends
    // an item, a final LF adds nothing.
    // The items already held are refilled in place: their storage is reused, not freed and
    // taken again.
    size_t count = 0;
    const wchar_t* p = text.data();
    const wchar_t* end = p + text.size();
    while (p < end && *p == L'\n')
        ++p;
    while (p < end)
    {
        const wchar_t* lf = wmemchr(p, L'\n', static_cast<size_t>(end - p));
        const wchar_t* stop = lf != nullptr ? lf : end;
        if (count == m_Items.size())
            m_Items.emplace_back();
        std::wstring& item = m_Items[count++];
        item.clear();
        framework::AppendUnescaped(item, p, static_cast<size_t>(stop - p));
        p = stop + 1;
    }
    m_Items.resize(count);
}

// ---- CSerializer -----------------------------------------------------------------------------

namespace
{
std::wstring ClassNameOf(ISerializeSupport* object)
{
    return object != nullptr ? CStringSupport::GetClassNameThroughTypeInfo(typeid(*object))
                             : std::wstring(L"(null)");
}
std::wstring ClassNameOf(IPersistentStorage* storage)
{
    return storage != nullptr ? CStringSupport::GetClassNameThroughTypeInfo(typeid(*storage))
                              : std::wstring(L"(null)");
}

int RunSerializer(ISerializeSupport* object, IPersistentStorage* storage, bool reading)
{
    if (object == nullptr || storage == nullptr || !storage->OpenStorage(reading ? 1 : 0))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"pStorage->OpenStorage failed, pObj is %s, pStorage is %s",
               ClassNameOf(object).c_str(), ClassNameOf(storage).c_str());
        return 0;
    }
    CSerializeStream stream(storage);
    int result = reading ? object->OnSerializeFrom(&stream) : object->OnSerializeTo(&stream);
    if (result == 0)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               reading ? L"pObj->OnSerializeFrom failed, pObj is %s, pStorage is %s"
                       : L"pObj->OnSerializeTo failed, pObj is %s, pStorage is %s",
               ClassNameOf(object).c_str(), ClassNameOf(storage).c_str());
    }
    // A written storage that did not take every item holds no complete object.
    if (!storage->CloseStorage() && !reading && result != 0)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"pStorage->CloseStorage failed, pObj is %s, pStorage is %s",
               ClassNameOf(object).c_str(), ClassNameOf(storage).c_str());
        result = 0;
    }
    return result == 0 ? 0 : 1;
}
} // namespace

int CSerializer::SerializeObjectToStorage(ISerializeSupport* object, IPersistentStorage* storage)
{
    return RunSerializer(object, storage, false);
}

int CSerializer::ConstructObjectFromStorage(ISerializeSupport* object, IPersistentStorage* storage)
{
    return RunSerializer(object, storage, true);
}
