// Objects turned into an ordered sequence of text items and rebuilt from it, in UTF-8 files
// or in memory (whose text form is what crosses process boundaries).
#pragma once

#include <cstdio>
#include <deque>
#include <string>

class CSerializeStream;

class ISerializeSupport
{
public:
    virtual ~ISerializeSupport() = default;
    virtual int OnSerializeTo(CSerializeStream* stream) = 0;
    virtual int OnSerializeFrom(CSerializeStream* stream) = 0;
};

class IPersistentStorage
{
public:
    virtual ~IPersistentStorage() = default;
    // Non-zero opens for reading, 0 for writing.
    virtual int OpenStorage(int forRead) = 0;
    // Returns 0 when something written since the open did not reach the storage.
    virtual int CloseStorage() = 0;
    virtual void WriteString(const std::wstring& item) = 0;
    virtual int IsHaveDataForRead() = 0;
    virtual std::wstring ReadString() = 0;
};

// Typed access to a storage; numbers are items of their decimal text.
class CSerializeStream
{
public:
    explicit CSerializeStream(IPersistentStorage* storage) : m_pStorage(storage) {}
    virtual ~CSerializeStream() = default;

    void WriteString(const std::wstring& item);
    void WriteInt(int value);
    std::wstring ReadString();
    int ReadInt();
    int IsHaveDataForRead();

private:
    IPersistentStorage* m_pStorage;
};

// Items as lines of a UTF-8 text file, each escaped so that it holds no line break.
class CPersistentStorageFile : public IPersistentStorage
{
public:
    CPersistentStorageFile() = default;
    explicit CPersistentStorageFile(const std::wstring& path) : m_strFilePath(path) {}
    ~CPersistentStorageFile() override;
    CPersistentStorageFile(const CPersistentStorageFile&) = delete;
    CPersistentStorageFile& operator=(const CPersistentStorageFile&) = delete;

    void SetFileName(const std::wstring& path) { m_strFilePath = path; }
    void DeleteExistingFile();

    int OpenStorage(int forRead) override;
    int CloseStorage() override;
    void WriteString(const std::wstring& item) override;
    int IsHaveDataForRead() override;
    std::wstring ReadString() override;

private:
    int m_iMode = 0;
    std::wstring m_strFilePath;
    FILE* m_pStream = nullptr;
    // A write since the open failed: the close reports it.
    bool m_bWriteFailed = false;
};

// Items in a first-in first-out list; written items stay until read, cleared or replaced.
class CPersistentStorageMemory : public IPersistentStorage
{
public:
    int OpenStorage(int) override { return 1; }
    int CloseStorage() override { return 1; }
    void WriteString(const std::wstring& item) override;
    int IsHaveDataForRead() override { return m_Items.empty() ? 0 : 1; }
    std::wstring ReadString() override;

    void Clear();
    // Each escaped item followed by one LF.
    std::wstring GetMemoryDataAsText();
    // Replaces the items with those of a text form (a first empty item does not survive).
    void SetMemoryDataFromText(const std::wstring& text);
    size_t GetItemCount() const { return m_Items.size(); }

private:
    std::deque<std::wstring> m_Items;
};

class CSerializer
{
public:
    static int SerializeObjectToStorage(ISerializeSupport* object, IPersistentStorage* storage);
    static int ConstructObjectFromStorage(ISerializeSupport* object, IPersistentStorage* storage);

private:
    CSerializer() = delete;
    ~CSerializer() = delete;
};
