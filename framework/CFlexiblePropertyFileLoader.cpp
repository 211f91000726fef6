#include "framework/CFlexiblePropertyFileLoader.h"

#include <algorithm>

int CFlexiblePropertyFileLoader::OnSerializeTo(CSerializeStream* stream)
{
    std::vector<CPropertyItem> items;
    m_Properties.EnumerateProperties(&items);
    for (CPropertyItem& item : items)
    {
        std::replace(item.m_strName.begin(), item.m_strName.end(), L'\\', L'.');
        stream->WriteString(item.m_strName + L"=" + item.m_strValue);
    }
    return 1;
}

int CFlexiblePropertyFileLoader::OnSerializeFrom(CSerializeStream* stream)
{
    m_Properties.Clear();
    while (stream->IsHaveDataForRead())
    {
        std::wstring line = stream->ReadString();
        if (line.empty())
            continue;
        size_t start = line.find_first_not_of(L" \t");
        if (start == std::wstring::npos)
            continue;
        wchar_t first = line[start];
        if (first == L';' || first == L'#' || first == L'\\' || first == L'/')
            continue;
        size_t at = line.find(L'=', start);
        if (at == std::wstring::npos)
            continue;
        std::wstring name = line.substr(start, at - start);
        std::replace(name.begin(), name.end(), L'.', L'\\');
        m_Properties.SetProperty(name, line.substr(at + 1));
    }
    return 1;
}

void CFlexiblePropertyFileLoader::CopyPropertiesToAnotherPropertyProvider(IPropertyProvider* target)
{
    if (target != nullptr)
        target->LoadPropertiesFromAnotherInstance(&m_Properties);
}

void CFlexiblePropertyFileLoader::GetPropertiesFromAnotherPropertyProvider(IPropertyProvider* source)
{
    m_Properties.LoadPropertiesFromAnotherInstance(source);
}
