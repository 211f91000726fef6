// Fuzz target: the text of a task as it arrives from the wire (UTF-16 units), rebuilt by class
// name, written again and read back into the rebuilt object. Nothing is run.
#include "framework/CStringSupport.h"
#include "remoteinstall/CTaskSupport.h"
#include "winport/WinString.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::u16string units(size / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    std::wstring text = winport::FromUtf16(units.data(), units.size());
    CStringSupport::GetClassNameThroughSerializedTask(text);
    ITaskSupport* task = RemoteInstall::CRemoteInstallCommon::DeserializeNewTaskFromString(text);
    if (task != nullptr)
    {
        std::wstring again = RemoteInstall::CRemoteInstallCommon::GetSerializedTaskString(task);
        RemoteInstall::CRemoteInstallCommon::DeserializeTaskResultFromString(task, again);
        RemoteInstall::CRemoteInstallCommon::DeserializeTaskResultFromString(task, text);
        delete task;
    }
    return 0;
}
