// The install copy with backup, its rollback and its uninstall.
#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "setupsupport/CActionGlobalResource.h"
#include "setupsupport/CFileSupport.h"
#include "setupsupport/CProcessOperation.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinReg.h"
#include "winport/WinString.h"

#include <algorithm>
#include <map>

namespace
{

std::wstring Combine(const std::wstring& folder, const std::wstring& entry)
{
    return entry == L"." ? folder : CStringSupport::PathCombinePath(folder, entry);
}

std::wstring LastErrorText()
{
    return CStringSupport::ConvertWin32ErrorCodeToString(GetLastError());
}

void Fail(CNormalErrorHandle& result, const wchar_t* id)
{
    result.SetErrorMessage(CActionGlobalResource::GetMessageText(id));
}

// "error.Format.CopyFile.failed" with the file and the formatted "error.Format.FileLock".
void FailLocked(CNormalErrorHandle& result, const std::wstring& path,
                const std::vector<std::wstring>& locks)
{
    std::wstring lockText = CStringSupport::StringFormat(
        CActionGlobalResource::GetMessageText(L"error.Format.FileLock").c_str(),
        CStringSupport::VectorToString(locks, L',').c_str());
    result.SetErrorMessage(CStringSupport::StringFormat(
        CActionGlobalResource::GetMessageText(L"error.Format.CopyFile.failed").c_str(),
        path.c_str(), lockText.c_str()));
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", result.GetErrorMessage().c_str());
}

// Sorted, without duplicates, comma-joined; logged when there is any.
std::wstring LockSummary(std::vector<std::wstring> locks)
{
    if (locks.empty())
        return std::wstring();
    CStringSupport::VectorSortAndRemoveDuplicatedString(locks);
    std::wstring text = CStringSupport::VectorToString(locks, L',');
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Process Information is:%s", text.c_str());
    return text;
}

bool SameContent(const std::wstring& a, const std::wstring& b)
{
    FILE* first = _wfopen(a.c_str(), L"rb");
    FILE* second = first != nullptr ? _wfopen(b.c_str(), L"rb") : nullptr;
    bool same = second != nullptr;
    std::vector<char> x(1 << 16), y(1 << 16);
    while (same)
    {
        size_t n = fread(x.data(), 1, x.size(), first), m = fread(y.data(), 1, y.size(), second);
        same = n == m && std::equal(x.begin(), x.begin() + static_cast<long>(n), y.begin());
        if (n == 0)
            break;
    }
    if (second != nullptr)
        fclose(second);
    if (first != nullptr)
        fclose(first);
    return same;
}

// Takes a file's pending delete at the next start out of the machine's list again.
void CancelDeleteAtReboot(const std::wstring& path)
{
    const wchar_t* const valueName = L"PendingFileRenameOperations";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    DWORD type = 0, size = 0;
    std::wstring items;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ && size > 0)
    {
        items.resize(size / sizeof(wchar_t));
        RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(items.data()),
                         &size);
    }
    // Pairs of source and target; a delete has an empty target.
    std::vector<std::wstring> strings;
    for (size_t at = 0; at < items.size();)
    {
        size_t end = items.find(L'\0', at);
        if (end == std::wstring::npos)
            end = items.size();
        strings.push_back(items.substr(at, end - at));
        at = end + 1;
    }
    while (!strings.empty() && strings.back().empty())
        strings.pop_back();
    std::wstring kept;
    bool changed = false;
    for (size_t i = 0; i < strings.size(); i += 2)
    {
        std::wstring target = i + 1 < strings.size() ? strings[i + 1] : std::wstring();
        if (target.empty() && CStringSupport::IsStringEqualIgnoreCase(strings[i], L"\\??\\" + path))
        {
            changed = true;
            continue;
        }
        kept += strings[i] + L'\0' + target + L'\0';
    }
    if (changed && kept.empty())
        RegDeleteValueW(key, valueName);
    else if (changed)
    {
        kept.push_back(L'\0');
        RegSetValueExW(key, valueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(kept.data()),
                       static_cast<DWORD>(kept.size() * sizeof(wchar_t)));
    }
    RegCloseKey(key);
}

// Takes a destination file's name away, so that what comes in its place is a new file; true when
// the name is gone (or was not there), false when the file stays (a process holds it).
bool Unlink(const std::wstring& path)
{
    if (DeleteFileW(path.c_str()))
        return true;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    if (error != ERROR_ACCESS_DENIED)
        return false;
    CFileSupport::RemoveFileReadOnlyFlag(path); // a read-only file is deleted as Windows allows
    return DeleteFileW(path.c_str()) != FALSE;
}

// A file that an install set aside because a process held it ("NAME_temp") is the very file that
// was saved: it goes back in place by name, so the holder keeps its file and nothing waits for the
// next start. False when there is no such file or it cannot be put back.
bool PutBackSetAside(const std::wstring& saved, const std::wstring& to)
{
    std::wstring aside = to + L"_temp";
    DWORD attributes = GetFileAttributesW(aside.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !SameContent(saved, aside) || !Unlink(to))
        return false;
    if (!MoveFileW(aside.c_str(), to.c_str()))
        return false;
    CancelDeleteAtReboot(aside);
    ADVLOG(ADVLOG_SEVERITY_INFO, L"The file [%s] set aside is put back to [%s]", aside.c_str(),
           to.c_str());
    return true;
}

// The files of destination folders that an install set aside ("NAME_temp"): each folder is
// listed once, rather than every restored file looked for beside its own.
class CSetAsideFiles
{
public:
    // Whether the file of this path may have been set aside.
    bool MayHave(const std::wstring& path)
    {
        std::wstring folder = CStringSupport::PathGetPath(path);
        auto [found, listed] = m_Folders.try_emplace(CStringSupport::StringToLowerCase(folder));
        if (listed)
            found->second = List(folder);
        std::wstring aside = CStringSupport::PathGetFileName(path) + L"_temp";
        return std::any_of(found->second.begin(), found->second.end(),
                           [&](const std::wstring& name)
                           { return CStringSupport::IsStringEqualIgnoreCase(name, aside); });
    }

private:
    static std::vector<std::wstring> List(const std::wstring& folder)
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE find =
            FindFirstFileW(CStringSupport::PathCombinePath(folder, L"*_temp").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do
            names.push_back(found.cFileName);
        while (FindNextFileW(find, &found));
        FindClose(find);
        return names;
    }

    std::map<std::wstring, std::vector<std::wstring>> m_Folders;
};

// Puts a saved file (whose attributes are given) back over the destination's: the file set
// aside, else the saved file by a second name (not a read-only one: clearing the flag to delete
// the saved file would clear the restored file's), else a copy.
bool RestoreFile(const std::wstring& saved, const std::wstring& to, DWORD attributes,
                 CSetAsideFiles& asides)
{
    if (asides.MayHave(to) && PutBackSetAside(saved, to))
        return true;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0 && Unlink(to) &&
        CreateHardLinkW(to.c_str(), saved.c_str(), nullptr))
        return true;
    return CopyFileW(saved.c_str(), to.c_str(), FALSE) != FALSE;
}

// A saved file is a second name of the file it saves when it can be (the same drive, and the
// file not read-only, whose flag would then be the saved copy's too): saving costs no copy, and
// the destination is replaced by a new file, never written in place.
bool SaveFile(const std::wstring& from, const std::wstring& to, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0 &&
        CreateHardLinkW(to.c_str(), from.c_str(), nullptr))
        return true;
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

// A list entry names a path below the folder it is read for: relative, without "..".
bool IsBelow(const std::wstring& entry)
{
    if (entry == L".")
        return true;
    if (entry.empty() || entry[0] == L'\\' || entry[0] == L'/' ||
        entry.find(L':') != std::wstring::npos)
        return false;
    for (const std::wstring& part : CStringSupport::StringToVector(entry, L'\\'))
        if (part == L".." || part.find(L'/') != std::wstring::npos)
            return false;
    return true;
}

bool ReadList(const std::wstring& path, std::vector<std::wstring>& entries, const wchar_t* function)
{
    entries.clear();
    if (!CFileSupport::IsExist(path))
        return true;
    std::vector<std::wstring> lines;
    if (!CFileSupport::ReadFileContentIntoVector(path, nullptr, lines))
    {
        ADVLOG_UNEXPECTED_BRANCH(function);
        return false;
    }
    // The lists are files in the backup folder: an entry that would reach outside the folders
    // they are applied to is not taken.
    for (std::wstring& line : lines)
    {
        line = CStringSupport::StringTrim(line, L"\r");
        if (IsBelow(line))
            entries.push_back(line);
        else if (!line.empty())
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"The entry [%s] of the list [%s] is no path below its "
                   L"folder, it is skipped.",
                   line.c_str(), path.c_str());
    }
    return true;
}

bool BothFoldersExist(const std::wstring& source, const std::wstring& destination,
                      CNormalErrorHandle& result)
{
    if (!CFileSupport::IsDirectory(source))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Copy file failed, the source folder[%s] is not exist.",
               source.c_str());
        Fail(result, L"error.CopyFile.failed");
        return false;
    }
    if (!CFileSupport::IsDirectory(destination))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Copy file failed, the destination folder[%s] is not exist.",
               destination.c_str());
        Fail(result, L"error.CopyFile.failed");
        return false;
    }
    return true;
}

// "'name(pid)'" of every process of the snapshot that has the file loaded.
std::vector<std::wstring> HoldersIn(const std::vector<CModuleProcessInfo>& modules,
                                    const std::wstring& path)
{
    std::vector<std::wstring> holders;
    std::wstring wanted = CStringSupport::StringToLowerCase(path);
    for (const CModuleProcessInfo& module : modules)
        if (module.m_strModulePath == wanted)
            holders.push_back(
                CStringSupport::StringFormat(L"'%s(%s)'", module.m_strProcessName.c_str(),
                                             std::to_wstring(module.m_dwProcessId).c_str()));
    return holders;
}

const wchar_t kUnknownHolder[] = L"Install copy file encounter a file lock problem for file [%s], "
                                 L"the lock process infor is unknown!";

} // namespace

void CFileSupport::AnalysisCopyFileInfo(const std::wstring& sourceRoot, const std::wstring& source,
                                        const std::wstring& destination, bool compareFileVersion,
                                        std::vector<std::wstring>& overrideList,
                                        std::vector<std::wstring>& addList,
                                        TEntryAttributes* attributes)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(CStringSupport::PathCombinePath(source, L"*.*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    std::wstring root = CStringSupport::PathTrim(sourceRoot) + L"\\";
    do
    {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        std::wstring sourcePath = CStringSupport::PathCombinePath(source, name);
        std::wstring destinationPath = CStringSupport::PathCombinePath(destination, name);
        std::wstring relative = sourcePath.substr(root.size());
        DWORD there = GetFileAttributesW(destinationPath.c_str());
        bool exists = there != INVALID_FILE_ATTRIBUTES;
        auto record = [&]
        {
            if (attributes != nullptr)
                (*attributes)[relative] = {found.dwFileAttributes, there};
        };
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            (exists ? overrideList : addList).push_back(relative);
            record();
            AnalysisCopyFileInfo(sourceRoot, sourcePath, destinationPath, compareFileVersion,
                                 overrideList, addList, attributes);
        }
        else if (!exists)
        {
            addList.push_back(relative);
            record();
            ADVLOG(ADVLOG_SEVERITY_DEBUG, L"The file [%s] would be added.", relative.c_str());
        }
        else
        {
            int newer = compareFileVersion ? CompareFileVersion(sourcePath, destinationPath) : 1;
            if (newer == 1 || newer == -2)
            {
                overrideList.push_back(relative);
                record();
                ADVLOG(ADVLOG_SEVERITY_DEBUG, L"The file [%s] would be updated.", relative.c_str());
            }
            else
                ADVLOG(ADVLOG_SEVERITY_DEBUG,
                       L"The file [%s] has the higher/equal version, skipped update.",
                       relative.c_str());
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
}

bool CFileSupport::OverrideFiles(const std::wstring& destination, const std::wstring& backup,
                                 const std::vector<std::wstring>& list, std::wstring* failed)
{
    CSetAsideFiles asides;
    for (const std::wstring& entry : list)
    {
        if (entry == L".")
            continue;
        std::wstring from = Combine(backup, entry), to = Combine(destination, entry);
        DWORD saved = GetFileAttributesW(from.c_str());
        if (saved != INVALID_FILE_ATTRIBUTES && (saved & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        if (!RestoreFile(from, to, saved, asides))
        {
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"OverrideFiles failed from %s to %s because:%s",
                   from.c_str(), to.c_str(), LastErrorText().c_str());
            if (failed != nullptr)
                *failed = to;
            return false;
        }
    }
    return true;
}

void CFileSupport::DeleteFiles(const std::wstring& root, const std::vector<std::wstring>& list)
{
    // Folders removed with their content ("." is the root): what lies below them is gone, and
    // is skipped without a call (a backup's list names every file of the folders it begins
    // with).
    std::vector<std::wstring> removed;
    auto isBelowRemoved = [&removed](const std::wstring& entry)
    {
        for (const std::wstring& folder : removed)
        {
            if (folder == L"." ||
                (entry.size() > folder.size() &&
                 (entry[folder.size()] == L'\\' || entry[folder.size()] == L'/') &&
                 _wcsnicmp(entry.c_str(), folder.c_str(), folder.size()) == 0))
                return true;
        }
        return false;
    };
    for (const std::wstring& entry : list)
    {
        if (isBelowRemoved(entry))
            continue;
        std::wstring path = Combine(root, entry);
        if (entry != L"." && DeleteFileW(path.c_str()))
            continue; // the common case, in one call
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            CFileSupportErrorHandle folderRemoved = RemoveDirectoryEx(path);
            if (folderRemoved.IsSuccess())
                removed.push_back(entry);
            else
                ADVLOG(ADVLOG_SEVERITY_WARNING,
                       L"when rollback backup fail occur error, and may leave some garbage on the "
                       L"disk,Remove File %s, Sytem Error Infor:%s",
                       path.c_str(), folderRemoved.GetSystemErrorInfor().c_str());
        }
        else
        {
            RemoveFileReadOnlyFlag(path); // a saved copy keeps the flag of the file it saved
            DeleteFileW(path.c_str());
        }
    }
}

bool CFileSupport::RetrieveFileLockInformation(const std::wstring& path,
                                               std::vector<std::wstring>& locks)
{
    std::vector<CModuleProcessInfo> modules;
    CProcessOperation::AnalysisProcessAndModuleInfo(modules);
    std::vector<std::wstring> found = HoldersIn(modules, path);
    locks.insert(locks.end(), found.begin(), found.end());
    return !found.empty();
}

std::vector<std::wstring> CFileSupport::LockHolders(const std::wstring& path)
{
    std::vector<std::wstring> holders;
    if (!RetrieveFileLockInformation(path, holders))
        ADVLOG(ADVLOG_SEVERITY_WARNING, kUnknownHolder, path.c_str());
    return holders;
}

bool CFileSupport::RenameAndCopyFile(const std::wstring& source, const std::wstring& destination)
{
    std::wstring aside = destination + L"_temp";
    if (IsExist(aside))
        RemoveFileReadOnlyFlag(aside);
    if (IsExist(aside) && !DeleteFileW(aside.c_str()))
    {
        ADVLOG(
            ADVLOG_SEVERITY_ERROR,
            L"the backup file is already exist and try to delete the file failed [%s] because %s",
            aside.c_str(), LastErrorText().c_str());
        return false;
    }
    if (!MoveFileW(destination.c_str(), aside.c_str()))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"rename file failed from [%s] to [%s] because %s",
               destination.c_str(), aside.c_str(), LastErrorText().c_str());
        return false;
    }
    if (!CopyFileW(source.c_str(), destination.c_str(), FALSE))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"copy file failed from [%s] to [%s] because %s",
               source.c_str(), destination.c_str(), LastErrorText().c_str());
        return false;
    }
    return true;
}

CNormalErrorHandle CFileSupport::InstallCopyFile(const std::wstring& source,
                                                 const std::wstring& destination,
                                                 const std::wstring& backup,
                                                 bool compareFileVersion)
{
    ADVLOG_TRACE_FUNCTION(L"CFileSupport::InstallCopyFile");
    CNormalErrorHandle result;
    if (!BothFoldersExist(source, destination, result))
        return result;

    bool backupSkipped = false, createdBackup = false;
    if (IsDirectory(backup) && (IsExist(Combine(backup, PackageNames::kAddList)) ||
                                IsExist(Combine(backup, PackageNames::kOverrideList))))
    {
        ADVLOG(ADVLOG_SEVERITY_INFO, L"installAddFileList.txt or installOverrideFileList.txt is "
                                     L"exist, the backup step will be skipped.");
        backupSkipped = true;
    }
    else if (!IsExist(backup))
    {
        CFileSupportErrorHandle made = CreateDirectoryW(backup);
        if (!made.IsSuccess())
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Copy file failed, Backup folder[%s] is not exist and can not be created! "
                   L"Because:[%s], "
                   L"please create the folder:[%s] for backup manually.",
                   backup.c_str(), made.GetSystemErrorInfor().c_str(), backup.c_str());
            Fail(result, L"error.CopyFile.failed");
            return result;
        }
        createdBackup = true;
    }

    std::vector<std::wstring> overrideList, addList;
    TEntryAttributes attributes;
    AnalysisCopyFileInfo(source, source, destination, compareFileVersion, overrideList, addList,
                         &attributes);
    auto isFolder = [&](const std::wstring& entry)
    { return (attributes[entry].first & FILE_ATTRIBUTE_DIRECTORY) != 0; };

    // Backup: what is written into the backup folder is recorded, to be taken away again.
    std::vector<std::wstring> created;
    auto undoBackup = [&]
    {
        if (createdBackup)
            created.push_back(L".");
        DeleteFiles(backup, created);
    };
    if (!backupSkipped)
    {
        for (const std::wstring& entry : overrideList)
        {
            std::wstring from = Combine(destination, entry), to = Combine(backup, entry);
            bool saved = isFolder(entry)
                             ? (::CreateDirectoryW(to.c_str(), nullptr) || IsDirectory(to))
                             : SaveFile(from, to, attributes[entry].second);
            if (!saved)
            {
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"Copy file failed, when Backup file failed from [%s] to [%s], because %s",
                       from.c_str(), to.c_str(), LastErrorText().c_str());
                Fail(result, L"error.CopyFile.failed");
                undoBackup();
                return result;
            }
            created.push_back(entry);
        }
        if (!addList.empty())
        {
            if (WriteToFile(CStringSupport::VectorToString(addList, L'\n'),
                            Combine(backup, PackageNames::kAddList))
                    .IsSuccess())
                created.push_back(PackageNames::kAddList);
            else
                ADVLOG_UNEXPECTED_BRANCH(L"CFileSupport::InstallCopyFile");
        }
        if (!overrideList.empty())
        {
            std::vector<std::wstring> lines = overrideList;
            if (createdBackup)
                lines.insert(lines.begin(), L".");
            if (WriteToFile(CStringSupport::VectorToString(lines, L'\n'),
                            Combine(backup, PackageNames::kOverrideList))
                    .IsSuccess())
                created.push_back(PackageNames::kOverrideList);
            else
                ADVLOG_UNEXPECTED_BRANCH(L"CFileSupport::InstallCopyFile");
        }
    }

    // Replace.
    std::vector<std::wstring> replaced, locks;
    auto putBack = [&]
    {
        if (createdBackup)
            created.push_back(L".");
        if (OverrideFiles(destination, backup, replaced))
            DeleteFiles(backup, created);
    };
    for (const std::wstring& entry : overrideList)
    {
        std::wstring from = Combine(source, entry), to = Combine(destination, entry);
        if (isFolder(entry))
            continue;
        // A read-only file is replaced like any other (its backup keeps the flag, and a rollback
        // gives it back); only a file that a process holds needs setting aside. The new file
        // never goes into the old one's place in the file: that may be its backup's too.
        if (!Unlink(to) || !CopyFileW(from.c_str(), to.c_str(), FALSE))
        {
            std::vector<std::wstring> holders = LockHolders(to);
            ADVLOG(ADVLOG_SEVERITY_INFO, L"Rename and copy the file from [%s] to [%s]",
                   from.c_str(), to.c_str());
            if (!RenameAndCopyFile(from, to))
            {
                FailLocked(result, to, holders);
                putBack();
                return result;
            }
            // The file set aside goes at the next start, when nothing holds it any more.
            MoveFileExW((to + L"_temp").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            locks.insert(locks.end(), holders.begin(), holders.end());
        }
        if ((attributes[entry].first & FILE_ATTRIBUTE_READONLY) != 0)
            RemoveFileReadOnlyFlag(to); // the copy came with the pack's flag
        replaced.push_back(entry);
    }

    if (CActionGlobalResource::IsFaultInjected(L"middle"))
    {
        Fail(result, L"error.CopyFile.failed");
        putBack();
        return result;
    }

    // Add. What is added is taken away again on a failure, folders last.
    std::vector<std::wstring> added;
    auto takeAway = [&]
    {
        std::reverse(added.begin(), added.end());
        DeleteFiles(destination, added);
    };
    for (const std::wstring& entry : addList)
    {
        std::wstring from = Combine(source, entry), to = Combine(destination, entry);
        bool done;
        if (isFolder(entry))
        {
            done = IsDirectory(to);
            if (!done && ::CreateDirectoryW(to.c_str(), nullptr))
            {
                done = true;
                added.push_back(entry);
            }
        }
        else
        {
            done = CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
            if (done)
            {
                if ((attributes[entry].first & FILE_ATTRIBUTE_READONLY) != 0)
                    RemoveFileReadOnlyFlag(to);
                added.push_back(entry);
            }
        }
        if (!done)
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Copy file failed, when copy file from [%s] to [%s], because %s %s",
                   from.c_str(), to.c_str(), LastErrorText().c_str(), L" ");
            Fail(result, L"error.CopyFile.failed");
            takeAway();
            putBack();
            return result;
        }
    }
    if (CActionGlobalResource::IsFaultInjected(L"after"))
    {
        Fail(result, L"error.CopyFile.failed");
        takeAway();
        putBack();
        return result;
    }
    result.SetSuccessMessage(LockSummary(locks));
    return result;
}

CNormalErrorHandle CFileSupport::RollbackCopyFile(const std::wstring& backup,
                                                  const std::wstring& destination)
{
    ADVLOG_TRACE_FUNCTION(L"CFileSupport::RollbackCopyFile");
    CNormalErrorHandle result;
    if (!BothFoldersExist(backup, destination, result))
        return result;
    std::vector<std::wstring> addList, overrideList;
    ReadList(Combine(backup, PackageNames::kAddList), addList, L"CFileSupport::RollbackCopyFile");
    for (const std::wstring& entry : addList)
    {
        std::wstring path = Combine(destination, entry);
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            if (!RemoveDirectoryEx(path).IsSuccess())
                ADVLOG(ADVLOG_SEVERITY_WARNING,
                       L"Delete added file[%s] error when rollback the copy file action, please "
                       L"delete this file manually.",
                       path.c_str());
        }
        else if (!Unlink(path)) // an added file may have come read-only
        {
            std::vector<std::wstring> holders = LockHolders(path);
            FailLocked(result, path, holders);
            return result;
        }
    }
    ReadList(Combine(backup, PackageNames::kOverrideList), overrideList,
             L"CFileSupport::RollbackCopyFile");
    std::wstring notRestored;
    if (!OverrideFiles(destination, backup, overrideList, &notRestored))
    {
        FailLocked(result, notRestored, LockHolders(notRestored));
        return result;
    }
    overrideList.push_back(PackageNames::kAddList);
    overrideList.push_back(PackageNames::kOverrideList);
    DeleteFiles(backup, overrideList);
    return result;
}

CNormalErrorHandle CFileSupport::UninstallCopyFile(const std::wstring& backup,
                                                   const std::wstring& destination)
{
    ADVLOG_TRACE_FUNCTION(L"CFileSupport::UninstallCopyFile");
    CNormalErrorHandle result;
    if (!BothFoldersExist(backup, destination, result))
        return result;
    std::wstring temporary = Combine(backup, PackageNames::kUninstallBackup);
    if (!IsDirectory(temporary) && !CreateDirectoryRecursively(temporary))
    {
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"CreateBackup folder failed when UninstallCopyFile, folder path is %s",
               temporary.c_str());
        Fail(result, L"error.CopyFile.failed");
        return result;
    }
    std::vector<CModuleProcessInfo> modules;
    CProcessOperation::AnalysisProcessAndModuleInfo(modules);
    std::vector<std::wstring> addList, overrideList, saved, locks;
    ReadList(Combine(backup, PackageNames::kAddList), addList, L"CFileSupport::UninstallCopyFile");
    ReadList(Combine(backup, PackageNames::kOverrideList), overrideList,
             L"CFileSupport::UninstallCopyFile");

    auto undo = [&]
    {
        if (OverrideFiles(destination, temporary, saved))
            RemoveDirectoryEx(temporary);
        else
            ADVLOG(ADVLOG_SEVERITY_ERROR,
                   L"Rollback files failed when unistall, that may cause error when re-uninstall");
        return result;
    };
    // Saves the destination's file into the temporary folder at its relative path.
    auto save = [&](const std::wstring& entry, const wchar_t* createFailure)
    {
        std::wstring from = Combine(destination, entry), to = Combine(temporary, entry);
        std::wstring parent = CStringSupport::PathGetPath(to);
        if (!IsDirectory(parent) && !CreateDirectoryRecursively(parent))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, createFailure, parent.c_str());
            Fail(result, L"error.CopyFile.failed");
            return false;
        }
        if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"CopyFile failed Backup file from %s to %s because: %s",
                   from.c_str(), to.c_str(), LastErrorText().c_str());
            Fail(result, L"error.CopyFile.failed");
            return false;
        }
        saved.push_back(entry);
        return true;
    };

    for (auto it = addList.rbegin(); it != addList.rend(); ++it)
    {
        std::wstring path = Combine(destination, *it);
        if (IsDirectory(path))
        {
            if (!RemoveDirectoryW(path.c_str()))
                ADVLOG(ADVLOG_SEVERITY_ERROR,
                       L"remove folder [%s] error when uninstall copy file action, please delete "
                       L"folder file manually.",
                       path.c_str());
            continue;
        }
        if (!IsExist(path))
            continue;
        if (!save(*it, L"create backup folder failed [%s] when uninstall copy file action."))
            return undo();
        if (DeleteFileW(path.c_str()))
            continue;
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"Remove the new file [%s] failed, try to rename it",
               path.c_str());
        std::vector<std::wstring> holders = HoldersIn(modules, path);
        if (holders.empty())
            ADVLOG(ADVLOG_SEVERITY_WARNING,
                   L"Remove the new file encounter a file lock problem for file [%s], the lock "
                   L"process infor is unknown!",
                   path.c_str());
        std::wstring aside = path + L"_temp";
        if (IsExist(aside))
            DeleteFileW(aside.c_str());
        if (!MoveFileW(path.c_str(), aside.c_str()))
        {
            ADVLOG(ADVLOG_SEVERITY_ERROR, L"rename file failed from [%s] to [%s] because %s",
                   path.c_str(), aside.c_str(), LastErrorText().c_str());
            FailLocked(result, path, holders);
            return undo();
        }
        MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        locks.insert(locks.end(), holders.begin(), holders.end());
    }
    CSetAsideFiles asides;
    for (const std::wstring& entry : overrideList)
    {
        if (entry == L".")
            continue;
        std::wstring from = Combine(backup, entry), to = Combine(destination, entry);
        if (IsDirectory(from))
            continue;
        if (IsExist(to) && !save(entry, L"create backup folder failed [%s] error when uninstall "
                                        L"copy file action, please delete folder file manually."))
            return undo();
        if (RestoreFile(from, to, GetFileAttributesW(from.c_str()), asides))
            continue;
        std::vector<std::wstring> holders = HoldersIn(modules, to);
        if (holders.empty())
            ADVLOG(ADVLOG_SEVERITY_WARNING, kUnknownHolder, to.c_str());
        ADVLOG(ADVLOG_SEVERITY_INFO, L"Rename and copy the file from [%s] to [%s]", from.c_str(),
               to.c_str());
        if (!RenameAndCopyFile(from, to))
        {
            FailLocked(result, to, holders);
            return undo();
        }
        MoveFileExW((to + L"_temp").c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        locks.insert(locks.end(), holders.begin(), holders.end());
    }
    overrideList.push_back(PackageNames::kAddList);
    overrideList.push_back(PackageNames::kOverrideList);
    DeleteFiles(backup, overrideList);
    RemoveDirectoryEx(temporary);
    result.SetSuccessMessage(LockSummary(locks));
    return result;
}
