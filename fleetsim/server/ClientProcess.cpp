// A connected process: its handle table, and who it is.
#include "fleetsim/server/ClientProcess.h"

#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/posix/PosixSupport.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace machine
{

CClientProcess::~CClientProcess()
{
    CloseAll();
    for (const std::weak_ptr<CObject>& watched : m_Watched)
    {
        std::shared_ptr<CObject> object = watched.lock();
        if (object && object->Ops().processGone != nullptr)
            object->Ops().processGone(*object, *this);
    }
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

bool ReadPeerStart(pid_t pid, SPeerStart& start)
{
    // The environment a process was started with: what it was started on, not what it says.
    std::string environ;
    if (!winport::posix::ReadWholeFile("/proc/" + std::to_string(pid) + "/environ", environ))
        return false;
    std::string root, machine, user, home, state;
    size_t pos = 0;
    while (pos < environ.size())
    {
        size_t end = environ.find('\0', pos);
        if (end == std::string::npos)
            end = environ.size();
        std::string item = environ.substr(pos, end - pos);
        pos = end + 1;
        auto take = [&item](const char* name, std::string& value)
        {
            size_t length = strlen(name);
            if (item.compare(0, length, name) == 0 && item.size() > length && item[length] == '=')
                value = item.substr(length + 1);
        };
        take("FLEET_ROOT", root);
        take("FLEET_MACHINE", machine);
        take("FLEET_USER", user);
        take("HOME", home);
        take("XDG_STATE_HOME", state);
    }
    if (root.empty())
        root = winport::fleet::DefaultFleetRoot(state.empty() ? nullptr : state.c_str(),
                                                home.empty() ? nullptr : home.c_str());
    char canonical[PATH_MAX];
    if (realpath(root.c_str(), canonical) == nullptr)
        return false;
    start.fleetRoot = canonical;
    start.machineName = machine.empty() ? winport::fleet::DefaultMachineName() : machine;
    start.account = user.empty() ? L"Administrator" : winport::FromUtf8(user);
    return true;
}

} // namespace machine
