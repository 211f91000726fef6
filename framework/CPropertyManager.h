// The property store: named text properties in backslash namespaces, shared by all threads
// of a process and serializable as a whole.
#pragma once

#include "framework/Serialization.h"
#include "framework/Sync.h"

#include <map>
#include <string>
#include <vector>

class CPropertyItem
{
public:
    CPropertyItem() = default;
    CPropertyItem(const std::wstring& name, const std::wstring& value) : m_strName(name), m_strValue(value) {}
    bool operator<(const CPropertyItem& other) const { return m_strName < other.m_strName; }

    std::wstring m_strName;
    std::wstring m_strValue;
};

class IPropertyProvider : public ISerializeSupport
{
public:
    ~IPropertyProvider() override = default;
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;
    virtual int IsPropertyExist(const std::wstring& name) = 0;
    // An empty value removes the property.
    virtual void SetProperty(const std::wstring& name, const std::wstring& value) = 0;
    virtual std::wstring GetProperty(const std::wstring& name) = 0;
    virtual void SetPropertyInt(const std::wstring& name, int value);
    virtual int GetPropertyInt(const std::wstring& name);
    virtual void EnumerateProperties(std::vector<CPropertyItem>* out) = 0;
    virtual void Clear() = 0;
    virtual void LoadPropertiesFromAnotherInstance(IPropertyProvider* other);
};

class CPropertyManager : public IPropertyProvider
{
public:
    CPropertyManager() = default;
    ~CPropertyManager() override = default;

    int IsPropertyExist(const std::wstring& name) override;
    void SetProperty(const std::wstring& name, const std::wstring& value) override;
    std::wstring GetProperty(const std::wstring& name) override;
    void EnumerateProperties(std::vector<CPropertyItem>* out) override;
    void Clear() override;

private:
    CPropertyManager(const CPropertyManager&) = delete;
    CPropertyManager& operator=(const CPropertyManager&) = delete;

    std::map<std::wstring, CPropertyItem> m_Items;
    CSimpleCriticalSection m_Lock;
};

// Works inside one namespace of an attached provider with short names.
class CPropertyManagerNamespaceView : public IPropertyProvider
{
public:
    CPropertyManagerNamespaceView() = default;
    CPropertyManagerNamespaceView(IPropertyProvider* provider, const std::wstring& nameSpace);
    CPropertyManagerNamespaceView(CPropertyManagerNamespaceView* parent, const std::wstring& name);
    CPropertyManagerNamespaceView(const CPropertyManagerNamespaceView& other) = default;
    CPropertyManagerNamespaceView& operator=(const CPropertyManagerNamespaceView& other) = default;
    ~CPropertyManagerNamespaceView() override = default;

    void AttachPropertyProvider(IPropertyProvider* provider) { m_pProvider = provider; }
    void DetachPropertyProvider() { m_pProvider = nullptr; }
    int ChangeNamespace(const std::wstring& nameSpace);
    const std::wstring& GetCurrentNamespaceName() const { return m_strNamespace; }
    void EnumerateSubNamespaces(std::vector<std::wstring>* out);

    int IsPropertyExist(const std::wstring& name) override;
    void SetProperty(const std::wstring& name, const std::wstring& value) override;
    std::wstring GetProperty(const std::wstring& name) override;
    void SetPropertyInt(const std::wstring& name, int value) override;
    int GetPropertyInt(const std::wstring& name) override;
    void EnumerateProperties(std::vector<CPropertyItem>* out) override;
    void Clear() override;

protected:
    std::wstring ExpandNameToFullName(const std::wstring& name) const;
    std::wstring GetNameFromFullName(const std::wstring& fullName) const;
    std::wstring GetNamespaceFromFullName(const std::wstring& fullName) const;
    void Reset();

private:
    std::wstring m_strNamespace;
    wchar_t m_cSeparator = L'\\';
    IPropertyProvider* m_pProvider = nullptr;
};
