// The object base of the machine server.
#include "fleetsim/server/Object.h"

#include "winport/WinMachine.h"

namespace machine
{

CObject::~CObject()
{
    if (m_pDirectory != nullptr)
        m_pDirectory->Remove(*this);
}

std::shared_ptr<CObject> CObjectDirectory::Find(const std::wstring& name) const
{
    auto it = m_Objects.find(winport::fleet::FoldName(name));
    return it == m_Objects.end() ? nullptr : it->second.lock();
}

bool CObjectDirectory::Insert(const std::wstring& name, const std::shared_ptr<CObject>& object)
{
    std::wstring folded = winport::fleet::FoldName(name);
    auto it = m_Objects.find(folded);
    if (it != m_Objects.end() && !it->second.expired())
        return false;
    m_Objects[folded] = object;
    object->m_Name = name;
    object->m_pDirectory = this;
    return true;
}

void CObjectDirectory::Remove(CObject& object)
{
    auto it = m_Objects.find(winport::fleet::FoldName(object.m_Name));
    if (it != m_Objects.end() && it->second.expired())
        m_Objects.erase(it);
}

} // namespace machine
