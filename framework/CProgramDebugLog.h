// How every program of the system starts and ends its debug log.
#pragma once

class CProgramDebugLog
{
public:
    // Registers the file receiver "CAdvLogProcessor_WriteToFile" on the process hub with the
    // program's log file under %SYSTEMROOT%\Temp, unless one is registered already.
    static void Start();
    // Unregisters and deletes that receiver and frees the process hub.
    static void Stop();
    // Merges a child's log file into this log; logs the failure when it cannot be read.
    static int MergeChildLog(const wchar_t* path);

private:
    CProgramDebugLog() = delete;
};
