// Linux only: the registry functions, as requests to the machine servers.
#include "winport/WinReg.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/fleet/MachineClient.h"
#include "winport/fleet/Network.h"
#include "winport/posix/PosixSupport.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <mutex>

using namespace machine::protocol;
using winport::posix::CMachineConnection;

namespace
{

// A key handle: a key of some machine's server, and how to open it again when that server has
// ended meanwhile (its path below a predefined key, and the rights it was opened with).
class CKeyObject : public winport::posix::CKernelObject
{
public:
    CKeyObject(std::shared_ptr<CMachineConnection> connection, uint64_t serverKey, bool owned,
               uint64_t root, std::string path, uint32_t access)
        : m_Connection(std::move(connection)), m_ServerKey(serverKey), m_bOwned(owned),
          m_Root(root), m_Path(std::move(path)), m_Access(access)
    {
    }
    ~CKeyObject() override
    {
        if (m_bOwned && !m_Connection->IsBroken())
        {
            SRegCloseKeyRequest request;
            request.key = m_ServerKey;
            SStatusReply reply;
            m_Connection->Call(request, reply);
        }
    }
    // The connection and server key to use now, reopened by path on a fresh connection when the
    // server that held it has gone.
    DWORD Current(std::shared_ptr<CMachineConnection>& connection, uint64_t& serverKey)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Connection->IsBroken())
        {
            std::shared_ptr<CMachineConnection> fresh;
            DWORD rc = CMachineConnection::Renew(m_Connection, fresh);
            if (rc != ERROR_SUCCESS)
                return rc;
            uint64_t reopened = m_Root;
            if (m_bOwned)
            {
                SRegOpenKeyRequest request;
                request.key = m_Root;
                request.path = m_Path;
                request.access = m_Access;
                SRegOpenKeyReply reply;
                rc = fresh->Call(request, reply);
                if (rc == ERROR_SUCCESS)
                    rc = reply.status == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : reply.status;
                if (rc != ERROR_SUCCESS)
                    return rc;
                reopened = reply.key;
            }
            m_Connection = std::move(fresh);
            m_ServerKey = reopened;
        }
        connection = m_Connection;
        serverKey = m_ServerKey;
        return ERROR_SUCCESS;
    }
    uint64_t Root() const { return m_Root; }
    const std::string& Path() const { return m_Path; }

private:
    std::mutex m_Lock;
    std::shared_ptr<CMachineConnection> m_Connection;
    uint64_t m_ServerKey;
    bool m_bOwned; // false for a predefined key of another machine
    uint64_t m_Root;
    std::string m_Path;
    uint32_t m_Access;
};

bool IsPredefined(HKEY key)
{
    uint64_t value = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
    return value >= static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT)) &&
           value <= static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_CONFIG));
}

// This machine's server as the calling thread acts: a thread that impersonates an account of a
// logon that checked its password acts as that account, others as the process's account.
DWORD LocalConnection(std::shared_ptr<CMachineConnection>& connection)
{
    std::wstring user, password;
    if (winport::security::ThreadLogonCredentials(user, password))
        return CMachineConnection::Remote(winport::fleet::CurrentMachine().name, user, password,
                                          connection);
    return CMachineConnection::Local(connection);
}

DWORD Resolve(HKEY key, std::shared_ptr<CMachineConnection>& connection, uint64_t& serverKey)
{
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (IsPredefined(key))
    {
        serverKey = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
        return LocalConnection(connection);
    }
    auto object = std::dynamic_pointer_cast<CKeyObject>(winport::posix::LookupHandle(key));
    if (!object)
        return ERROR_INVALID_HANDLE;
    return object->Current(connection, serverKey);
}

// One request about a key and its status; a server that ended meanwhile is asked once more,
// on a fresh connection with the key reopened.
template <class TRequest>
DWORD Send(HKEY key, TRequest& request, typename TRequestTraits<TRequest>::TReply& reply,
           std::shared_ptr<CMachineConnection>* used = nullptr)
{
    for (int attempt = 0;; ++attempt)
    {
        std::shared_ptr<CMachineConnection> connection;
        DWORD rc = Resolve(key, connection, request.key);
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = connection->Call(request, reply);
        if (rc == ERROR_NOT_READY && attempt == 0)
            continue;
        if (used != nullptr)
            *used = std::move(connection);
        return rc == ERROR_SUCCESS ? reply.status : rc;
    }
}

std::string Utf8(LPCWSTR text)
{
    return text != nullptr ? winport::ToUtf8(text) : std::string();
}

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Stored UTF-16LE bytes to this platform's WCHAR bytes, and back.
std::string StoredToNative(DWORD type, const std::string& stored)
{
    if (!IsStringType(type))
        return stored;
    std::u16string units(stored.size() / 2, u'\0');
    memcpy(units.data(), stored.data(), units.size() * 2);
    std::wstring text = winport::FromUtf16(units.data(), units.size());
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

// Whether the character after a caller's string is a terminator. Windows looks there too; we
// look only where that cannot fault, within the page of the string's last byte. It is a read
// past what the caller gave, which the address sanitizer is told to let pass.
__attribute__((no_sanitize("address"))) bool TerminatorFollows(const wchar_t* chars, size_t count)
{
    static const uintptr_t s_PageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t lastByte = reinterpret_cast<uintptr_t>(chars + count) - 1;
    uintptr_t nextLastByte = lastByte + sizeof(wchar_t);
    if (lastByte / s_PageSize != nextLastByte / s_PageSize)
        return false;
    const volatile wchar_t* next = chars + count;
    return *next == L'\0';
}

std::string NativeToStored(DWORD type, const BYTE* data, DWORD size)
{
    if (data == nullptr || size == 0)
        return std::string();
    if (!IsStringType(type))
        return std::string(reinterpret_cast<const char*>(data), size);
    // A string whose size leaves out the terminator that follows it in memory is stored with it,
    // as Windows does.
    const auto* chars = reinterpret_cast<const wchar_t*>(data);
    size_t count = size / sizeof(wchar_t);
    bool addTerminator = count > 0 && size % sizeof(wchar_t) == 0 && chars[count - 1] != L'\0' &&
                         TerminatorFollows(chars, count);
    std::wstring text(count, L'\0');
    memcpy(text.data(), data, count * sizeof(wchar_t));
    if (addTerminator)
        text.push_back(L'\0');
    std::u16string units = winport::ToUtf16(text);
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

// Copies value data out with the Win32 size protocol.
LSTATUS CopyData(const std::string& native, LPBYTE data, LPDWORD dataSize)
{
    if (dataSize == nullptr)
        return data == nullptr ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
    DWORD needed = static_cast<DWORD>(native.size());
    if (data == nullptr)
    {
        *dataSize = needed;
        return ERROR_SUCCESS;
    }
    if (*dataSize < needed)
    {
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    memcpy(data, native.data(), needed);
    *dataSize = needed;
    return ERROR_SUCCESS;
}

// Copies a name out: length in characters without the terminator; ERROR_MORE_DATA when the
// buffer cannot hold it and its terminator.
LSTATUS CopyName(const std::string& utf8, LPWSTR name, LPDWORD nameLength)
{
    if (name == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::wstring text = winport::FromUtf8(utf8);
    if (!winport::CopyTextOut(text, name, *nameLength))
        return ERROR_MORE_DATA;
    *nameLength = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

LSTATUS OpenOrCreate(bool create, HKEY key, LPCWSTR subKey, REGSAM access, PHKEY result,
                     LPDWORD disposition)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string path = Utf8(subKey);
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    // Where the new key hangs below its predefined key, to open it again after a server restart.
    uint64_t root = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
    std::string fullPath = path;
    if (!IsPredefined(key))
    {
        auto parent = std::dynamic_pointer_cast<CKeyObject>(winport::posix::LookupHandle(key));
        if (!parent)
            return ERROR_INVALID_HANDLE;
        root = parent->Root();
        fullPath = parent->Path().empty() ? path
                   : path.empty()         ? parent->Path()
                                          : parent->Path() + "\\" + path;
    }
    std::shared_ptr<CMachineConnection> connection;
    SRegOpenKeyReply reply;
    DWORD rc;
    if (create)
    {
        SRegCreateKeyRequest request;
        request.path = path;
        request.access = access;
        rc = Send(key, request, reply, &connection);
    }
    else
    {
        SRegOpenKeyRequest request;
        request.path = path;
        request.access = access;
        rc = Send(key, request, reply, &connection);
    }
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    *result = static_cast<HKEY>(winport::posix::InsertHandle(std::make_shared<CKeyObject>(
        std::move(connection), reply.key, true, root, fullPath, access)));
    if (disposition != nullptr)
        *disposition = reply.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

} // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM access, PHKEY result)
{
    return OpenOrCreate(false, key, subKey, access, result, nullptr);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM access,
                        SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    return OpenOrCreate(true, key, subKey, access, result, disposition);
}

LSTATUS RegCloseKey(HKEY key)
{
    if (IsPredefined(key))
        return ERROR_SUCCESS;
    auto object = std::dynamic_pointer_cast<CKeyObject>(winport::posix::LookupHandle(key));
    if (!object || !winport::posix::RemoveHandle(key))
        return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                         LPDWORD dataSize)
{
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    SRegQueryValueRequest request;
    request.name = Utf8(valueName);
    SRegValueReply reply;
    DWORD rc = Send(key, request, reply);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    if (type != nullptr)
        *type = reply.type;
    return CopyData(StoredToNative(reply.type, reply.data), data, dataSize);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                       DWORD dataSize)
{
    if (data == nullptr && dataSize != 0)
        return ERROR_NOACCESS;
    SRegSetValueRequest request;
    request.name = Utf8(valueName);
    request.type = type;
    request.data = NativeToStored(type, data, dataSize);
    SStatusReply reply;
    return static_cast<LSTATUS>(Send(key, request, reply));
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    SRegDeleteValueRequest request;
    request.name = Utf8(valueName);
    SStatusReply reply;
    return static_cast<LSTATUS>(Send(key, request, reply));
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    SRegDeleteKeyRequest request;
    request.path = Utf8(subKey);
    SStatusReply reply;
    return static_cast<LSTATUS>(Send(key, request, reply));
}

LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM, DWORD)
{
    return RegDeleteKeyW(key, subKey);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD,
                      LPWSTR className, LPDWORD classLength, PFILETIME lastWriteTime)
{
    SRegEnumKeyRequest request;
    request.index = index;
    SRegEnumKeyReply reply;
    DWORD rc = Send(key, request, reply);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    if (className != nullptr && classLength != nullptr && *classLength > 0)
        className[0] = L'\0';
    if (classLength != nullptr)
        *classLength = 0;
    if (lastWriteTime != nullptr)
        *lastWriteTime = FILETIME{0, 0};
    return CopyName(reply.name, name, nameLength);
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPDWORD type,
                      LPBYTE data, LPDWORD dataSize)
{
    SRegEnumValueRequest request;
    request.index = index;
    SRegValueReply reply;
    DWORD rc = Send(key, request, reply);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    LSTATUS named = CopyName(reply.name, name, nameLength);
    if (named != ERROR_SUCCESS)
        return named;
    if (type != nullptr)
        *type = reply.type;
    if (data == nullptr && dataSize == nullptr)
        return ERROR_SUCCESS;
    return CopyData(StoredToNative(reply.type, reply.data), data, dataSize);
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR className, LPDWORD classLength, LPDWORD, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                         LPDWORD maxValueNameLength, LPDWORD maxValueLength,
                         LPDWORD securityDescriptorLength, PFILETIME lastWriteTime)
{
    SRegQueryInfoKeyRequest request;
    SRegQueryInfoKeyReply reply;
    DWORD rc = Send(key, request, reply);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    if (className != nullptr && classLength != nullptr && *classLength > 0)
        className[0] = L'\0';
    if (classLength != nullptr)
        *classLength = 0;
    if (subKeys != nullptr)
        *subKeys = reply.subKeys;
    if (maxSubKeyLength != nullptr)
        *maxSubKeyLength = reply.maxSubKeyLength;
    if (maxClassLength != nullptr)
        *maxClassLength = 0;
    if (values != nullptr)
        *values = reply.values;
    if (maxValueNameLength != nullptr)
        *maxValueNameLength = reply.maxValueNameLength;
    // Stored UTF-16 strings take up to twice their bytes as this platform's WCHAR.
    if (maxValueLength != nullptr)
        *maxValueLength = reply.maxValueLength * 2;
    if (securityDescriptorLength != nullptr)
        *securityDescriptorLength = 0;
    if (lastWriteTime != nullptr)
    {
        lastWriteTime->dwLowDateTime = static_cast<DWORD>(reply.lastWriteTime);
        lastWriteTime->dwHighDateTime =
            static_cast<DWORD>(static_cast<uint64_t>(reply.lastWriteTime) >> 32);
    }
    return ERROR_SUCCESS;
}

LSTATUS RegConnectRegistryW(LPCWSTR machineName, HKEY key, PHKEY result)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (key != HKEY_LOCAL_MACHINE && key != HKEY_USERS)
        return ERROR_INVALID_HANDLE;
    std::string folder;
    if (machineName == nullptr || *machineName == L'\0')
        folder = winport::fleet::CurrentMachine().name;
    else if (DWORD rc = winport::fleet::ResolveServer(machineName, folder); rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    if (winport::fleet::NamesEqual(winport::FromUtf8(folder),
                                   winport::FromUtf8(winport::fleet::CurrentMachine().name)))
    {
        *result = key;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = winport::posix::ConnectionForServer(folder, connection);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    uint64_t predefined = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
    *result = static_cast<HKEY>(winport::posix::InsertHandle(std::make_shared<CKeyObject>(
        std::move(connection), predefined, false, predefined, std::string(), 0)));
    return ERROR_SUCCESS;
}
