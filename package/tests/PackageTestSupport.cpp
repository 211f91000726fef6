// Shared steps of the package runtime's tests.
#include "package/tests/PackageTestSupport.h"

#include "framework/Serialization.h"
#include "testsupport/TestSupport.h"
#include "winport/WinFile.h"

#include <filesystem>

namespace packagetest
{

void LayOutPackage(const std::wstring& folder)
{
    std::wstring bin = testsupport::ProgramFolder();
    testsupport::CopyTree(bin + L"\\samples\\SP2", folder);
    std::filesystem::copy_file(testsupport::HostPath(bin + L"\\testactions.dll"),
                               testsupport::HostPath(folder + L"\\testactions.dll"),
                               std::filesystem::copy_options::overwrite_existing);
}

unsigned long RunPackageProgram(const std::wstring& folder, const wchar_t* program,
                                const std::wstring& arguments)
{
    return testsupport::RunProgram(L"\"" + folder + L"\\" + program + L"\" " + arguments,
                                   folder.c_str());
}

namespace
{
std::string LogPath(const wchar_t* program)
{
    return testsupport::HostPath(std::wstring(L"C:\\Windows\\Temp\\Parvel_") + program + L".log");
}
} // namespace

std::string ProgramLog(const wchar_t* program)
{
    return testsupport::ReadHostFile(LogPath(program));
}

void ClearProgramLog(const wchar_t* program)
{
    std::filesystem::remove(LogPath(program));
}

void LoadProperties(const std::wstring& folder, CPropertyManager& properties)
{
    properties.Clear();
    CPersistentStorageFile storage(folder + L"\\properties.txt");
    CSerializer::ConstructObjectFromStorage(&properties, &storage);
}

} // namespace packagetest
