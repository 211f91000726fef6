#include "framework/ErrorHandles.h"

#include "framework/CStringSupport.h"
#include "winport/WinBase.h"

void CSystemErrorHandle::CaptureSystemError()
{
    DWORD code = GetLastError();
    m_iSystemErrorCode = static_cast<int32_t>(code);
    m_strSystemErrorInfo = CStringSupport::ConvertWin32ErrorCodeToString(code);
}
