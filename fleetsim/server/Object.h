// The object base of the machine server: every kind of object (registry key, and the kernel
// objects, processes and services to come) fills one small table of operations, and named
// objects live in one directory of the machine.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace machine
{

class CObject;
class CClientProcess;

// A thread that waits: its process and its thread id.
struct SWaiter
{
    CClientProcess* process = nullptr;
    uint32_t threadId = 0;
};

// What the server asks of a kind of object. Entries a kind does not need stay null; an object
// without signalled cannot be waited on.
struct SObjectOps
{
    const char* kind;                                            // for logs and handle checks
    bool (*signalled)(const CObject& object, const SWaiter& by); // may this waiter go on
    bool (*satisfy)(CObject& object, const SWaiter& by);         // it went on; true when abandoned
    void (*close)(CObject& object, CClientProcess& by);          // one handle of it was closed
    void (*processGone)(CObject& object, CClientProcess& gone);  // a process it knows has ended
    // What an object frees when its last reference goes, its kind's destructor frees.
};

class CObject : public std::enable_shared_from_this<CObject>
{
public:
    explicit CObject(const SObjectOps& ops) : m_Ops(ops) {}
    virtual ~CObject();
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;

    const SObjectOps& Ops() const { return m_Ops; }
    bool IsKind(const SObjectOps& ops) const { return &m_Ops == &ops; }
    const std::wstring& Name() const { return m_Name; }

private:
    friend class CObjectDirectory;
    const SObjectOps& m_Ops;
    std::wstring m_Name; // empty for an unnamed object
    class CObjectDirectory* m_pDirectory = nullptr;
};

// The machine's named objects. A name vanishes with the last reference to its object.
class CObjectDirectory
{
public:
    // The object of that name (names compare without regard to case), or null.
    std::shared_ptr<CObject> Find(const std::wstring& name) const;
    // Gives an unnamed object its name; false when another object holds it.
    bool Insert(const std::wstring& name, const std::shared_ptr<CObject>& object);

private:
    friend class CObject;
    void Remove(CObject& object);
    std::map<std::wstring, std::weak_ptr<CObject>> m_Objects; // by folded name
};

} // namespace machine
