// The kinds of kernel object a caller creates by name or unnamed: what the generic object
// requests (create, open, wait) need of each.
#pragma once

#include "fleetsim/server/Object.h"

#include <memory>
#include <string>

namespace machine
{

extern const SObjectOps g_EventOps;
extern const SObjectOps g_MutexOps;

std::shared_ptr<CObject> NewEvent(bool manualReset, bool signalled);
// Owned by the calling thread from the start when owner is set.
std::shared_ptr<CObject> NewMutex(const SWaiter* owner);
void OwnMutex(const std::shared_ptr<CObject>& mutex, const SWaiter& owner);

// An object's name as a caller gives it (UTF-8); "Global\NAME" and "Local\NAME" are "NAME".
std::wstring ObjectName(const std::string& utf8);

} // namespace machine
