// COM subset: GUIDs.
#pragma once

#include "winport/WinTypes.h"

// A new random (version 4) GUID.
HRESULT CoCreateGuid(GUID* guid);
