// The Win32 subset in one include, as code written for Windows expects it.
#pragma once

#include "winport/Objbase.h"
#include "winport/WinBase.h"
#include "winport/WinCrypt.h"
#include "winport/WinFile.h"
#include "winport/WinModule.h"
#include "winport/WinNet.h"
#include "winport/WinProcess.h"
#include "winport/WinReg.h"
#include "winport/WinRpc.h"
#include "winport/WinSecurity.h"
#include "winport/WinString.h"
#include "winport/WinSvc.h"
#include "winport/WinTimerQueue.h"
#include "winport/WinTypes.h"
#include "winport/TlHelp32.h"
#include "winport/WinVersion.h"
