// File-mapping sections backed by the paging file: named shared memory of a size, kept in a
// file of the machine's runtime folder that every process mapping it maps. The file goes with
// the section's last handle; views already mapped stay valid, as on Windows.
#include "fleetsim/server/Handlers.h"
#include "fleetsim/server/SyncObjects.h"

#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace machine
{
namespace
{

class CSection : public CObject
{
public:
    CSection();
    ~CSection() override;
    std::string m_Path;
    uint64_t m_Size = 0;
};

const SObjectOps g_SectionOps = {"Section", nullptr, nullptr, nullptr, nullptr};

CSection::CSection() : CObject(g_SectionOps) {}

CSection::~CSection()
{
    if (!m_Path.empty())
        unlink(m_Path.c_str());
}

constexpr uint32_t kSectionAllAccess = 0xF001F;
// Larger sections than this are refused: the fleet's disk holds them.
constexpr uint64_t kLargestSection = uint64_t(1) << 32;

void Answer(CClientProcess& caller, std::shared_ptr<CObject> object, protocol::SSectionReply& out)
{
    auto& section = static_cast<CSection&>(*object);
    out.path = section.m_Path;
    out.size = section.m_Size;
    out.handle = caller.Insert(std::move(object), kSectionAllAccess);
}

} // namespace

namespace handlers
{

void CreateSection(SRequestContext& context, SCreateSectionRequest& in, SSectionReply& out)
{
    std::wstring name = ObjectName(in.name);
    if (!name.empty())
    {
        if (std::shared_ptr<CObject> existing = context.server.Objects().Find(name))
        {
            if (!existing->IsKind(g_SectionOps))
            {
                out.status = ERROR_INVALID_HANDLE;
                return;
            }
            out.existed = 1;
            Answer(*context.connection.process, std::move(existing), out);
            return;
        }
    }
    if (in.size == 0 || in.size > kLargestSection)
    {
        out.status = in.size == 0 ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    static uint64_t s_Next = 0;
    std::string folder = context.server.Folder() + "/runtime/sections";
    mkdir(folder.c_str(), 0700);
    auto section = std::make_shared<CSection>();
    section->m_Path = folder + "/" + std::to_string(getpid()) + "." + std::to_string(++s_Next);
    section->m_Size = in.size;
    winport::posix::CFd fd(
        open(section->m_Path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (fd.Get() < 0 || ftruncate(fd.Get(), static_cast<off_t>(in.size)) != 0)
    {
        out.status = errno == ENOSPC ? ERROR_DISK_FULL : winport::posix::ErrnoToWin32(errno);
        return;
    }
    if (!name.empty())
        context.server.Objects().Insert(name, section);
    Answer(*context.connection.process, std::move(section), out);
}

void OpenSection(SRequestContext& context, SOpenSectionRequest& in, SSectionReply& out)
{
    std::wstring name = ObjectName(in.name);
    std::shared_ptr<CObject> object = name.empty() ? nullptr : context.server.Objects().Find(name);
    if (!object)
        out.status = name.empty() ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND;
    else if (!object->IsKind(g_SectionOps))
        out.status = ERROR_INVALID_HANDLE;
    else
        Answer(*context.connection.process, std::move(object), out);
}

} // namespace handlers
} // namespace machine
