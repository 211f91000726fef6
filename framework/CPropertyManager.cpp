#include "framework/CPropertyManager.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "winport/WinString.h"

#include <algorithm>
#include <climits>
#include <typeinfo>

// ---- IPropertyProvider -----------------------------------------------------------------------

void IPropertyProvider::SetPropertyInt(const std::wstring& name, int value)
{
    SetProperty(name, winport::Format(L"%d", value));
}

int IPropertyProvider::GetPropertyInt(const std::wstring& name)
{
    return _wtoi(GetProperty(name).c_str());
}

void IPropertyProvider::LoadPropertiesFromAnotherInstance(IPropertyProvider* other)
{
    if (other == nullptr)
        return;
    std::vector<CPropertyItem> items;
    other->EnumerateProperties(&items);
    for (const CPropertyItem& item : items)
        SetProperty(item.m_strName, item.m_strValue);
}

int IPropertyProvider::OnSerializeTo(CSerializeStream* stream)
{
    std::vector<CPropertyItem> items;
    EnumerateProperties(&items);
    std::map<std::wstring, std::wstring> header;
    header[L"Class"] = CStringSupport::GetClassNameThroughTypeInfo(typeid(*this));
    header[L"ItemCount"] = winport::Format(L"%d", static_cast<int>(items.size()));
    stream->WriteString(CStringSupport::MapToString(header, L'=', L' '));
    std::wstring line;
    for (const CPropertyItem& item : items)
    {
        line.assign(item.m_strName);
        line.push_back(L'=');
        line.append(item.m_strValue);
        stream->WriteString(line);
    }
    return 1;
}

int IPropertyProvider::OnSerializeFrom(CSerializeStream* stream)
{
    Clear();
    std::map<std::wstring, std::wstring> header =
        CStringSupport::StringToMap(stream->ReadString(), L'=', L' ');
    long long count = LLONG_MAX;
    auto found = header.find(L"ItemCount");
    if (found != header.end() && !found->second.empty() && found->second != L"*")
        count = _wtoi(found->second.c_str());
    long long taken = 0;
    while (taken < count && stream->IsHaveDataForRead())
    {
        std::wstring line = stream->ReadString();
        if (line.empty() || line[0] == L';' || line[0] == L'#')
            continue;
        size_t at = line.find(L'=');
        if (at == std::wstring::npos)
            continue;
        SetProperty(line.substr(0, at), line.substr(at + 1));
        ++taken;
    }
    // Fewer items than the header counts: the file was cut short, so this is not the object.
    if (count != LLONG_MAX && taken < count)
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"OnSerializeFrom, the storage holds %I64d of %I64d items",
               taken, count);
        return 0;
    }
    return 1;
}

// ---- CPropertyManager ------------------------------------------------------------------------

int CPropertyManager::IsPropertyExist(const std::wstring& name)
{
    CCriticalSectionSentry sentry(m_Lock);
    return m_Items.find(name) != m_Items.end() ? 1 : 0;
}

void CPropertyManager::SetProperty(const std::wstring& name, const std::wstring& value)
{
    CCriticalSectionSentry sentry(m_Lock);
    if (value.empty())
    {
        m_Items.erase(name);
        return;
    }
    auto it = m_Items.lower_bound(name);
    if (it != m_Items.end() && it->first == name)
        it->second.m_strValue = value;
    else
        m_Items.emplace_hint(it, name, CPropertyItem(name, value));
}

std::wstring CPropertyManager::GetProperty(const std::wstring& name)
{
    CCriticalSectionSentry sentry(m_Lock);
    auto it = m_Items.find(name);
    return it != m_Items.end() ? it->second.m_strValue : std::wstring();
}

void CPropertyManager::EnumerateProperties(std::vector<CPropertyItem>* out)
{
    if (out == nullptr)
        return;
    CCriticalSectionSentry sentry(m_Lock);
    out->clear();
    out->reserve(m_Items.size());
    for (const auto& entry : m_Items)
        out->push_back(entry.second);
}

void CPropertyManager::Clear()
{
    CCriticalSectionSentry sentry(m_Lock);
    m_Items.clear();
}

// ---- CPropertyManagerNamespaceView -----------------------------------------------------------

CPropertyManagerNamespaceView::CPropertyManagerNamespaceView(IPropertyProvider* provider,
                                                             const std::wstring& nameSpace)
    : m_strNamespace(nameSpace), m_pProvider(provider)
{
}

CPropertyManagerNamespaceView::CPropertyManagerNamespaceView(CPropertyManagerNamespaceView* parent,
                                                             const std::wstring& name)
{
    if (parent != nullptr)
    {
        m_pProvider = parent->m_pProvider;
        m_strNamespace = winport::Format(L"%s%c%s", parent->m_strNamespace.c_str(), m_cSeparator,
                                         name.c_str());
    }
    else
        m_strNamespace = name;
}

int CPropertyManagerNamespaceView::ChangeNamespace(const std::wstring& nameSpace)
{
    m_strNamespace = nameSpace;
    return 1;
}

std::wstring CPropertyManagerNamespaceView::ExpandNameToFullName(const std::wstring& name) const
{
    if (m_strNamespace.empty())
        return name;
    std::wstring full = m_strNamespace;
    full.push_back(m_cSeparator);
    full += name;
    return full;
}

std::wstring CPropertyManagerNamespaceView::GetNamespaceFromFullName(const std::wstring& fullName) const
{
    size_t at = fullName.rfind(m_cSeparator);
    return at == std::wstring::npos ? std::wstring() : fullName.substr(0, at);
}

std::wstring CPropertyManagerNamespaceView::GetNameFromFullName(const std::wstring& fullName) const
{
    size_t at = fullName.rfind(m_cSeparator);
    return at == std::wstring::npos ? fullName : fullName.substr(at + 1);
}

void CPropertyManagerNamespaceView::Reset()
{
    m_strNamespace.clear();
    m_cSeparator = L'\\';
    m_pProvider = nullptr;
}

int CPropertyManagerNamespaceView::IsPropertyExist(const std::wstring& name)
{
    return m_pProvider != nullptr ? m_pProvider->IsPropertyExist(ExpandNameToFullName(name)) : 0;
}

void CPropertyManagerNamespaceView::SetProperty(const std::wstring& name, const std::wstring& value)
{
    if (m_pProvider != nullptr)
        m_pProvider->SetProperty(ExpandNameToFullName(name), value);
}

std::wstring CPropertyManagerNamespaceView::GetProperty(const std::wstring& name)
{
    return m_pProvider != nullptr ? m_pProvider->GetProperty(ExpandNameToFullName(name))
                                  : std::wstring();
}

void CPropertyManagerNamespaceView::SetPropertyInt(const std::wstring& name, int value)
{
    if (m_pProvider != nullptr)
        m_pProvider->SetPropertyInt(ExpandNameToFullName(name), value);
}

int CPropertyManagerNamespaceView::GetPropertyInt(const std::wstring& name)
{
    return m_pProvider != nullptr ? m_pProvider->GetPropertyInt(ExpandNameToFullName(name)) : 0;
}

void CPropertyManagerNamespaceView::EnumerateProperties(std::vector<CPropertyItem>* out)
{
    if (out == nullptr)
        return;
    out->clear();
    if (m_pProvider == nullptr)
        return;
    std::vector<CPropertyItem> all;
    m_pProvider->EnumerateProperties(&all);
    for (CPropertyItem& item : all)
    {
        if (GetNamespaceFromFullName(item.m_strName) == m_strNamespace)
            out->push_back(std::move(item));
    }
}

void CPropertyManagerNamespaceView::Clear()
{
    if (m_pProvider == nullptr)
        return;
    std::vector<CPropertyItem> mine;
    EnumerateProperties(&mine);
    for (const CPropertyItem& item : mine)
        m_pProvider->SetProperty(item.m_strName, std::wstring());
}

void CPropertyManagerNamespaceView::EnumerateSubNamespaces(std::vector<std::wstring>* out)
{
    if (out == nullptr)
        return;
    out->clear();
    if (m_pProvider == nullptr)
        return;
    std::vector<CPropertyItem> all;
    m_pProvider->EnumerateProperties(&all);
    for (const CPropertyItem& item : all)
    {
        std::wstring nameSpace = GetNamespaceFromFullName(item.m_strName);
        std::wstring parent = GetNamespaceFromFullName(nameSpace);
        if (parent.empty() || parent != m_strNamespace)
            continue;
        std::wstring sub = GetNameFromFullName(nameSpace);
        if (std::find(out->begin(), out->end(), sub) == out->end())
            out->push_back(sub);
    }
}
