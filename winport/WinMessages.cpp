// The system message table behind FormatMessageW: the English texts Windows gives for the
// codes the system meets. Pure data and logic.
#include "winport/WinBase.h"

#include <cwchar>
#include <string>

namespace
{

struct SMessage
{
    DWORD code;
    const wchar_t* text;
};

constexpr SMessage kMessages[] = {
    {0, L"The operation completed successfully."},
    {1, L"Incorrect function."},
    {2, L"The system cannot find the file specified."},
    {3, L"The system cannot find the path specified."},
    {4, L"The system cannot open the file."},
    {5, L"Access is denied."},
    {6, L"The handle is invalid."},
    {8, L"Not enough memory resources are available to process this command."},
    {13, L"The data is invalid."},
    {14, L"Not enough memory resources are available to complete this operation."},
    {15, L"The system cannot find the drive specified."},
    {17, L"The system cannot move the file to a different disk drive."},
    {18, L"There are no more files."},
    {21, L"The device is not ready."},
    {29, L"The system cannot write to the specified device."},
    {31, L"A device attached to the system is not functioning."},
    {32, L"The process cannot access the file because it is being used by another process."},
    {33, L"The process cannot access the file because another process has locked a portion of the file."},
    {38, L"Reached the end of the file."},
    {50, L"The request is not supported."},
    {53, L"The network path was not found."},
    {59, L"An unexpected network error occurred."},
    {64, L"The specified network name is no longer available."},
    {65, L"Network access is denied."},
    {67, L"The network name cannot be found."},
    {80, L"The file exists."},
    {82, L"The directory or file cannot be created."},
    {86, L"The specified network password is not correct."},
    {87, L"The parameter is incorrect."},
    {109, L"The pipe has been ended."},
    {110, L"The system cannot open the device or file specified."},
    {111, L"The file name is too long."},
    {112, L"There is not enough space on the disk."},
    {120, L"This function is not supported on this system."},
    {121, L"The semaphore timeout period has expired."},
    {122, L"The data area passed to a system call is too small."},
    {123, L"The filename, directory name, or volume label syntax is incorrect."},
    {126, L"The specified module could not be found."},
    {127, L"The specified procedure could not be found."},
    {145, L"The directory is not empty."},
    {161, L"The specified path is invalid."},
    {170, L"The requested resource is in use."},
    {183, L"Cannot create a file when that file already exists."},
    {193, L"%1 is not a valid Win32 application."},
    {203, L"The system could not find the environment option that was entered."},
    {206, L"The filename or extension is too long."},
    {231, L"All pipe instances are busy."},
    {232, L"The pipe is being closed."},
    {233, L"No process is on the other end of the pipe."},
    {234, L"More data is available."},
    {258, L"The wait operation timed out."},
    {259, L"No more data is available."},
    {267, L"The directory name is invalid."},
    {299, L"Only part of a ReadProcessMemory or WriteProcessMemory request was completed."},
    {534, L"Arithmetic result exceeded 32 bits."},
    {995, L"The I/O operation has been aborted because of either a thread exit or an application request."},
    {997, L"Overlapped I/O operation is in progress."},
    {1008, L"An attempt was made to reference a token that does not exist."},
    {1011, L"The configuration registry key could not be opened."},
    {1012, L"The configuration registry key could not be read."},
    {1013, L"The configuration registry key could not be written."},
    {1015, L"The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the system's memory image of the file is corrupted, or the file could not be recovered because the alternate copy or log was absent or corrupted."},
    {1016, L"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write out, or flush, one of the files that contain the system's image of the registry."},
    {1018, L"Illegal operation attempted on a registry key that has been marked for deletion."},
    {1020, L"An attempt was made to create a symbolic link in a registry key that already has subkeys or values."},
    {1053, L"The service did not respond to the start or control request in a timely fashion."},
    {1055, L"The service database is locked."},
    {1056, L"An instance of the service is already running."},
    {1057, L"The account name is invalid or does not exist, or the password is invalid for the account name specified."},
    {1058, L"The service cannot be started, either because it is disabled or because it has no enabled devices associated with it."},
    {1060, L"The specified service does not exist as an installed service."},
    {1061, L"The service cannot accept control messages at this time."},
    {1062, L"The service has not been started."},
    {1063, L"The service process could not connect to the service controller."},
    {1067, L"The process terminated unexpectedly."},
    {1069, L"The service did not start due to a logon failure."},
    {1072, L"The specified service has been marked for deletion."},
    {1073, L"The specified service already exists."},
    {1113, L"No mapping for the Unicode character exists in the target multi-byte code page."},
    {1168, L"Element not found."},
    {1203, L"The network path was either typed incorrectly, does not exist, or the network provider is not currently available. Please try retyping the path or contact your network administrator."},
    {1210, L"The format of the specified computer name is invalid."},
    {1219, L"Multiple connections to a server or shared resource by the same user, using more than one user name, are not allowed. Disconnect all previous connections to the server or shared resource and try again."},
    {1222, L"The network is not present or not started."},
    {1223, L"The operation was canceled by the user."},
    {1225, L"The remote computer refused the network connection."},
    {1300, L"Not all privileges or groups referenced are assigned to the caller."},
    {1314, L"A required privilege is not held by the client."},
    {1315, L"The name provided is not a properly formed account name."},
    {1317, L"The specified account does not exist."},
    {1326, L"The user name or password is incorrect."},
    {1327, L"Account restrictions are preventing this user from signing in."},
    {1331, L"This user can't sign in because this account is currently disabled."},
    {1355, L"The specified domain either does not exist or could not be contacted."},
    {1460, L"This operation returned because the timeout period expired."},
    {1717, L"The interface is unknown."},
    {1722, L"The RPC server is unavailable."},
    {1723, L"The RPC server is too busy to complete this operation."},
    {1726, L"The remote procedure call failed."},
    {1727, L"The remote procedure call failed and did not execute."},
    {1804, L"The specified datatype is invalid."},
    {1921, L"The name of the file cannot be resolved by the system."},
    {2250, L"This network connection does not exist."},
};

const wchar_t* Lookup(DWORD code)
{
    for (const SMessage& m : kMessages)
    {
        if (m.code == code)
            return m.text;
    }
    return nullptr;
}

} // namespace

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, va_list* arguments)
{
    const wchar_t* text = nullptr;
    if (flags & FORMAT_MESSAGE_FROM_STRING)
        text = static_cast<const wchar_t*>(source);
    else if (flags & FORMAT_MESSAGE_FROM_SYSTEM)
        text = Lookup(messageId);
    if (text == nullptr)
    {
        SetLastError((flags & FORMAT_MESSAGE_FROM_STRING) ? ERROR_INVALID_PARAMETER
                                                          : ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    // Inserts are left as they are; the system asks for IGNORE_INSERTS everywhere.
    std::wstring message = text;
    if (flags & FORMAT_MESSAGE_FROM_SYSTEM)
        message += L"\r\n";
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)
    {
        if (buffer == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        auto* block = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (message.size() + 1) * sizeof(wchar_t)));
        if (block == nullptr)
            return 0;
        wmemcpy(block, message.c_str(), message.size() + 1);
        *reinterpret_cast<LPWSTR*>(buffer) = block;
        return static_cast<DWORD>(message.size());
    }
    if (buffer == nullptr || size <= message.size())
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    wmemcpy(buffer, message.c_str(), message.size() + 1);
    return static_cast<DWORD>(message.size());
}
