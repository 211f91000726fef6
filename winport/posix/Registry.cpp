// Linux only: the registry functions, as requests to the machine servers.
#include "winport/WinReg.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/posix/MachineClient.h"
#include "winport/posix/Network.h"
#include "winport/posix/PosixSupport.h"

#include <cstring>
#include <cwchar>

using namespace machine::protocol;
using winport::posix::CMachineConnection;

namespace
{

// A key handle: a key of some machine's server.
class CKeyObject : public winport::posix::CKernelObject
{
public:
    CKeyObject(std::shared_ptr<CMachineConnection> connection, uint64_t serverKey, bool owned)
        : m_Connection(std::move(connection)), m_ServerKey(serverKey), m_bOwned(owned)
    {
    }
    ~CKeyObject() override
    {
        if (m_bOwned)
        {
            SRegCloseKeyRequest request;
            request.key = m_ServerKey;
            SStatusReply reply;
            m_Connection->Call(request, reply);
        }
    }
    std::shared_ptr<CMachineConnection> m_Connection;
    uint64_t m_ServerKey;
    bool m_bOwned; // false for a predefined key of another machine
};

bool IsPredefined(HKEY key)
{
    uint64_t value = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
    return value >= static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT)) &&
           value <= static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(HKEY_CURRENT_CONFIG));
}

DWORD Resolve(HKEY key, std::shared_ptr<CMachineConnection>& connection, uint64_t& serverKey)
{
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (IsPredefined(key))
    {
        serverKey = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
        return CMachineConnection::Local(connection);
    }
    auto object = std::dynamic_pointer_cast<CKeyObject>(winport::posix::LookupHandle(key));
    if (!object)
        return ERROR_INVALID_HANDLE;
    connection = object->m_Connection;
    serverKey = object->m_ServerKey;
    return ERROR_SUCCESS;
}

std::string Utf8(LPCWSTR text) { return text != nullptr ? winport::ToUtf8(text) : std::string(); }

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

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

std::string NativeToStored(DWORD type, const BYTE* data, DWORD size)
{
    if (data == nullptr || size == 0)
        return std::string();
    if (!IsStringType(type))
        return std::string(reinterpret_cast<const char*>(data), size);
    std::wstring text(size / sizeof(wchar_t), L'\0');
    memcpy(text.data(), data, text.size() * sizeof(wchar_t));
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
    if (*nameLength <= text.size())
        return ERROR_MORE_DATA;
    wmemcpy(name, text.c_str(), text.size() + 1);
    *nameLength = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

LSTATUS OpenOrCreate(bool create, HKEY key, LPCWSTR subKey, REGSAM access, PHKEY result, LPDWORD disposition)
{
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CMachineConnection> connection;
    uint64_t serverKey = 0;
    DWORD rc = Resolve(key, connection, serverKey);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    SRegOpenKeyRequest request;
    request.key = serverKey;
    request.path = Utf8(subKey);
    while (!request.path.empty() && request.path.back() == '\\')
        request.path.pop_back();
    request.access = access;
    SRegOpenKeyReply reply;
    rc = create ? connection->Call(request, reply, static_cast<uint16_t>(ERequest::RegCreateKey))
                : connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    *result = static_cast<HKEY>(winport::posix::InsertHandle(
        std::make_shared<CKeyObject>(std::move(connection), reply.key, true)));
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

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD dataSize)
{
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CMachineConnection> connection;
    SRegQueryValueRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    request.name = Utf8(valueName);
    SRegValueReply reply;
    rc = connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    if (type != nullptr)
        *type = reply.type;
    return CopyData(StoredToNative(reply.type, reply.data), data, dataSize);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataSize)
{
    if (data == nullptr && dataSize != 0)
        return ERROR_NOACCESS;
    std::shared_ptr<CMachineConnection> connection;
    SRegSetValueRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    request.name = Utf8(valueName);
    request.type = type;
    request.data = NativeToStored(type, data, dataSize);
    SStatusReply reply;
    rc = connection->Call(request, reply);
    return static_cast<LSTATUS>(rc == ERROR_SUCCESS ? reply.status : rc);
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName)
{
    std::shared_ptr<CMachineConnection> connection;
    SRegDeleteValueRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    request.name = Utf8(valueName);
    SStatusReply reply;
    rc = connection->Call(request, reply);
    return static_cast<LSTATUS>(rc == ERROR_SUCCESS ? reply.status : rc);
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey)
{
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::shared_ptr<CMachineConnection> connection;
    SRegDeleteKeyRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    request.path = Utf8(subKey);
    SStatusReply reply;
    rc = connection->Call(request, reply);
    return static_cast<LSTATUS>(rc == ERROR_SUCCESS ? reply.status : rc);
}

LSTATUS RegDeleteKeyExW(HKEY key, LPCWSTR subKey, REGSAM, DWORD) { return RegDeleteKeyW(key, subKey); }

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD, LPWSTR className,
                      LPDWORD classLength, PFILETIME lastWriteTime)
{
    std::shared_ptr<CMachineConnection> connection;
    SRegEnumRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    request.index = index;
    SRegEnumKeyReply reply;
    rc = connection->Call(request, reply, static_cast<uint16_t>(ERequest::RegEnumKey));
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
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
    std::shared_ptr<CMachineConnection> connection;
    SRegEnumRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    request.index = index;
    SRegValueReply reply;
    rc = connection->Call(request, reply, static_cast<uint16_t>(ERequest::RegEnumValue));
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
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
    std::shared_ptr<CMachineConnection> connection;
    SRegQueryInfoKeyRequest request;
    DWORD rc = Resolve(key, connection, request.key);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    SRegQueryInfoKeyReply reply;
    rc = connection->Call(request, reply);
    if (rc == ERROR_SUCCESS)
        rc = reply.status;
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
        lastWriteTime->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(reply.lastWriteTime) >> 32);
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
    if (winport::fleet::NamesEqual(winport::FromUtf8(folder), winport::FromUtf8(winport::fleet::CurrentMachine().name)))
    {
        *result = key;
        return ERROR_SUCCESS;
    }
    std::shared_ptr<CMachineConnection> connection;
    DWORD rc = winport::posix::ConnectionForServer(folder, connection);
    if (rc != ERROR_SUCCESS)
        return static_cast<LSTATUS>(rc);
    *result = static_cast<HKEY>(winport::posix::InsertHandle(std::make_shared<CKeyObject>(
        std::move(connection), static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key)), false)));
    return ERROR_SUCCESS;
}
