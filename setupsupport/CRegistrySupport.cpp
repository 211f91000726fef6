// Registry actions with rollback.
#include "setupsupport/CRegistrySupport.h"
#include "setupsupport/CActionGlobalResource.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "setupsupport/CFileSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>

namespace
{

struct SRootName
{
    HKEY key;
    const wchar_t* name;
};
const SRootName kRoots[] = {
    {HKEY_CLASSES_ROOT, L"HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, L"HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, L"HKEY_LOCAL_MACHINE"},   {HKEY_USERS, L"HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, L"HKEY_CURRENT_CONFIG"},
};

std::wstring ErrorText(LSTATUS code)
{
    return CStringSupport::ConvertWin32ErrorCodeToString(static_cast<DWORD>(code));
}

std::wstring JoinLines(const std::vector<std::wstring>& lines)
{
    std::wstring text;
    for (const std::wstring& line : lines)
    {
        if (line.empty())
            continue;
        if (!text.empty())
            text += L'\n';
        text += line;
    }
    return text;
}

// While a list runs, each inverse is handed here before its change is made, for the list's
// partial rollback file: a process killed between a change and its note would leave the change
// without its way back.
thread_local std::function<void(const std::wstring&)> t_NoteInverse;

void NoteInverse(const std::wstring& inverse)
{
    if (t_NoteInverse)
        t_NoteInverse(inverse);
}

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The parts of an action string; false when it is not one.
struct SParsedAction
{
    std::wstring verb;
    HKEY root = nullptr;
    DWORD type = REG_DWORD;
    std::wstring keyPath, valueName, value;
};

bool ParseAction(std::wstring text, SParsedAction& parsed)
{
    text = CStringSupport::StringTrim(text, L" \t\r\n");
    if (!text.empty() && text.front() == L'[')
        text.erase(0, 1);
    if (!text.empty() && text.back() == L']')
        text.pop_back();
    size_t colon = text.find(L':');
    if (colon == std::wstring::npos)
        return false;
    parsed.verb = text.substr(0, colon);
    std::vector<std::wstring> items;
    for (size_t start = colon + 1;;)
    {
        size_t comma = text.find(L',', start);
        items.push_back(
            text.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start));
        if (comma == std::wstring::npos)
            break;
        start = comma + 1;
    }
    if (items.size() > 5)
        ADVLOG_UNEXPECTED_BRANCH(L"ParseRegistryActionString");
    if (items.size() < 5)
        return false; // every action names type, root, key, value name and value
    if (items[0] == L"REG_SZ")
        parsed.type = REG_SZ;
    else if (items[0] == L"REG_DWORD")
        parsed.type = REG_DWORD;
    else
    {
        ADVLOG_UNEXPECTED_BRANCH(L"ParseRegistryActionString");
        parsed.type = REG_DWORD;
    }
    parsed.root = nullptr;
    for (const SRootName& root : kRoots)
        if (items[1] == root.name)
            parsed.root = root.key;
    if (parsed.root == nullptr)
    {
        ADVLOG_UNEXPECTED_BRANCH(L"ParseRegistryActionString");
        return false;
    }
    parsed.keyPath = CStringSupport::StringTrim(items[2], L"\\");
    // An action never reaches a predefined key itself: removing "" would take a whole hive.
    if (parsed.keyPath.empty())
        return false;
    parsed.valueName = items[3];
    parsed.value = CStringSupport::StringReplace(items[4], L"#comma;", L",");
    return true;
}

} // namespace

// ---- Keys kept open while a list runs
// -------------------------------------------------------------

namespace
{
// Each action opens its key several times (to check it, to read the old data, to write), and
// every open and close is a call on the machine server. While a list or a rollback runs, the
// keys it opens stay open for its other actions; a removed key leaves the cache with all keys
// below it.
class CKeyCache
{
public:
    static CKeyCache*& Current()
    {
        thread_local CKeyCache* t_pCurrent = nullptr;
        return t_pCurrent;
    }
    ~CKeyCache()
    {
        for (auto& [name, key] : m_Keys)
            RegCloseKey(key);
    }
    // A key of the cache opened with all access, or null (and the error) when it cannot be.
    HKEY Open(HKEY root, const std::wstring& path, LSTATUS& error)
    {
        std::wstring name = Name(root, path);
        auto found = m_Keys.find(name);
        if (found != m_Keys.end())
        {
            error = ERROR_SUCCESS;
            return found->second;
        }
        HKEY key = nullptr;
        error = RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &key);
        if (error != ERROR_SUCCESS)
            return nullptr;
        m_Keys[name] = key;
        return key;
    }
    void Forget(HKEY root, const std::wstring& path)
    {
        std::wstring name = Name(root, path);
        for (auto it = m_Keys.begin(); it != m_Keys.end();)
            if (it->first == name || it->first.rfind(name + L"\\", 0) == 0)
            {
                RegCloseKey(it->second);
                it = m_Keys.erase(it);
            }
            else
                ++it;
    }

private:
    static std::wstring Name(HKEY root, const std::wstring& path)
    {
        return std::to_wstring(reinterpret_cast<uintptr_t>(root)) + L":" +
               CStringSupport::StringToLowerCase(CStringSupport::StringTrim(path, L"\\"));
    }
    std::map<std::wstring, HKEY> m_Keys;
};

// Keeps keys open for the scope, unless an outer scope does already.
class CKeyCacheScope
{
public:
    CKeyCacheScope()
    {
        if (CKeyCache::Current() == nullptr)
            CKeyCache::Current() = m_pOwned = new CKeyCache();
    }
    ~CKeyCacheScope()
    {
        if (m_pOwned != nullptr)
        {
            CKeyCache::Current() = nullptr;
            delete m_pOwned;
        }
    }
    CKeyCacheScope(const CKeyCacheScope&) = delete;
    CKeyCacheScope& operator=(const CKeyCacheScope&) = delete;

private:
    CKeyCache* m_pOwned = nullptr;
};
} // namespace

// ---- CRegistryAction
// --------------------------------------------------------------------------------

CRegistryAction::CRegistryAction(HKEY root, DWORD dataType, const std::wstring& keyPath,
                                 const std::wstring& valueName, const std::wstring& value)
    : m_hRootKey(root), m_dwDataType(dataType), m_strKeyPath(keyPath), m_strValueName(valueName),
      m_strValue(value)
{
}

std::wstring CRegistryAction::GetRootKeyString() const
{
    for (const SRootName& root : kRoots)
        if (root.key == m_hRootKey)
            return root.name;
    return std::wstring();
}

std::wstring CRegistryAction::GetDataTypeString() const
{
    return m_dwDataType == REG_SZ ? L"REG_SZ" : m_dwDataType == REG_DWORD ? L"REG_DWORD" : L"";
}

std::wstring CRegistryAction::ToString() const
{
    return CStringSupport::StringFormat(L"[%s,%s,%s,%s,%s]", GetRootKeyString().c_str(),
                                        GetDataTypeString().c_str(), m_strKeyPath.c_str(),
                                        m_strValueName.c_str(), m_strValue.c_str());
}

std::wstring CRegistryAction::ToActionString(const wchar_t* verb) const
{
    return CStringSupport::StringFormat(
        L"[%s:%s,%s,%s,%s,%s]", verb, GetDataTypeString().c_str(), GetRootKeyString().c_str(),
        m_strKeyPath.c_str(), m_strValueName.c_str(),
        CStringSupport::StringReplace(m_strValue, L",", L"#comma;").c_str());
}

// ---- External actions
// ---------------------------------------------------------------------------------

CRegistryExternalAction::CRegistryExternalAction(RegistryExternalActionType type, HKEY root,
                                                 DWORD dataType, const std::wstring& keyPath,
                                                 const std::wstring& valueName,
                                                 const std::wstring& value)
    : CRegistryAction(root, dataType, keyPath, valueName, value), m_Type(type)
{
}

CNormalErrorHandle CRegistryExternalAction::DoAction(std::wstring&)
{
    CNormalErrorHandle result;
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"This function should not be called!");
    result.SetErrorMessage(L"This function should not be called!");
    return result;
}

CNormalErrorHandle CRegistryUpdateAction::DoAction(std::wstring& rollbackText)
{
    ADVLOG_TRACE_FUNCTION(L"CRegistryUpdateAction::DoAction");
    std::vector<std::wstring> rollback;
    // The key path's chain, shortest first: A, A\B, A\B\C.
    std::vector<std::wstring> chain;
    for (size_t at = m_strKeyPath.find(L'\\'); at != std::wstring::npos;
         at = m_strKeyPath.find(L'\\', at + 1))
        chain.push_back(m_strKeyPath.substr(0, at));
    chain.push_back(m_strKeyPath);
    // The usual case, a key that is there: its whole chain is there too.
    if (CRegistrySupport::IsKeyExist(m_hRootKey, m_strKeyPath))
        chain.clear();
    for (const std::wstring& path : chain)
    {
        if (CRegistrySupport::IsKeyExist(m_hRootKey, path))
            continue;
        CRegistryCreateKeyAction create(REGISTRY_INTERNAL_ACTION_CREATE_KEY, m_hRootKey,
                                        m_dwDataType, path, L"", L"");
        std::wstring inverse = create.GetRollbackActionString();
        NoteInverse(inverse);
        if (!create.DoAction().IsSuccess())
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"Do Action failed for %s", create.ToString().c_str());
        else
            rollback.push_back(inverse);
    }
    CNormalErrorHandle result;
    LSTATUS error = ERROR_SUCCESS;
    CRegKey key;
    if (key.Open(m_strKeyPath, KEY_ALL_ACCESS, m_hRootKey))
    {
        CRegistrySetValueAction set(REGISTRY_INTERNAL_ACTION_SET_VALUE, m_hRootKey, m_dwDataType,
                                    m_strKeyPath, m_strValueName, m_strValue);
        std::wstring inverse = set.GetRollbackActionString();
        NoteInverse(inverse);
        CRegistrySupportErrorHandle done = set.DoAction();
        if (done.IsSuccess())
        {
            rollback.push_back(inverse);
            rollbackText = JoinLines(rollback);
            return result;
        }
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Do Action failed for  CRegistrySetValueAction %s",
               set.ToString().c_str());
        error = done.GetSystemErrorCode();
    }
    else
        error = key.GetLastError();
    result.SetErrorMessage(CStringSupport::StringFormat(
        L"Update registry failed, when modify registry key:[%s, %s, %s] because:%s",
        GetRootKeyString().c_str(), m_strKeyPath.c_str(), m_strValueName.c_str(),
        ErrorText(error).c_str()));
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    CRegistrySupport::RollbackRegistry(JoinLines(rollback));
    return result;
}

CNormalErrorHandle CRegistryRemoveAction::DoAction(std::wstring& rollbackText)
{
    if (m_strValueName.empty())
        return RemoveKeyTree(rollbackText);
    CNormalErrorHandle result;
    CRegistryRemoveValueAction remove(REGISTRY_INTERNAL_ACTION_REMOVE_VALUE, m_hRootKey,
                                      m_dwDataType, m_strKeyPath, m_strValueName, L"");
    std::wstring inverse = remove.GetRollbackActionString();
    NoteInverse(inverse);
    CRegistrySupportErrorHandle done = remove.DoAction();
    if (done.IsSuccess())
    {
        rollbackText = inverse;
        return result;
    }
    result.SetErrorMessage(CStringSupport::StringFormat(
        L"DoRemoveKeyAction failed, when modify registry key:[%s, %s, %s] because:%s",
        GetRootKeyString().c_str(), m_strKeyPath.c_str(), m_strValueName.c_str(),
        done.GetSystemErrorInfor().c_str()));
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    return result;
}

CNormalErrorHandle CRegistryRemoveAction::RemoveKeyTree(std::wstring& rollbackText)
{
    CNormalErrorHandle result;
    if (!CRegistrySupport::IsKeyExist(m_hRootKey, m_strKeyPath))
        return result; // nothing to remove, nothing to give back
    // The key and every key below it, breadth-first; handled from the last, so that each key
    // goes after all keys below it.
    std::vector<std::wstring> keys{m_strKeyPath};
    for (size_t i = 0; i < keys.size(); ++i)
    {
        CRegKey key;
        std::vector<std::wstring> names;
        if (key.Open(keys[i], KEY_ALL_ACCESS, m_hRootKey) &&
            CRegistrySupport::EnumerateSubKey(key.Get(), names))
            for (const std::wstring& name : names)
                keys.push_back(keys[i] + L"\\" + name);
    }
    std::vector<std::wstring> rollback;
    std::wstring failure;
    for (auto it = keys.rbegin(); it != keys.rend() && failure.empty(); ++it)
    {
        CRegKey key;
        std::vector<std::wstring> values;
        if (!key.Open(*it, KEY_ALL_ACCESS, m_hRootKey) ||
            !CRegistrySupport::EnumerateValueName(key.Get(), values))
        {
            failure = CStringSupport::StringFormat(L"CRegistryRemoveKeyAction Do action failed, %s",
                                                   it->c_str());
            break;
        }
        key.Close();
        // The last value first: the rollback, which runs backwards, then gives them back in
        // their first order.
        for (auto value = values.rbegin(); value != values.rend(); ++value)
        {
            const std::wstring& name = *value;
            CRegistryRemoveValueAction remove(REGISTRY_INTERNAL_ACTION_REMOVE_VALUE, m_hRootKey,
                                              m_dwDataType, *it, name, L"");
            std::wstring inverse = remove.GetRollbackActionString();
            NoteInverse(inverse);
            if (!remove.DoAction().IsSuccess())
            {
                failure = CStringSupport::StringFormat(
                    L"CRegistryRemoveValueAction Do action failed, %s", remove.ToString().c_str());
                break;
            }
            rollback.push_back(inverse);
        }
        if (!failure.empty())
            break;
        CRegistryRemoveKeyAction remove(REGISTRY_INTERNAL_ACTION_REMOVE_KEY, m_hRootKey,
                                        m_dwDataType, *it, L"", L"");
        std::wstring inverse = remove.GetRollbackActionString();
        NoteInverse(inverse);
        CRegistrySupportErrorHandle done = remove.DoAction();
        if (!done.IsSuccess())
        {
            failure = CStringSupport::StringFormat(L"CRegistryRemoveKeyAction Do action failed, %s",
                                                   remove.ToString().c_str());
            break;
        }
        rollback.push_back(inverse);
    }
    if (failure.empty())
    {
        rollbackText = JoinLines(rollback);
        return result;
    }
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", failure.c_str());
    result.SetErrorMessage(CStringSupport::StringFormat(
        L"DoRemoveKeyAction failed, when modify registry key:[%s, %s, %s] because:%s",
        GetRootKeyString().c_str(), m_strKeyPath.c_str(), m_strValueName.c_str(), failure.c_str()));
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    CRegistrySupport::RollbackRegistry(JoinLines(rollback));
    return result;
}

// ---- Internal actions
// ---------------------------------------------------------------------------------

CRegistryInternalAction::CRegistryInternalAction(RegistryInternalActionType type, HKEY root,
                                                 DWORD dataType, const std::wstring& keyPath,
                                                 const std::wstring& valueName,
                                                 const std::wstring& value)
    : CRegistryAction(root, dataType, keyPath, valueName, value), m_Type(type)
{
}

CRegistrySupportErrorHandle CRegistryInternalAction::Failure(int errorType) const
{
    CRegistrySupportErrorHandle error;
    error.CaptureSystemError();
    error.SetErrorType(errorType);
    error.SetRootKey(GetRootKeyString());
    error.SetKeyPath(m_strKeyPath);
    error.SetValueName(m_strValueName);
    return error;
}

namespace
{
// Opens the action's key for the internal actions, logging the failure.
bool OpenForAction(CRegKey& key, const CRegistryAction& action)
{
    if (key.Open(action.GetKeyPath(), KEY_ALL_ACCESS, action.GetRootKey()))
        return true;
    ADVLOG(ADVLOG_SEVERITY_WARNING, L"RegOpenKeyEx() fail, because %s",
           ErrorText(key.GetLastError()).c_str());
    SetLastError(static_cast<DWORD>(key.GetLastError()));
    return false;
}

// The verb and data that give the value back as it is now: the stored type when an action
// string can hold it, else the action's.
bool CurrentValue(const CRegistryAction& action, DWORD& type, std::wstring& data, bool& exists)
{
    CRegKey key;
    exists = false;
    if (!key.Open(action.GetKeyPath(), KEY_QUERY_VALUE, action.GetRootKey()))
        return true; // no key: no value
    // One query answers whether the value is there, its type and, mostly, its data.
    wchar_t buffer[256];
    DWORD stored = 0, size = sizeof buffer;
    LSTATUS rc = RegQueryValueExW(key.Get(), action.GetValueName().c_str(), nullptr, &stored,
                                  reinterpret_cast<LPBYTE>(buffer), &size);
    if (rc == ERROR_FILE_NOT_FOUND)
        return true;
    exists = true;
    type = stored == REG_SZ || stored == REG_DWORD ? stored : action.GetDataType();
    if (rc == ERROR_SUCCESS && stored == REG_SZ && type == REG_SZ)
    {
        data.assign(buffer, size / sizeof(wchar_t));
        while (!data.empty() && data.back() == L'\0')
            data.pop_back();
        return true;
    }
    if (rc == ERROR_SUCCESS && stored == REG_DWORD && type == REG_DWORD && size == sizeof(DWORD))
    {
        DWORD value = 0;
        memcpy(&value, buffer, sizeof value);
        data = std::to_wstring(static_cast<int32_t>(value));
        return true;
    }
    return CRegistrySupport::ReadValue(key.Get(), action.GetValueName(), type, data);
}
} // namespace

std::wstring CRegistryCreateKeyAction::GetRollbackActionString()
{
    return CRegistrySupport::IsKeyExist(m_hRootKey, m_strKeyPath) ? std::wstring()
                                                                  : ToActionString(L"RegRemoveKey");
}

CRegistrySupportErrorHandle CRegistryCreateKeyAction::DoAction()
{
    HKEY created = nullptr;
    LSTATUS rc = RegCreateKeyExW(m_hRootKey, m_strKeyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                 nullptr, &created, nullptr);
    if (rc != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"RegCreateKeyEx() failed, because: %s",
               ErrorText(rc).c_str());
        SetLastError(static_cast<DWORD>(rc));
        return Failure(1);
    }
    RegCloseKey(created);
    return CRegistrySupportErrorHandle();
}

std::wstring CRegistryRemoveKeyAction::GetRollbackActionString()
{
    return CRegistrySupport::IsKeyExist(m_hRootKey, m_strKeyPath) ? ToActionString(L"RegCreateKey")
                                                                  : std::wstring();
}

CRegistrySupportErrorHandle CRegistryRemoveKeyAction::DoAction()
{
    ADVLOG_TRACE_FUNCTION(L"CRegistryRemoveKeyAction::DoAction");
    if (!CRegistrySupport::IsKeyExist(m_hRootKey, m_strKeyPath))
        return CRegistrySupportErrorHandle();
    {
        CRegKey key;
        if (!OpenForAction(key, *this))
            return Failure(1);
        std::vector<std::wstring> values, keys;
        if (!CRegistrySupport::EnumerateValueName(key.Get(), values))
        {
            CRegistrySupportErrorHandle error = Failure(7);
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"EnumerateValueName() failed, error message:%s",
                   error.GetSystemErrorInfor().c_str());
            return error;
        }
        if (!CRegistrySupport::EnumerateSubKey(key.Get(), keys))
        {
            CRegistrySupportErrorHandle error = Failure(6);
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"EnumerateSubKey() failed, error message:%s",
                   error.GetSystemErrorInfor().c_str());
            return error;
        }
        if (!values.empty() || !keys.empty())
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return Failure(3);
        }
    }
    if (CKeyCache* cache = CKeyCache::Current())
        cache->Forget(m_hRootKey, m_strKeyPath);
    LSTATUS rc = RegDeleteKeyW(m_hRootKey, m_strKeyPath.c_str());
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(static_cast<DWORD>(rc));
        return Failure(4);
    }
    return CRegistrySupportErrorHandle();
}

std::wstring CRegistryRemoveValueAction::GetRollbackActionString()
{
    DWORD type = m_dwDataType;
    std::wstring data;
    bool exists = false;
    if (!CurrentValue(*this, type, data, exists))
        ADVLOG(
            ADVLOG_SEVERITY_ERROR,
            L"CRegistryRemoveValueAction::GetRollbackActionString(), CRegistrySupport::ReadValue() "
            L"fail! because %s",
            ErrorText(static_cast<LSTATUS>(GetLastError())).c_str());
    if (!exists)
        return std::wstring();
    CRegistrySetValueAction restore(REGISTRY_INTERNAL_ACTION_SET_VALUE, m_hRootKey, type,
                                    m_strKeyPath, m_strValueName, data);
    return restore.ToActionString(L"RegSetValue");
}

CRegistrySupportErrorHandle CRegistryRemoveValueAction::DoAction()
{
    ADVLOG_TRACE_FUNCTION(L"CRegistryRemoveValueAction::DoAction");
    CRegKey key;
    if (!key.Open(m_strKeyPath, KEY_ALL_ACCESS, m_hRootKey))
    {
        if (key.GetLastError() == ERROR_FILE_NOT_FOUND)
            return CRegistrySupportErrorHandle(); // no key, no value
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"RegOpenKeyEx() fail, because %s",
               ErrorText(key.GetLastError()).c_str());
        SetLastError(static_cast<DWORD>(key.GetLastError()));
        return Failure(1);
    }
    if (!CRegistrySupport::IsValueExist(key.Get(), m_strValueName))
        return CRegistrySupportErrorHandle();
    LSTATUS rc = RegDeleteValueW(key.Get(), m_strValueName.c_str());
    if (rc != ERROR_SUCCESS)
    {
        SetLastError(static_cast<DWORD>(rc));
        return Failure(1);
    }
    return CRegistrySupportErrorHandle();
}

std::wstring CRegistrySetValueAction::GetRollbackActionString()
{
    DWORD type = m_dwDataType;
    std::wstring data;
    bool exists = false;
    if (!CurrentValue(*this, type, data, exists))
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"CRegistrySupport::ReadValue() fail, because %s",
               ErrorText(static_cast<LSTATUS>(GetLastError())).c_str());
    if (!exists)
        return ToActionString(L"RegRemoveValue");
    CRegistrySetValueAction restore(REGISTRY_INTERNAL_ACTION_SET_VALUE, m_hRootKey, type,
                                    m_strKeyPath, m_strValueName, data);
    return restore.ToActionString(L"RegSetValue");
}

CRegistrySupportErrorHandle CRegistrySetValueAction::DoAction()
{
    ADVLOG_TRACE_FUNCTION(L"CRegistrySetValueAction::DoAction");
    CRegKey key;
    if (!OpenForAction(key, *this))
        return Failure(1);
    if (!CRegistrySupport::WriteValue(m_strValue, key.Get(), m_strValueName, m_dwDataType))
    {
        CRegistrySupportErrorHandle error = Failure(1);
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"WriteValue() fail for reg: %s", ToString().c_str());
        return error;
    }
    return CRegistrySupportErrorHandle();
}

// ---- CRegKey
// ------------------------------------------------------------------------------------------

bool CRegKey::Open(const std::wstring& path, REGSAM access, HKEY root)
{
    Close();
    if (CKeyCache* cache = CKeyCache::Current())
    {
        m_hKey = cache->Open(root, path, m_LastError);
        if (m_hKey != nullptr)
        {
            m_bBorrowed = true;
            return true;
        }
        if (m_LastError == ERROR_FILE_NOT_FOUND)
            return false;
    }
    m_LastError = RegOpenKeyExW(root, path.c_str(), 0, access, &m_hKey);
    if (m_LastError != ERROR_SUCCESS)
        m_hKey = nullptr;
    return m_LastError == ERROR_SUCCESS;
}

bool CRegKey::QueryValue(const std::wstring& name, DWORD& value)
{
    DWORD type = 0, size = sizeof value;
    m_LastError = RegQueryValueExW(m_hKey, name.c_str(), nullptr, &type,
                                   reinterpret_cast<LPBYTE>(&value), &size);
    if (m_LastError == ERROR_SUCCESS && type != REG_DWORD)
        m_LastError = ERROR_INVALID_DATATYPE;
    return m_LastError == ERROR_SUCCESS;
}

bool CRegKey::QueryValue(const std::wstring& name, std::wstring& value)
{
    std::wstring text;
    bool ok = CRegistrySupport::ReadValue(m_hKey, name, REG_SZ, text);
    m_LastError = ok ? ERROR_SUCCESS : static_cast<LSTATUS>(::GetLastError());
    if (ok)
        value = text;
    return ok;
}

bool CRegKey::SetValue(const std::wstring& name, DWORD value)
{
    m_LastError = RegSetValueExW(m_hKey, name.c_str(), 0, REG_DWORD,
                                 reinterpret_cast<const BYTE*>(&value), sizeof value);
    return m_LastError == ERROR_SUCCESS;
}

bool CRegKey::SetValue(const std::wstring& name, const std::wstring& value)
{
    m_LastError = RegSetValueExW(m_hKey, name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
    return m_LastError == ERROR_SUCCESS;
}

bool CRegKey::CreateSubKey(const std::wstring& path, REGSAM access, CRegKey& created)
{
    created.Close();
    m_LastError = RegCreateKeyExW(m_hKey, path.c_str(), 0, nullptr, 0, access, nullptr,
                                  &created.m_hKey, nullptr);
    if (m_LastError != ERROR_SUCCESS)
        created.m_hKey = nullptr;
    return m_LastError == ERROR_SUCCESS;
}

bool CRegKey::OpenSubKey(const std::wstring& path, REGSAM access, CRegKey& opened)
{
    bool ok = opened.Open(path, access, m_hKey);
    m_LastError = opened.GetLastError();
    return ok;
}

bool CRegKey::EnumerateSubKeys(std::vector<std::wstring>& names)
{
    return CRegistrySupport::EnumerateSubKey(m_hKey, names);
}

bool CRegKey::Close()
{
    if (m_hKey == nullptr)
        return true;
    if (m_bBorrowed)
    {
        m_hKey = nullptr;
        m_bBorrowed = false;
        return true;
    }
    m_LastError = RegCloseKey(m_hKey);
    m_hKey = nullptr;
    return m_LastError == ERROR_SUCCESS;
}

// ---- CRegistrySupport
// ---------------------------------------------------------------------------------

CRegistryExternalAction* CRegistrySupport::ProductExternalActionByString(const std::wstring& text)
{
    SParsedAction parsed;
    if (!ParseAction(text, parsed))
        return nullptr;
    if (parsed.verb == L"RegUpadate")
        return new CRegistryUpdateAction(REGISTRY_EXTERNAL_ACTION_UPDATE, parsed.root, parsed.type,
                                         parsed.keyPath, parsed.valueName, parsed.value);
    if (parsed.verb == L"RegRemove")
        return new CRegistryRemoveAction(REGISTRY_EXTERNAL_ACTION_REMOVE, parsed.root, parsed.type,
                                         parsed.keyPath, parsed.valueName, parsed.value);
    return nullptr;
}

CRegistryInternalAction* CRegistrySupport::ProductInternalActionByString(const std::wstring& text)
{
    SParsedAction parsed;
    if (!ParseAction(text, parsed))
        return nullptr;
    auto make = [&](auto* tag, RegistryInternalActionType type) -> CRegistryInternalAction*
    {
        using TAction = std::remove_pointer_t<decltype(tag)>;
        return new TAction(type, parsed.root, parsed.type, parsed.keyPath, parsed.valueName,
                           parsed.value);
    };
    if (parsed.verb == L"RegCreateKey")
        return make(static_cast<CRegistryCreateKeyAction*>(nullptr),
                    REGISTRY_INTERNAL_ACTION_CREATE_KEY);
    if (parsed.verb == L"RegRemoveKey")
        return make(static_cast<CRegistryRemoveKeyAction*>(nullptr),
                    REGISTRY_INTERNAL_ACTION_REMOVE_KEY);
    if (parsed.verb == L"RegRemoveValue")
        return make(static_cast<CRegistryRemoveValueAction*>(nullptr),
                    REGISTRY_INTERNAL_ACTION_REMOVE_VALUE);
    if (parsed.verb == L"RegSetValue")
        return make(static_cast<CRegistrySetValueAction*>(nullptr),
                    REGISTRY_INTERNAL_ACTION_SET_VALUE);
    return nullptr;
}

namespace
{

// The inverses of a list, written as its actions run (the rollback file's name with ".partial"):
// a host killed half-way, or ended by its time limit, leaves what undoes the part that ran.
class CPartialRollbackFile
{
public:
    CPartialRollbackFile(const std::wstring& folder, const std::wstring& path)
        : m_strPath(path + L".partial")
    {
        m_bMadeFolder =
            !CFileSupport::IsExist(folder) && CFileSupport::CreateDirectoryRecursively(folder);
        m_strFolder = folder;
        m_pFile = _wfopen(m_strPath.c_str(), L"w, ccs=UTF-8");
        if (m_pFile == nullptr)
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"The partial rollback file [%s] cannot be written",
                   m_strPath.c_str());
    }
    ~CPartialRollbackFile() { Close(); }
    CPartialRollbackFile(const CPartialRollbackFile&) = delete;
    CPartialRollbackFile& operator=(const CPartialRollbackFile&) = delete;

    void Add(const std::wstring& inverse)
    {
        if (m_pFile == nullptr)
            return;
        std::wstring line = inverse + L"\n";
        winport::fputws(line.c_str(), m_pFile);
        fflush(m_pFile);
    }
    // The list is over: the file becomes the rollback file at path, when that is not there yet.
    bool KeepAs(const std::wstring& path)
    {
        Close();
        return MoveFileExW(m_strPath.c_str(), path.c_str(), 0) != FALSE;
    }
    // The list was undone: nothing of it stays.
    void Discard()
    {
        Close();
        DeleteFileW(m_strPath.c_str());
        if (m_bMadeFolder)
            RemoveDirectoryW(m_strFolder.c_str());
    }

private:
    void Close()
    {
        if (m_pFile != nullptr)
            fclose(m_pFile);
        m_pFile = nullptr;
    }

    std::wstring m_strPath;
    std::wstring m_strFolder;
    bool m_bMadeFolder = false;
    FILE* m_pFile = nullptr;
};

} // namespace

CNormalErrorHandle CRegistrySupport::InstallModifyRegistry(const std::wstring& folder,
                                                           const std::wstring& rollbackFileName,
                                                           const std::wstring& actions)
{
    ADVLOG_TRACE_FUNCTION(L"CRegistrySupport::InstallModifyRegistry");
    CKeyCacheScope keys;
    CNormalErrorHandle result;
    std::vector<std::wstring> collected;
    std::wstring path = folder + L"\\" + rollbackFileName;
    CPartialRollbackFile partial(folder, path);
    struct SNoting
    {
        explicit SNoting(CPartialRollbackFile& file)
        {
            t_NoteInverse = [&file](const std::wstring& inverse) { file.Add(inverse); };
        }
        ~SNoting() { t_NoteInverse = nullptr; }
    } noting(partial);
    for (const std::wstring& piece : CStringSupport::StringToVector(actions, L']'))
    {
        if (CStringSupport::StringTrim(piece, L" \t\r\n").empty())
            continue;
        std::unique_ptr<CRegistryExternalAction> action(ProductExternalActionByString(piece));
        if (!action)
        {
            result.SetErrorMessage(CStringSupport::StringFormat(
                L"ProductExternalActionByString() failed for string:[%s]", piece.c_str()));
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
            break;
        }
        ADVLOG(ADVLOG_SEVERITY_INFO, L"Run Registry Action %s", action->ToString().c_str());
        std::wstring rollback;
        CNormalErrorHandle done = action->DoAction(rollback);
        if (!done.IsSuccess())
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", done.GetErrorMessage().c_str());
            result = done;
            break;
        }
        collected.push_back(rollback);
        if (collected.size() == 1 && CActionGlobalResource::IsFaultInjected(L"middle"))
        {
            result.SetErrorMessage(L"Test fault in the middle of the registry actions");
            break;
        }
    }
    if (result.IsSuccess() && CActionGlobalResource::IsFaultInjected(L"after"))
        result.SetErrorMessage(L"Test fault after the registry actions");
    if (result.IsSuccess())
    {
        if (!CFileSupport::IsExist(folder))
            CFileSupport::CreateDirectoryRecursively(folder);
        if (CFileSupport::IsExist(path))
        {
            partial.Discard();
            return result; // the first run's file: a rollback goes back to before that run
        }
        if (partial.KeepAs(path))
            return result;
        partial.Discard();
        CFileSupportErrorHandle written = CFileSupport::WriteToFile(JoinLines(collected), path);
        if (written.IsSuccess())
            return result;
        result.SetErrorMessage(CStringSupport::StringFormat(
            L"CFileSupport::WriteToFile failed when write file:%s, because:%s", path.c_str(),
            written.GetSystemErrorInfor().c_str()));
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
    }
    t_NoteInverse = nullptr; // undoing is no change of the list's
    RollbackRegistry(JoinLines(collected));
    partial.Discard();
    return result;
}

CNormalErrorHandle CRegistrySupport::RollbackModifyRegistry(const std::wstring& folder,
                                                            const std::wstring& rollbackFileName)
{
    ADVLOG_TRACE_FUNCTION(L"CRegistrySupport::RollbackModifyRegistry");
    CNormalErrorHandle result;
    std::wstring path = folder + L"\\" + rollbackFileName;
    if (!CFileSupport::IsExist(path) && CFileSupport::IsExist(path + L".partial"))
    {
        // A list that did not end: what it wrote of its inverses undoes the part that ran.
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"The list of [%s] did not end, its partial rollback file is used", path.c_str());
        path += L".partial";
    }
    if (!CFileSupport::IsExist(path))
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"rollback file[%s] for registry is not exist, and no rollback action for registry "
               L"is done",
               path.c_str());
        return result;
    }
    std::vector<std::wstring> lines;
    if (!CFileSupport::ReadFileContentIntoVector(path, nullptr, lines))
    {
        result.SetErrorMessage(CStringSupport::StringFormat(
            L"ReadFileContentIntoVector failed for registry rollback file:%s", path.c_str()));
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
        return result;
    }
    if (!RollbackRegistry(JoinLines(lines)))
    {
        result.SetErrorMessage(L"Rollback Registry failed");
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
        return result;
    }
    if (!DeleteFileW(path.c_str()))
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"DeleteFile failed for file[%s]", path.c_str());
    return result;
}

bool CRegistrySupport::RollbackRegistry(const std::wstring& rollbackText)
{
    CKeyCacheScope keys;
    std::vector<std::wstring> lines = CStringSupport::StringToVector(rollbackText, L'\n');
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
    {
        std::wstring line = CStringSupport::StringTrim(*it, L" \t\r");
        if (line.empty())
            continue;
        std::unique_ptr<CRegistryInternalAction> action(ProductInternalActionByString(line));
        if (!action)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"ProductExternalActionByString() failed for string:[%s]",
                   line.c_str());
            return false;
        }
        action->DoAction();
    }
    return true;
}

bool CRegistrySupport::IsKeyExist(HKEY root, const std::wstring& path)
{
    if (CKeyCache* cache = CKeyCache::Current())
    {
        LSTATUS error = ERROR_SUCCESS;
        if (cache->Open(root, path, error) != nullptr)
            return true;
        if (error == ERROR_FILE_NOT_FOUND)
            return false;
    }
    HKEY key = nullptr;
    LSTATUS rc = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS)
    {
        RegCloseKey(key);
        return true;
    }
    if (rc != ERROR_FILE_NOT_FOUND)
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"CRegistrySupport::IsKeyExist return an unexpected value[%d] by RegOpenKeyEx",
               static_cast<int>(rc));
    return false;
}

bool CRegistrySupport::IsValueExist(HKEY key, const std::wstring& name)
{
    // One query rather than a walk over every value: a key of the product may hold thousands.
    LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)
        return true;
    if (rc != ERROR_FILE_NOT_FOUND)
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"IsValueExist, EnumerateValueName failed when judge %s is exist", name.c_str());
    return false;
}

namespace
{
// The names of a key's sub-keys or of its values, in enumeration order; the failures are logged
// with the asking operation's lines.
bool EnumerateNames(HKEY key, bool values, std::vector<std::wstring>& names,
                    const wchar_t* infoFailure, const wchar_t* enumFailure)
{
    DWORD keyCount = 0, keyLongest = 0, valueCount = 0, valueLongest = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &keyCount, &keyLongest, nullptr,
                         &valueCount, &valueLongest, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"%s", infoFailure);
        return false;
    }
    names.clear();
    DWORD count = values ? valueCount : keyCount;
    std::vector<wchar_t> name((values ? valueLongest : keyLongest) + 1);
    for (DWORD i = 0; i < count; ++i)
    {
        DWORD length = static_cast<DWORD>(name.size());
        LSTATUS rc =
            values
                ? RegEnumValueW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr)
                : RegEnumKeyExW(key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, enumFailure, static_cast<int>(i));
            return false;
        }
        names.emplace_back(name.data(), length);
    }
    return true;
}
} // namespace

bool CRegistrySupport::EnumerateSubKey(HKEY key, std::vector<std::wstring>& names)
{
    return EnumerateNames(key, false, names, L"EnumerateSubKeys, RegQueryInfoKey return false",
                          L"EnumerateSubKeys, RegEnumKeyEx return false, index:%d");
}

bool CRegistrySupport::EnumerateValueName(HKEY key, std::vector<std::wstring>& names)
{
    return EnumerateNames(key, true, names, L"EnumerateValueName, RegQueryInfoKey return false",
                          L"EnumerateValueName, RegEnumValue return false, index:%d");
}

DWORD CRegistrySupport::ValueType(HKEY key, const std::wstring& name)
{
    DWORD type = 0;
    return RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS
               ? type
               : 0;
}

bool CRegistrySupport::ReadValue(HKEY key, const std::wstring& name, DWORD type, std::wstring& text)
{
    if (IsStringType(type))
    {
        DWORD stored = 0, size = 0;
        LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &stored, nullptr, &size);
        if (rc != ERROR_SUCCESS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"ReadString(), RegQueryValueEx(%s) return fail, because:%s", name.c_str(),
                   ErrorText(rc).c_str());
            SetLastError(static_cast<DWORD>(rc));
            return false;
        }
        if (size == 0)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"Item[%s] required size is zero.", name.c_str());
            text.clear();
            return true;
        }
        if (!IsStringType(stored))
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"Item[%s] type is not a string.", name.c_str());
            SetLastError(ERROR_INVALID_DATATYPE);
            return false;
        }
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
        rc = RegQueryValueExW(key, name.c_str(), nullptr, &stored,
                              reinterpret_cast<LPBYTE>(data.data()), &size);
        if (rc != ERROR_SUCCESS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"ReadString(), RegQueryValueEx(%s) return fail, because:%s", name.c_str(),
                   ErrorText(rc).c_str());
            SetLastError(static_cast<DWORD>(rc));
            return false;
        }
        text.assign(data.data(), size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
        return true;
    }
    if (type == REG_DWORD)
    {
        DWORD stored = 0, value = 0, size = sizeof value;
        LSTATUS rc = RegQueryValueExW(key, name.c_str(), nullptr, &stored,
                                      reinterpret_cast<LPBYTE>(&value), &size);
        if (rc == ERROR_SUCCESS && stored != REG_DWORD)
            rc = ERROR_INVALID_DATATYPE;
        if (rc != ERROR_SUCCESS)
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"ReadDWORD(), RegQueryValueEx(%s) return fail, because: %s", name.c_str(),
                   ErrorText(rc).c_str());
            SetLastError(static_cast<DWORD>(rc));
            return false;
        }
        text = CStringSupport::StringFormat(L"%d", static_cast<int32_t>(value));
        return true;
    }
    ADVLOG(ADVLOG_SEVERITY_WARNING, L"Do not support tyep:%d for read item value",
           static_cast<int>(type));
    SetLastError(ERROR_INVALID_DATATYPE);
    return false;
}

bool CRegistrySupport::WriteValue(const std::wstring& text, HKEY key, const std::wstring& name,
                                  DWORD type)
{
    if (key == nullptr)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"The currentKey should not be null");
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    LSTATUS rc;
    if (IsStringType(type))
    {
        std::wstring data = text;
        data.push_back(L'\0');
        if (type == REG_MULTI_SZ)
            data.push_back(L'\0');
        rc = RegSetValueExW(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size() * sizeof(wchar_t)));
        if (rc != ERROR_SUCCESS)
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"WriteItemValueString(), RegSetValueEx(%s) return fail, because:%s",
                   name.c_str(), ErrorText(rc).c_str());
    }
    else if (type == REG_DWORD)
    {
        // A signed or unsigned 32-bit decimal number, and nothing else.
        std::wstring digits = CStringSupport::StringTrim(text, L" \t");
        wchar_t* end = nullptr;
        errno = 0;
        long long number = digits.empty() ? 0 : wcstoll(digits.c_str(), &end, 10);
        if (digits.empty() || end == nullptr || *end != L'\0' || errno != 0 || number < INT32_MIN ||
            number > static_cast<long long>(UINT32_MAX))
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"WriteValue failed for value:%s", text.c_str());
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        DWORD value = static_cast<DWORD>(number);
        rc = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value);
        if (rc != ERROR_SUCCESS)
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"WriteItemValueDWORD(), RegSetValueEx(%s) return fail, because:%s",
                   name.c_str(), ErrorText(rc).c_str());
    }
    else
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Do not support tyep:%d for WriteValue()",
               static_cast<int>(type));
        SetLastError(ERROR_INVALID_DATATYPE);
        return false;
    }
    if (rc != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"WriteValue failed for value:%s", text.c_str());
        SetLastError(static_cast<DWORD>(rc));
        return false;
    }
    return true;
}
