// What the package runtime's tests share: a package folder laid out from the sample pack, runs of
// its programs, their logs and the property file they leave.
#pragma once

#include "framework/CPropertyManager.h"

#include <string>

namespace packagetest
{

// Lays out the sample pack (and the test actions) at folder on this process's machine.
void LayOutPackage(const std::wstring& folder);

// Runs a program of the package folder with the arguments; the current folder is the package's.
unsigned long RunPackageProgram(const std::wstring& folder, const wchar_t* program,
                                const std::wstring& arguments);

// The log of a program of this machine ("actionhost" ...), and clearing it before a run.
std::string ProgramLog(const wchar_t* program);
void ClearProgramLog(const wchar_t* program);

// The package's property file as it is now (empty when it cannot be read).
void LoadProperties(const std::wstring& folder, CPropertyManager& properties);

} // namespace packagetest
