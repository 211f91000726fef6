// A machine's registry and account store in its registry.db (SQLite, WAL mode).
// The machine server is its user while the machine runs; machine creation writes it directly.
#pragma once

#include "winport/WinTypes.h"

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace machine
{

// Keys are rows; the hive roots are fixed ids.
constexpr int64_t kKeyLocalMachine = 1; // HKEY_LOCAL_MACHINE
constexpr int64_t kKeyUsers = 2;        // HKEY_USERS

class CRegistryStore
{
public:
    CRegistryStore() = default;
    ~CRegistryStore();
    CRegistryStore(const CRegistryStore&) = delete;
    CRegistryStore& operator=(const CRegistryStore&) = delete;

    // Opens (creating when missing) the database and its schema.
    DWORD Open(const std::string& path);
    void Close();

    // Paths are backslash-separated, relative to parent; "" is parent itself.
    DWORD OpenKey(int64_t parent, const std::wstring& path, int64_t& key);
    DWORD CreateKey(int64_t parent, const std::wstring& path, int64_t& key, bool& created);
    // Fails with ERROR_ACCESS_DENIED when the key has sub-keys, as RegDeleteKeyW does.
    DWORD DeleteKey(int64_t parent, const std::wstring& path);
    bool KeyExists(int64_t key);

    // Data is the stored bytes (strings as UTF-16LE with their terminator).
    DWORD QueryValue(int64_t key, const std::wstring& name, DWORD& type, std::string& data);
    DWORD SetValue(int64_t key, const std::wstring& name, DWORD type, const std::string& data);
    DWORD DeleteValue(int64_t key, const std::wstring& name);
    // Sub-keys in name order (without regard to case), values in creation order.
    DWORD EnumKey(int64_t key, DWORD index, std::wstring& name);
    DWORD EnumValue(int64_t key, DWORD index, std::wstring& name, DWORD& type, std::string& data);
    struct SKeyInfo
    {
        DWORD subKeys = 0, maxSubKeyLength = 0, values = 0, maxValueNameLength = 0, maxValueLength = 0;
        int64_t lastWriteTime = 0;
    };
    DWORD QueryInfo(int64_t key, SKeyInfo& info);

    // Runs several changes as one transaction (machine creation).
    DWORD Begin();
    DWORD Commit();

    // Accounts: "NAME" for a local account; groups hold members as "NAME" or "DOMAIN\NAME".
    // Passwords are kept only as salted PBKDF2 hashes.
    DWORD AddAccount(const std::wstring& name, const std::wstring& password);
    DWORD CheckPassword(const std::wstring& name, const std::wstring& password);
    DWORD AddGroup(const std::wstring& name);
    DWORD AddGroupMember(const std::wstring& group, const std::wstring& member);
    bool IsGroupMember(const std::wstring& group, const std::wstring& member);
    bool AccountExists(const std::wstring& name);

    // SQLite's message on the last failure, for the server's log.
    const char* LastMessage() const;

    // A name folded for comparison without regard to case.
    static std::string Fold(const std::wstring& name);

private:
    sqlite3_stmt* Prepare(int slot, const char* sql);
    DWORD Step(sqlite3_stmt* statement);
    DWORD FindChild(int64_t parent, const std::string& folded, int64_t& key);
    void Touch(int64_t key);

    sqlite3* m_pDb = nullptr;
    sqlite3_stmt* m_Statements[32] = {};
};

// Writes values below HKEY_LOCAL_MACHINE, creating keys, and keeps the first failure.
class CRegistryWriter
{
public:
    explicit CRegistryWriter(CRegistryStore& store) : m_Store(store) {}
    void String(const std::wstring& key, const std::wstring& name, const std::wstring& value, DWORD type = 1);
    void Dword(const std::wstring& key, const std::wstring& name, DWORD value);
    void Key(const std::wstring& key);
    void Check(DWORD rc)
    {
        if (rc != ERROR_SUCCESS && m_Status == ERROR_SUCCESS)
            m_Status = rc;
    }
    DWORD Status() const { return m_Status; }

private:
    void Put(const std::wstring& key, const std::wstring& name, DWORD type, const std::string& data);
    CRegistryStore& m_Store;
    DWORD m_Status = ERROR_SUCCESS;
};

} // namespace machine
