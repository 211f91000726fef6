// Linux only: the registry and account store of a machine on SQLite.
#include "fleetsim/store/RegistryStore.h"

#include "winport/WinMachine.h"
#include "winport/WinString.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <vector>

namespace machine
{
using winport::FromUtf8;
using winport::ToUtf16;
using winport::ToUtf8;
using winport::fleet::ToStoredString;

namespace
{

constexpr int kPbkdf2Iterations = 4096;

const char* const kSchema = R"SQL(
CREATE TABLE IF NOT EXISTS keys(
    id INTEGER PRIMARY KEY,
    parent INTEGER NOT NULL,
    name TEXT NOT NULL,
    folded TEXT NOT NULL,
    written INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS keys_child ON keys(parent, folded);
CREATE TABLE IF NOT EXISTS vals(
    key INTEGER NOT NULL,
    folded TEXT NOT NULL,
    name TEXT NOT NULL,
    seq INTEGER NOT NULL,
    type INTEGER NOT NULL,
    data BLOB NOT NULL,
    PRIMARY KEY(key, folded)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS vals_order ON vals(key, seq);
CREATE TABLE IF NOT EXISTS accounts(
    folded TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    salt BLOB NOT NULL,
    hash BLOB NOT NULL);
CREATE TABLE IF NOT EXISTS groups(
    folded TEXT PRIMARY KEY,
    name TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS members(
    grp TEXT NOT NULL,
    member TEXT NOT NULL,
    PRIMARY KEY(grp, member)) WITHOUT ROWID;
INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES
    (1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE'),
    (2, 0, 'HKEY_USERS', 'HKEY_USERS');
)SQL";

enum EStatement
{
    kFindChild,
    kInsertKey,
    kHasChildren,
    kDeleteKey,
    kDeleteKeyValues,
    kKeyExists,
    kQueryValue,
    kUpsertValue,
    kDeleteValue,
    kEnumKeyFirst,
    kEnumKeyAfter,
    kEnumKeyOffset,
    kEnumValueOffset,
    kInfoKeys,
    kInfoValues,
    kTouch,
    kAddAccount,
    kGetAccount,
    kAddGroup,
    kAddMember,
    kIsMember,
    kBegin,
    kCommit,
    kWritten,
};

int64_t NowFileTime()
{
    // 100 ns ticks since 1601, as FILETIME counts.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<int64_t>(now.tv_sec) + 11644473600LL) * 10000000LL + now.tv_nsec / 100;
}

DWORD SplitPath(const std::wstring& path, std::vector<std::wstring>& parts)
{
    parts.clear();
    size_t pos = 0;
    while (pos < path.size())
    {
        size_t end = path.find(L'\\', pos);
        if (end == std::wstring::npos)
            end = path.size();
        if (end == pos)
            return ERROR_BAD_PATHNAME; // empty component (leading or doubled backslash)
        if (end - pos > 255)
            return ERROR_INVALID_PARAMETER;
        parts.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return ERROR_SUCCESS;
}

std::string Utf8(const std::wstring& text) { return ToUtf8(text); }

void BindText(sqlite3_stmt* s, int index, const std::string& text)
{
    sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::wstring ColumnText(sqlite3_stmt* s, int column)
{
    const unsigned char* text = sqlite3_column_text(s, column);
    return FromUtf8(text != nullptr ? reinterpret_cast<const char*>(text) : "");
}

std::string ColumnBlob(sqlite3_stmt* s, int column)
{
    const void* blob = sqlite3_column_blob(s, column);
    int n = sqlite3_column_bytes(s, column);
    return blob != nullptr ? std::string(static_cast<const char*>(blob), static_cast<size_t>(n)) : std::string();
}

// Resets a statement when the scope ends, so that no read lock is held between calls.
class CReset
{
public:
    explicit CReset(sqlite3_stmt* s) : m_p(s) {}
    ~CReset()
    {
        if (m_p != nullptr)
        {
            sqlite3_reset(m_p);
            sqlite3_clear_bindings(m_p);
        }
    }

private:
    sqlite3_stmt* m_p;
};

std::string HashPassword(const std::wstring& password, const std::string& salt)
{
    std::string secret = Utf8(password);
    unsigned char hash[32];
    PKCS5_PBKDF2_HMAC(secret.data(), static_cast<int>(secret.size()),
                      reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                      kPbkdf2Iterations, EVP_sha256(), sizeof hash, hash);
    OPENSSL_cleanse(secret.data(), secret.size());
    return std::string(reinterpret_cast<char*>(hash), sizeof hash);
}

} // namespace

void CRegistryWriter::String(const std::wstring& key, const std::wstring& name, const std::wstring& value, DWORD type)
{
    Put(key, name, type, ToStoredString(value));
}

void CRegistryWriter::Dword(const std::wstring& key, const std::wstring& name, DWORD value)
{
    Put(key, name, 4 /* REG_DWORD */, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

void CRegistryWriter::Key(const std::wstring& key)
{
    int64_t id;
    bool created;
    Check(m_Store.CreateKey(kKeyLocalMachine, key, id, created));
}

void CRegistryWriter::Put(const std::wstring& key, const std::wstring& name, DWORD type, const std::string& data)
{
    int64_t id = 0;
    bool created;
    DWORD rc = m_Store.CreateKey(kKeyLocalMachine, key, id, created);
    if (rc == ERROR_SUCCESS)
        rc = m_Store.SetValue(id, name, type, data);
    Check(rc);
}

std::string CRegistryStore::Fold(const std::wstring& name)
{
    return Utf8(winport::fleet::FoldName(name));
}

CRegistryStore::~CRegistryStore() { Close(); }

void CRegistryStore::Close()
{
    for (sqlite3_stmt*& s : m_Statements)
    {
        sqlite3_finalize(s);
        s = nullptr;
    }
    if (m_pDb != nullptr)
    {
        sqlite3_close(m_pDb);
        m_pDb = nullptr;
    }
}

DWORD CRegistryStore::Open(const std::string& path)
{
    Close();
    // Accounts and their hashes are for the owner alone: a new store is made 0600 whatever the
    // umask (SQLite gives its -wal and -shm files the store's mode), and one left wider by an
    // older build is narrowed. An existing store is changed by path only: closing a descriptor
    // of it would drop the locks this process holds on it through SQLite.
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
    {
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0)
        {
            fchmod(fd, 0600);
            close(fd);
        }
    }
    for (const char* suffix : {"", "-wal", "-shm"})
    {
        std::string file = path + suffix;
        if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
            chmod(file.c_str(), st.st_mode & 0700);
    }
    if (sqlite3_open_v2(path.c_str(), &m_pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
    {
        Close();
        return ERROR_REGISTRY_IO_FAILED;
    }
    sqlite3_busy_timeout(m_pDb, 30000);
    char* error = nullptr;
    if (sqlite3_exec(m_pDb, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     &error) != SQLITE_OK ||
        sqlite3_exec(m_pDb, kSchema, nullptr, nullptr, &error) != SQLITE_OK)
    {
        sqlite3_free(error);
        Close();
        return ERROR_REGISTRY_CORRUPT;
    }
    return ERROR_SUCCESS;
}

sqlite3_stmt* CRegistryStore::Prepare(int slot, const char* sql)
{
    if (m_Statements[slot] == nullptr && m_pDb != nullptr)
        sqlite3_prepare_v3(m_pDb, sql, -1, SQLITE_PREPARE_PERSISTENT, &m_Statements[slot], nullptr);
    return m_Statements[slot];
}

DWORD CRegistryStore::Step(sqlite3_stmt* statement)
{
    if (statement == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE)
        return ERROR_SUCCESS;
    return rc == SQLITE_CONSTRAINT ? ERROR_ALREADY_EXISTS : ERROR_REGISTRY_IO_FAILED;
}

DWORD CRegistryStore::FindChild(int64_t parent, const std::string& folded, int64_t& key)
{
    sqlite3_stmt* s = Prepare(kFindChild, "SELECT id FROM keys WHERE parent=? AND folded=?");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, parent);
    BindText(s, 2, folded);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
    {
        key = sqlite3_column_int64(s, 0);
        return ERROR_SUCCESS;
    }
    return rc == SQLITE_DONE ? ERROR_FILE_NOT_FOUND : ERROR_REGISTRY_IO_FAILED;
}

bool CRegistryStore::KeyExists(int64_t key)
{
    sqlite3_stmt* s = Prepare(kKeyExists, "SELECT 1 FROM keys WHERE id=?");
    if (s == nullptr)
        return false;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, key);
    return sqlite3_step(s) == SQLITE_ROW;
}

DWORD CRegistryStore::OpenKey(int64_t parent, const std::wstring& path, int64_t& key)
{
    std::vector<std::wstring> parts;
    DWORD rc = SplitPath(path, parts);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!KeyExists(parent))
        return ERROR_KEY_DELETED;
    int64_t current = parent;
    for (const std::wstring& part : parts)
    {
        rc = FindChild(current, Fold(part), current);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
    key = current;
    return ERROR_SUCCESS;
}

void CRegistryStore::Touch(int64_t key)
{
    sqlite3_stmt* s = Prepare(kTouch, "UPDATE keys SET written=? WHERE id=?");
    if (s == nullptr)
        return;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, NowFileTime());
    sqlite3_bind_int64(s, 2, key);
    sqlite3_step(s);
}

DWORD CRegistryStore::CreateKey(int64_t parent, const std::wstring& path, int64_t& key, bool& created)
{
    created = false;
    std::vector<std::wstring> parts;
    DWORD rc = SplitPath(path, parts);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!KeyExists(parent))
        return ERROR_KEY_DELETED;
    int64_t current = parent;
    for (const std::wstring& part : parts)
    {
        std::string folded = Fold(part);
        rc = FindChild(current, folded, current);
        if (rc == ERROR_FILE_NOT_FOUND)
        {
            sqlite3_stmt* s = Prepare(kInsertKey, "INSERT INTO keys(parent, name, folded, written) VALUES(?,?,?,?)");
            if (s == nullptr)
                return ERROR_REGISTRY_IO_FAILED;
            CReset reset(s);
            sqlite3_bind_int64(s, 1, current);
            BindText(s, 2, Utf8(part));
            BindText(s, 3, folded);
            sqlite3_bind_int64(s, 4, NowFileTime());
            rc = Step(s);
            if (rc != ERROR_SUCCESS)
                return rc;
            current = sqlite3_last_insert_rowid(m_pDb);
            created = true;
        }
        else if (rc != ERROR_SUCCESS)
            return rc;
    }
    key = current;
    return ERROR_SUCCESS;
}

DWORD CRegistryStore::DeleteKey(int64_t parent, const std::wstring& path)
{
    int64_t key = 0;
    DWORD rc = OpenKey(parent, path, key);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (key == kKeyLocalMachine || key == kKeyUsers || path.empty())
        return ERROR_ACCESS_DENIED;
    sqlite3_stmt* has = Prepare(kHasChildren, "SELECT 1 FROM keys WHERE parent=? LIMIT 1");
    if (has == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    {
        CReset reset(has);
        sqlite3_bind_int64(has, 1, key);
        if (sqlite3_step(has) == SQLITE_ROW)
            return ERROR_ACCESS_DENIED;
    }
    DWORD begin = Begin();
    if (begin != ERROR_SUCCESS)
        return begin;
    sqlite3_stmt* values = Prepare(kDeleteKeyValues, "DELETE FROM vals WHERE key=?");
    sqlite3_stmt* row = Prepare(kDeleteKey, "DELETE FROM keys WHERE id=?");
    if (values == nullptr || row == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    {
        CReset r1(values), r2(row);
        sqlite3_bind_int64(values, 1, key);
        sqlite3_bind_int64(row, 1, key);
        rc = Step(values);
        if (rc == ERROR_SUCCESS)
            rc = Step(row);
    }
    if (rc != ERROR_SUCCESS)
    {
        sqlite3_exec(m_pDb, "ROLLBACK", nullptr, nullptr, nullptr);
        return rc;
    }
    return Commit();
}

DWORD CRegistryStore::QueryValue(int64_t key, const std::wstring& name, DWORD& type, std::string& data)
{
    sqlite3_stmt* s = Prepare(kQueryValue, "SELECT type, data FROM vals WHERE key=? AND folded=?");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, Fold(name));
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
    {
        type = static_cast<DWORD>(sqlite3_column_int64(s, 0));
        data = ColumnBlob(s, 1);
        return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    return KeyExists(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
}

DWORD CRegistryStore::SetValue(int64_t key, const std::wstring& name, DWORD type, const std::string& data)
{
    if (name.size() > 16383)
        return ERROR_INVALID_PARAMETER;
    if (!KeyExists(key))
        return ERROR_KEY_DELETED;
    // A new value goes after the others; a replaced one keeps its place and its spelling.
    sqlite3_stmt* s = Prepare(kUpsertValue,
                              "INSERT INTO vals(key, folded, name, seq, type, data) VALUES(?1, ?2, ?3, "
                              "(SELECT COALESCE(MAX(seq), 0) + 1 FROM vals WHERE key=?1), ?4, ?5) "
                              "ON CONFLICT(key, folded) DO UPDATE SET type=excluded.type, data=excluded.data");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, Fold(name));
    BindText(s, 3, Utf8(name));
    sqlite3_bind_int64(s, 4, type);
    sqlite3_bind_blob(s, 5, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    DWORD rc = Step(s);
    if (rc == ERROR_SUCCESS)
        Touch(key);
    return rc;
}

DWORD CRegistryStore::DeleteValue(int64_t key, const std::wstring& name)
{
    sqlite3_stmt* s = Prepare(kDeleteValue, "DELETE FROM vals WHERE key=? AND folded=?");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, key);
    BindText(s, 2, Fold(name));
    DWORD rc = Step(s);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (sqlite3_changes(m_pDb) == 0)
        return KeyExists(key) ? ERROR_FILE_NOT_FOUND : ERROR_KEY_DELETED;
    Touch(key);
    return ERROR_SUCCESS;
}

DWORD CRegistryStore::EnumKey(int64_t key, DWORD index, std::wstring& name)
{
    sqlite3_stmt* s = Prepare(kEnumKeyOffset, "SELECT name FROM keys WHERE parent=? ORDER BY folded LIMIT 1 OFFSET ?");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, key);
    sqlite3_bind_int64(s, 2, index);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
    {
        name = ColumnText(s, 0);
        return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    return KeyExists(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
}

DWORD CRegistryStore::EnumValue(int64_t key, DWORD index, std::wstring& name, DWORD& type, std::string& data)
{
    sqlite3_stmt* s = Prepare(kEnumValueOffset,
                              "SELECT name, type, data FROM vals WHERE key=? ORDER BY seq LIMIT 1 OFFSET ?");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    sqlite3_bind_int64(s, 1, key);
    sqlite3_bind_int64(s, 2, index);
    int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW)
    {
        name = ColumnText(s, 0);
        type = static_cast<DWORD>(sqlite3_column_int64(s, 1));
        data = ColumnBlob(s, 2);
        return ERROR_SUCCESS;
    }
    if (rc != SQLITE_DONE)
        return ERROR_REGISTRY_IO_FAILED;
    return KeyExists(key) ? ERROR_NO_MORE_ITEMS : ERROR_KEY_DELETED;
}

DWORD CRegistryStore::QueryInfo(int64_t key, SKeyInfo& info)
{
    info = SKeyInfo{};
    if (!KeyExists(key))
        return ERROR_KEY_DELETED;
    sqlite3_stmt* keys = Prepare(kInfoKeys, "SELECT name FROM keys WHERE parent=?");
    sqlite3_stmt* values = Prepare(kInfoValues, "SELECT name, length(data) FROM vals WHERE key=?");
    sqlite3_stmt* written = Prepare(kWritten, "SELECT written FROM keys WHERE id=?");
    if (keys == nullptr || values == nullptr || written == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    {
        CReset reset(keys);
        sqlite3_bind_int64(keys, 1, key);
        while (sqlite3_step(keys) == SQLITE_ROW)
        {
            ++info.subKeys;
            // Lengths in UTF-16 code units, as Windows counts them.
            DWORD length = static_cast<DWORD>(ToUtf16(ColumnText(keys, 0)).size());
            info.maxSubKeyLength = std::max(info.maxSubKeyLength, length);
        }
    }
    {
        CReset reset(values);
        sqlite3_bind_int64(values, 1, key);
        while (sqlite3_step(values) == SQLITE_ROW)
        {
            ++info.values;
            DWORD length = static_cast<DWORD>(ToUtf16(ColumnText(values, 0)).size());
            info.maxValueNameLength = std::max(info.maxValueNameLength, length);
            info.maxValueLength = std::max(info.maxValueLength, static_cast<DWORD>(sqlite3_column_int64(values, 1)));
        }
    }
    {
        CReset reset(written);
        sqlite3_bind_int64(written, 1, key);
        if (sqlite3_step(written) == SQLITE_ROW)
            info.lastWriteTime = sqlite3_column_int64(written, 0);
    }
    return ERROR_SUCCESS;
}

DWORD CRegistryStore::Begin()
{
    sqlite3_stmt* s = Prepare(kBegin, "BEGIN IMMEDIATE");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    return Step(s);
}

DWORD CRegistryStore::Commit()
{
    sqlite3_stmt* s = Prepare(kCommit, "COMMIT");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    return Step(s);
}

DWORD CRegistryStore::AddAccount(const std::wstring& name, const std::wstring& password)
{
    if (name.empty() || name.size() > 104 || name.find_first_of(L"\\/\"[]:|<>+=;,?*@") != std::wstring::npos)
        return ERROR_INVALID_ACCOUNT_NAME;
    unsigned char salt[16];
    if (RAND_bytes(salt, sizeof salt) != 1)
        return ERROR_GEN_FAILURE;
    std::string saltText(reinterpret_cast<char*>(salt), sizeof salt);
    std::string hash = HashPassword(password, saltText);
    sqlite3_stmt* s = Prepare(kAddAccount,
                              "INSERT INTO accounts(folded, name, salt, hash) VALUES(?,?,?,?) "
                              "ON CONFLICT(folded) DO UPDATE SET salt=excluded.salt, hash=excluded.hash");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    BindText(s, 1, Fold(name));
    BindText(s, 2, Utf8(name));
    sqlite3_bind_blob(s, 3, saltText.data(), static_cast<int>(saltText.size()), SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 4, hash.data(), static_cast<int>(hash.size()), SQLITE_TRANSIENT);
    return Step(s);
}

bool CRegistryStore::AccountExists(const std::wstring& name)
{
    sqlite3_stmt* s = Prepare(kGetAccount, "SELECT salt, hash FROM accounts WHERE folded=?");
    if (s == nullptr)
        return false;
    CReset reset(s);
    BindText(s, 1, Fold(name));
    return sqlite3_step(s) == SQLITE_ROW;
}

DWORD CRegistryStore::CheckPassword(const std::wstring& name, const std::wstring& password)
{
    sqlite3_stmt* s = Prepare(kGetAccount, "SELECT salt, hash FROM accounts WHERE folded=?");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    BindText(s, 1, Fold(name));
    if (sqlite3_step(s) != SQLITE_ROW)
        return ERROR_NO_SUCH_USER;
    std::string salt = ColumnBlob(s, 0);
    std::string stored = ColumnBlob(s, 1);
    std::string hash = HashPassword(password, salt);
    bool same = hash.size() == stored.size() && CRYPTO_memcmp(hash.data(), stored.data(), hash.size()) == 0;
    return same ? ERROR_SUCCESS : ERROR_LOGON_FAILURE;
}

DWORD CRegistryStore::AddGroup(const std::wstring& name)
{
    sqlite3_stmt* s = Prepare(kAddGroup, "INSERT OR IGNORE INTO groups(folded, name) VALUES(?,?)");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    BindText(s, 1, Fold(name));
    BindText(s, 2, Utf8(name));
    return Step(s);
}

DWORD CRegistryStore::AddGroupMember(const std::wstring& group, const std::wstring& member)
{
    sqlite3_stmt* s = Prepare(kAddMember, "INSERT OR IGNORE INTO members(grp, member) VALUES(?,?)");
    if (s == nullptr)
        return ERROR_REGISTRY_IO_FAILED;
    CReset reset(s);
    BindText(s, 1, Fold(group));
    BindText(s, 2, Fold(member));
    return Step(s);
}

bool CRegistryStore::IsGroupMember(const std::wstring& group, const std::wstring& member)
{
    sqlite3_stmt* s = Prepare(kIsMember, "SELECT 1 FROM members WHERE grp=? AND member=?");
    if (s == nullptr)
        return false;
    CReset reset(s);
    BindText(s, 1, Fold(group));
    BindText(s, 2, Fold(member));
    return sqlite3_step(s) == SQLITE_ROW;
}

} // namespace machine

namespace machine
{

const char* CRegistryStore::LastMessage() const
{
    return m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : "the database is not open";
}

} // namespace machine
