// The handler of every request of the list, declared from the list itself: a request without
// a handler does not link, and the dispatch table is built from the same list.
#pragma once

#include "fleetsim/server/Server.h"

namespace machine::handlers
{
using namespace machine::protocol;

#define FLEET_DECLARE_HANDLER(name, number, request, reply, access)                                \
    void name(SRequestContext& context, request& in, reply& out);
FLEET_MACHINE_REQUESTS(FLEET_DECLARE_HANDLER)
#undef FLEET_DECLARE_HANDLER

} // namespace machine::handlers
