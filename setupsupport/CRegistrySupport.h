// Registry actions of a package with their rollback: action strings such as
// "[RegUpadate:REG_SZ,HKEY_LOCAL_MACHINE,SOFTWARE\Halvorn\X,Name,Value]" change the local
// registry; before each change its exact inverse is computed, and the inverses of a whole list go
// into a rollback file that undoes the list later.
#pragma once

#include "framework/ErrorHandles.h"
#include "winport/WinReg.h"

#include <string>
#include <vector>

enum RegistryExternalActionType
{
    REGISTRY_EXTERNAL_ACTION_UPDATE,
    REGISTRY_EXTERNAL_ACTION_REMOVE,
};

enum RegistryInternalActionType
{
    REGISTRY_INTERNAL_ACTION_CREATE_KEY,
    REGISTRY_INTERNAL_ACTION_REMOVE_KEY,
    REGISTRY_INTERNAL_ACTION_REMOVE_VALUE,
    REGISTRY_INTERNAL_ACTION_SET_VALUE,
};

class CRegistryAction
{
public:
    CRegistryAction(HKEY root, DWORD dataType, const std::wstring& keyPath,
                    const std::wstring& valueName, const std::wstring& value);
    virtual ~CRegistryAction() = default;

    HKEY GetRootKey() const { return m_hRootKey; }
    DWORD GetDataType() const { return m_dwDataType; }
    const std::wstring& GetKeyPath() const { return m_strKeyPath; }
    const std::wstring& GetValueName() const { return m_strValueName; }
    const std::wstring& GetValue() const { return m_strValue; }
    std::wstring GetRootKeyString() const;
    std::wstring GetDataTypeString() const;
    // The log form: "[root,type,key path,value name,value]".
    std::wstring ToString() const;
    // The action string: "[verb:type,root,key path,value name,value]", commas of the value
    // written "#comma;".
    std::wstring ToActionString(const wchar_t* verb) const;

protected:
    HKEY m_hRootKey;
    DWORD m_dwDataType;
    std::wstring m_strKeyPath;
    std::wstring m_strValueName;
    std::wstring m_strValue;
};

class CRegistryExternalAction : public CRegistryAction
{
public:
    CRegistryExternalAction(RegistryExternalActionType type, HKEY root, DWORD dataType,
                            const std::wstring& keyPath, const std::wstring& valueName,
                            const std::wstring& value);
    // Runs the action; on success the rollback text holds its inverse, one action a line.
    virtual CNormalErrorHandle DoAction(std::wstring& rollbackText);
    RegistryExternalActionType GetActionType() const { return m_Type; }

private:
    RegistryExternalActionType m_Type;
};

// "RegUpadate": creates the key path where needed and sets the value.
class CRegistryUpdateAction : public CRegistryExternalAction
{
public:
    using CRegistryExternalAction::CRegistryExternalAction;
    CNormalErrorHandle DoAction(std::wstring& rollbackText) override;
};

// "RegRemove": removes the value, or with no value name the key with all below it.
class CRegistryRemoveAction : public CRegistryExternalAction
{
public:
    using CRegistryExternalAction::CRegistryExternalAction;
    CNormalErrorHandle DoAction(std::wstring& rollbackText) override;

private:
    CNormalErrorHandle RemoveKeyTree(std::wstring& rollbackText);
};

class CRegistryInternalAction : public CRegistryAction
{
public:
    CRegistryInternalAction(RegistryInternalActionType type, HKEY root, DWORD dataType,
                            const std::wstring& keyPath, const std::wstring& valueName,
                            const std::wstring& value);
    // The inverse of the action, from the registry as it is before the action runs.
    virtual std::wstring GetRollbackActionString() = 0;
    virtual CRegistrySupportErrorHandle DoAction() = 0;
    RegistryInternalActionType GetActionType() const { return m_Type; }

protected:
    CRegistrySupportErrorHandle Failure(int errorType) const;

private:
    RegistryInternalActionType m_Type;
};

class CRegistryCreateKeyAction : public CRegistryInternalAction
{
public:
    using CRegistryInternalAction::CRegistryInternalAction;
    std::wstring GetRollbackActionString() override;
    CRegistrySupportErrorHandle DoAction() override;
};

class CRegistryRemoveKeyAction : public CRegistryInternalAction
{
public:
    using CRegistryInternalAction::CRegistryInternalAction;
    std::wstring GetRollbackActionString() override;
    CRegistrySupportErrorHandle DoAction() override;
};

class CRegistryRemoveValueAction : public CRegistryInternalAction
{
public:
    using CRegistryInternalAction::CRegistryInternalAction;
    std::wstring GetRollbackActionString() override;
    CRegistrySupportErrorHandle DoAction() override;
};

class CRegistrySetValueAction : public CRegistryInternalAction
{
public:
    using CRegistryInternalAction::CRegistryInternalAction;
    std::wstring GetRollbackActionString() override;
    CRegistrySupportErrorHandle DoAction() override;
};

// Owns one open registry key.
class CRegKey
{
public:
    CRegKey() = default;
    explicit CRegKey(HKEY key) : m_hKey(key) {}
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    bool Open(const std::wstring& path, REGSAM access, HKEY root);
    bool IsAvailable() const { return m_hKey != nullptr; }
    bool QueryValue(const std::wstring& name, DWORD& value);
    bool QueryValue(const std::wstring& name, std::wstring& value);
    bool SetValue(const std::wstring& name, DWORD value);
    bool SetValue(const std::wstring& name, const std::wstring& value);
    bool CreateSubKey(const std::wstring& path, REGSAM access, CRegKey& created);
    bool OpenSubKey(const std::wstring& path, REGSAM access, CRegKey& opened);
    bool EnumerateSubKeys(std::vector<std::wstring>& names);
    bool Close();
    HKEY Get() const { return m_hKey; }
    // The error of the last call that failed.
    LSTATUS GetLastError() const { return m_LastError; }

private:
    HKEY m_hKey = nullptr;
    LSTATUS m_LastError = ERROR_SUCCESS;
    bool m_bBorrowed = false; // a key kept open while a list runs: not closed here
};

class CRegistrySupport
{
public:
    static CNormalErrorHandle InstallModifyRegistry(const std::wstring& folder,
                                                    const std::wstring& rollbackFileName,
                                                    const std::wstring& actions);
    static CNormalErrorHandle RollbackModifyRegistry(const std::wstring& folder,
                                                     const std::wstring& rollbackFileName);
    static bool RollbackRegistry(const std::wstring& rollbackText);

    static bool IsKeyExist(HKEY root, const std::wstring& path);
    static bool IsValueExist(HKEY key, const std::wstring& name);
    static bool EnumerateSubKey(HKEY key, std::vector<std::wstring>& names);
    static bool EnumerateValueName(HKEY key, std::vector<std::wstring>& names);
    static bool ReadValue(HKEY key, const std::wstring& name, DWORD type, std::wstring& text);
    static bool WriteValue(const std::wstring& text, HKEY key, const std::wstring& name,
                           DWORD type);
    // The stored type of a value, 0 when it cannot be read.
    static DWORD ValueType(HKEY key, const std::wstring& name);

private:
    friend class CRegistryUpdateAction;
    friend class CRegistryRemoveAction;
    static CRegistryExternalAction* ProductExternalActionByString(const std::wstring& text);
    static CRegistryInternalAction* ProductInternalActionByString(const std::wstring& text);
};
