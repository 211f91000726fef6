// General file operations of the package runtime: text files through the CRT's wide streams,
// folders created, copied and removed as trees, attributes, initialisation files and file
// versions. Paths are Windows paths, drive or UNC; nothing is kept between calls.
#pragma once

#include "framework/ErrorHandles.h"
#include "winport/WinTypes.h"

#include <map>
#include <string>
#include <vector>

class CFileSupport
{
public:
    static bool IsExist(const std::wstring& path);
    static bool IsDirectory(const std::wstring& path);

    // Reads the file line by line (line feeds dropped, a last line without one kept); mode
    // null means "r, ccs=UTF-8", where a byte-order mark decides the encoding. Returns 1, or
    // 0 when the file cannot be opened or read.
    static int ReadFileContentIntoVector(const std::wstring& path, const wchar_t* mode,
                                         std::vector<std::wstring>& lines);
    // The lines of the file joined with line feeds.
    static CFileSupportErrorHandle ReadFile(const std::wstring& path, std::wstring& text);
    // Replaces the file's content with the text, in the mode's encoding ("wt" is ANSI).
    static CFileSupportErrorHandle WriteToFile(const std::wstring& text, const std::wstring& path,
                                               const wchar_t* mode = L"w, ccs=UTF-8");

    // Succeeds when the folder exists or could be made, missing parents included.
    static CFileSupportErrorHandle CreateDirectoryW(const std::wstring& path);
    static bool CreateDirectoryRecursively(const std::wstring& path);
    // Creates the levels of the relative path below the root, which must exist.
    static bool CreateDirectoryRecursively(const std::wstring& rootPath,
                                           const std::wstring& relativePath);
    // Removes the folder with everything in it, read-only files included. What cannot be
    // removed stays, and the first failure is returned.
    static CFileSupportErrorHandle RemoveDirectoryEx(const std::wstring& path);
    // Copies the tree (files overwritten) into the destination, which is created as needed.
    static CFileSupportErrorHandle CopyDirectory(const std::wstring& source,
                                                 const std::wstring& destination);

    // Full paths of the files (not folders) of the folder, sorted by name. False when the
    // folder cannot be listed.
    static bool EnumAllFilesInFolder(const std::wstring& folder, std::vector<std::wstring>& files);
    // The files of the whole tree as paths relative to the folder ("sub\\name"): each folder's
    // entries in name order, a sub-folder's files where its name falls.
    static bool RecursivelyEnumAllFilesInFolder(const std::wstring& folder,
                                                std::vector<std::wstring>& files);

    static bool RemoveFileReadOnlyFlag(const std::wstring& path);
    static CNormalErrorHandle UpdateINIFile(const std::wstring& path, const std::wstring& section,
                                            const std::wstring& key, const std::wstring& value);

    // The two halves of the file version from the root block of the version information.
    static bool GetFileVersion(const std::wstring& path, DWORD& mostSignificant,
                               DWORD& leastSignificant);
    // 1 when a is newer, -1 when b is, 0 when equal, -2 when either has no readable version.
    static int CompareFileVersion(const std::wstring& a, const std::wstring& b);

    // The install copy: copies the source tree over the destination tree, saving every file it
    // replaces into the backup folder with the lists of what it added and replaced, so that
    // RollbackCopyFile (a failed install) or UninstallCopyFile (a later uninstall) undoes it. A
    // file held by a running process is renamed aside ("_temp") and replaced; the success
    // message names those processes ("'name(pid)'", comma-joined).
    static CNormalErrorHandle InstallCopyFile(const std::wstring& source,
                                              const std::wstring& destination,
                                              const std::wstring& backup, bool compareFileVersion);
    static CNormalErrorHandle RollbackCopyFile(const std::wstring& backup,
                                               const std::wstring& destination);
    static CNormalErrorHandle UninstallCopyFile(const std::wstring& backup,
                                                const std::wstring& destination);

private:
    // Each listed entry's attributes: the source's and the destination's (INVALID_FILE_ATTRIBUTES
    // when it is not there), so that the copy asks no file twice what it is.
    using TEntryAttributes = std::map<std::wstring, std::pair<DWORD, DWORD>>;
    static void AnalysisCopyFileInfo(const std::wstring& sourceRoot, const std::wstring& source,
                                     const std::wstring& destination, bool compareFileVersion,
                                     std::vector<std::wstring>& overrideList,
                                     std::vector<std::wstring>& addList,
                                     TEntryAttributes* attributes = nullptr);
    // Puts the saved files of the list back; on failure, failed (when given) names the file that
    // could not be put back.
    static bool OverrideFiles(const std::wstring& destination, const std::wstring& backup,
                              const std::vector<std::wstring>& list,
                              std::wstring* failed = nullptr);
    static void DeleteFiles(const std::wstring& root, const std::vector<std::wstring>& list);
    static bool RetrieveFileLockInformation(const std::wstring& path,
                                            std::vector<std::wstring>& locks);
    // The holders of a file, with the line that says when none is known.
    static std::vector<std::wstring> LockHolders(const std::wstring& path);
    static bool RenameAndCopyFile(const std::wstring& source, const std::wstring& destination);

    CFileSupport() = delete;
    ~CFileSupport() = delete;
};
