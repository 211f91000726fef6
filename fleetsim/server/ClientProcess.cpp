// A connected process: its handle table, and who it is.
#include "fleetsim/server/ClientProcess.h"

namespace machine
{

CClientProcess::~CClientProcess()
{
    CloseAll();
    for (const auto& [address, watched] : m_Watched)
    {
        std::shared_ptr<CObject> object = watched.lock();
        if (object && object->Ops().processGone != nullptr)
            object->Ops().processGone(*object, *this);
    }
}

void CClientProcess::Watch(const std::shared_ptr<CObject>& object)
{
    // Once per object, however often the process takes it; objects that are gone make room.
    if (m_Watched.size() >= m_WatchedPruneAt)
    {
        std::erase_if(m_Watched, [](const auto& entry) { return entry.second.expired(); });
        m_WatchedPruneAt = 2 * m_Watched.size() + 16;
    }
    m_Watched[object.get()] = object;
}

uint64_t CClientProcess::Insert(std::shared_ptr<CObject> object, uint32_t access)
{
    uint64_t handle = m_NextHandle;
    m_NextHandle += 4;
    m_Handles[handle] = SHandle{std::move(object), access};
    return handle;
}

DWORD CClientProcess::Get(uint64_t handle, const SObjectOps& kind, uint32_t rights,
                          std::shared_ptr<CObject>& object, uint32_t* granted) const
{
    auto it = m_Handles.find(handle);
    if (it == m_Handles.end() || !it->second.object->IsKind(kind))
        return ERROR_INVALID_HANDLE;
    if ((it->second.access & rights) != rights)
        return ERROR_ACCESS_DENIED;
    object = it->second.object;
    if (granted != nullptr)
        *granted = it->second.access;
    return ERROR_SUCCESS;
}

DWORD CClientProcess::GetAny(uint64_t handle, std::shared_ptr<CObject>& object) const
{
    auto it = m_Handles.find(handle);
    if (it == m_Handles.end())
        return ERROR_INVALID_HANDLE;
    object = it->second.object;
    return ERROR_SUCCESS;
}

DWORD CClientProcess::Close(uint64_t handle)
{
    auto it = m_Handles.find(handle);
    if (it == m_Handles.end())
        return ERROR_INVALID_HANDLE;
    std::shared_ptr<CObject> object = std::move(it->second.object);
    m_Handles.erase(it);
    if (object->Ops().close != nullptr)
        object->Ops().close(*object, *this);
    return ERROR_SUCCESS;
}

void CClientProcess::CloseAll()
{
    while (!m_Handles.empty())
        Close(m_Handles.begin()->first);
}

} // namespace machine
