// Registry keys: the key object and the registry requests.
#include "fleetsim/server/Handlers.h"

#include "winport/WinReg.h"
#include "winport/WinString.h"

namespace machine
{
namespace
{

class CKey : public CObject
{
public:
    static const SObjectOps s_Ops;
    explicit CKey(int64_t key) : CObject(s_Ops), m_Key(key) {}
    int64_t m_Key;
};
const SObjectOps CKey::s_Ops = {"Key", nullptr, nullptr, nullptr, nullptr};

constexpr uint32_t kReadRights = KEY_READ | KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr uint32_t kAllRights = KEY_ALL_ACCESS | KEY_WOW64_64KEY | KEY_WOW64_32KEY;

uint64_t Predefined(HKEY key)
{
    return static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(key));
}

std::wstring Wide(const std::string& utf8)
{
    return winport::FromUtf8(utf8);
}

// A request's key, one of the caller's handles or a predefined key, holding the rights asked.
// Callers that are no administrators get read rights at most, as Users do on Windows.
DWORD ResolveKeyWithRight(SRequestContext& context, uint64_t handle, uint32_t right, int64_t& key,
                          uint32_t* granted = nullptr)
{
    CClientProcess& process = *context.connection.process;
    CRegistryStore& store = context.server.Store();
    uint32_t access = process.Identity().administrator ? kAllRights : kReadRights;
    DWORD rc = ERROR_INVALID_HANDLE;
    bool created = false;
    if (handle == Predefined(HKEY_LOCAL_MACHINE))
    {
        key = kKeyLocalMachine;
        rc = ERROR_SUCCESS;
    }
    else if (handle == Predefined(HKEY_USERS))
    {
        key = kKeyUsers;
        rc = ERROR_SUCCESS;
    }
    else if (process.Identity().local && handle == Predefined(HKEY_CLASSES_ROOT))
        rc = store.CreateKey(kKeyLocalMachine, L"SOFTWARE\\Classes", key, created);
    else if (process.Identity().local && handle == Predefined(HKEY_CURRENT_USER))
        rc = store.CreateKey(kKeyUsers, L".DEFAULT", key, created);
    else if (process.Identity().local && handle == Predefined(HKEY_CURRENT_CONFIG))
        rc =
            store.CreateKey(kKeyLocalMachine,
                            L"SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current", key, created);
    else
    {
        std::shared_ptr<CObject> object;
        rc = process.Get(handle, CKey::s_Ops, 0, object, &access);
        if (rc == ERROR_SUCCESS)
            key = static_cast<CKey&>(*object).m_Key;
    }
    if (rc == ERROR_SUCCESS && (access & right) != right)
        rc = ERROR_ACCESS_DENIED;
    if (granted != nullptr)
        *granted = access;
    return rc;
}

void OpenOrCreate(SRequestContext& context, bool create, uint64_t handle, const std::string& path,
                  uint32_t access, protocol::SRegOpenKeyReply& out)
{
    const SCallerIdentity& caller = context.connection.process->Identity();
    uint32_t parentAccess = 0;
    int64_t parent = 0;
    out.status = ResolveKeyWithRight(context, handle, 0, parent, &parentAccess);
    if (out.status != ERROR_SUCCESS)
        return;
    // MAXIMUM_ALLOWED gives what the caller may have; anything else must be allowed whole.
    uint32_t allowed = caller.administrator ? kAllRights : kReadRights;
    uint32_t wanted =
        access & ~(MAXIMUM_ALLOWED | GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_EXECUTE))
        wanted |= KEY_READ;
    if (access & GENERIC_WRITE)
        wanted |= KEY_WRITE;
    if (access & GENERIC_ALL)
        wanted |= KEY_ALL_ACCESS;
    if (!caller.administrator && (wanted & ~allowed) != 0)
    {
        out.status = ERROR_ACCESS_DENIED;
        return;
    }
    if (access & MAXIMUM_ALLOWED)
        wanted |= allowed;
    int64_t key = 0;
    CRegistryStore& store = context.server.Store();
    if (create)
    {
        bool created = false;
        if (!caller.administrator)
        {
            // Users may open what exists, but create nothing.
            out.status = store.OpenKey(parent, Wide(path), key);
            if (out.status == ERROR_FILE_NOT_FOUND)
                out.status = ERROR_ACCESS_DENIED;
        }
        else
        {
            out.status = store.CreateKey(parent, Wide(path), key, created);
            if (out.status == ERROR_SUCCESS && created &&
                (parentAccess & KEY_CREATE_SUB_KEY) != KEY_CREATE_SUB_KEY)
                out.status = ERROR_ACCESS_DENIED;
        }
        out.created = created ? 1 : 0;
    }
    else
        out.status = store.OpenKey(parent, Wide(path), key);
    if (out.status == ERROR_SUCCESS)
        out.key = context.connection.process->Insert(std::make_shared<CKey>(key), wanted);
}

} // namespace

namespace handlers
{

void RegOpenKey(SRequestContext& context, SRegOpenKeyRequest& in, SRegOpenKeyReply& out)
{
    OpenOrCreate(context, false, in.key, in.path, in.access, out);
}

void RegCreateKey(SRequestContext& context, SRegCreateKeyRequest& in, SRegOpenKeyReply& out)
{
    OpenOrCreate(context, true, in.key, in.path, in.access, out);
}

void RegCloseKey(SRequestContext& context, SRegCloseKeyRequest& in, SStatusReply& out)
{
    std::shared_ptr<CObject> object;
    out.status = context.connection.process->Get(in.key, CKey::s_Ops, 0, object);
    if (out.status == ERROR_SUCCESS)
        out.status = context.connection.process->Close(in.key);
}

void RegQueryValue(SRequestContext& context, SRegQueryValueRequest& in, SRegValueReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, KEY_QUERY_VALUE, key);
    if (out.status == ERROR_SUCCESS)
    {
        DWORD type = 0;
        out.status = context.server.Store().QueryValue(key, Wide(in.name), type, out.data);
        out.type = type;
    }
}

void RegSetValue(SRequestContext& context, SRegSetValueRequest& in, SStatusReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, KEY_SET_VALUE, key);
    if (out.status == ERROR_SUCCESS)
        out.status = context.server.Store().SetValue(key, Wide(in.name), in.type, in.data);
}

void RegDeleteValue(SRequestContext& context, SRegDeleteValueRequest& in, SStatusReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, KEY_SET_VALUE, key);
    if (out.status == ERROR_SUCCESS)
        out.status = context.server.Store().DeleteValue(key, Wide(in.name));
}

void RegDeleteKey(SRequestContext& context, SRegDeleteKeyRequest& in, SStatusReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, 0, key);
    if (out.status == ERROR_SUCCESS && !context.connection.process->Identity().administrator)
        out.status = ERROR_ACCESS_DENIED;
    if (out.status == ERROR_SUCCESS)
        out.status = in.path.empty() ? ERROR_ACCESS_DENIED
                                     : context.server.Store().DeleteKey(key, Wide(in.path));
}

void RegEnumKey(SRequestContext& context, SRegEnumKeyRequest& in, SRegEnumKeyReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, KEY_ENUMERATE_SUB_KEYS, key);
    std::wstring name;
    if (out.status == ERROR_SUCCESS)
        out.status = context.server.Store().EnumKey(key, in.index, name);
    out.name = winport::ToUtf8(name);
}

void RegEnumValue(SRequestContext& context, SRegEnumValueRequest& in, SRegValueReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, KEY_QUERY_VALUE, key);
    std::wstring name;
    DWORD type = 0;
    if (out.status == ERROR_SUCCESS)
        out.status = context.server.Store().EnumValue(key, in.index, name, type, out.data);
    out.name = winport::ToUtf8(name);
    out.type = type;
}

void RegQueryInfoKey(SRequestContext& context, SRegQueryInfoKeyRequest& in,
                     SRegQueryInfoKeyReply& out)
{
    int64_t key;
    out.status = ResolveKeyWithRight(context, in.key, KEY_QUERY_VALUE, key);
    CRegistryStore::SKeyInfo info;
    if (out.status == ERROR_SUCCESS)
        out.status = context.server.Store().QueryInfo(key, info);
    out.subKeys = info.subKeys;
    out.maxSubKeyLength = info.maxSubKeyLength;
    out.values = info.values;
    out.maxValueNameLength = info.maxValueNameLength;
    out.maxValueLength = info.maxValueLength;
    out.lastWriteTime = info.lastWriteTime;
}

} // namespace handlers
} // namespace machine
