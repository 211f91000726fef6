// What a package may change on the machine a test runs on, taken as plain data so that two
// moments compare with ==: a file tree, a registry key with everything below it, services.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace testsupport
{

// Every entry below a folder: relative path -> content (folders "<dir>"), " (read-only)" added
// for read-only entries. Empty when the folder does not exist.
std::map<std::string, std::string> TreeSnapshot(const std::wstring& folder);

// Every key below HKEY_LOCAL_MACHINE\key (the key included) and every value with its type and
// bytes, one line each, in enumeration order.
std::vector<std::string> RegistrySnapshot(const std::wstring& key);

// Bytes as lower-case hex digits, as the registry snapshot shows a value's data.
std::string HexOf(const void* bytes, size_t size);

// "NAME state=N start=N" of each service (state 0 when it does not exist).
std::vector<std::string> ServiceSnapshot(const std::vector<std::wstring>& services);

} // namespace testsupport
