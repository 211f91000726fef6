#include "setupsupport/CFileSupport.h"

#include "framework/CAdvancedLog.h"
#include "framework/CStringSupport.h"
#include "winport/windows.h"

#include <algorithm>
#include <cwchar>

namespace
{

// fgetws takes the terminator out of the count: pieces of at most this many characters.
constexpr int kReadPieceLength = 260;

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

struct SEntry
{
    std::wstring name;
    DWORD attributes = 0;
    bool IsFolder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// The entries of a folder without "." and "..", in name order so that every walk is repeatable.
// Leaves the last error set and returns it on failure.
DWORD ListFolder(const std::wstring& folder, std::vector<SEntry>& entries)
{
    entries.clear();
    std::wstring pattern = CStringSupport::PathCombinePath(folder, L"*.*");
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
    {
        DWORD code = GetLastError();
        // A drive root lists no "." and "..": nothing found there is an empty folder.
        if (code == ERROR_FILE_NOT_FOUND)
            return ERROR_SUCCESS;
        return code;
    }
    do
    {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
            continue;
        entries.push_back({data.cFileName, data.dwFileAttributes});
    } while (FindNextFileW(find, &data));
    DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES)
    {
        entries.clear();
        SetLastError(code);
        return code;
    }
    std::sort(entries.begin(), entries.end(),
              [](const SEntry& a, const SEntry& b)
              {
                  int order = _wcsicmp(a.name.c_str(), b.name.c_str());
                  return order != 0 ? order < 0 : a.name < b.name;
              });
    return ERROR_SUCCESS;
}

// Length of the start of a path that is never created: "C:\", "\\server\share", "\".
size_t RootLength(const std::wstring& path)
{
    size_t start = 0;
    bool unc = false;
    if (path.compare(0, 4, L"\\\\?\\") == 0)
    {
        start = 4;
        if (_wcsnicmp(path.c_str() + 4, L"UNC\\", 4) == 0)
        {
            start = 8;
            unc = true;
        }
    }
    else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
    {
        start = 2;
        unc = true;
    }
    if (unc)
    {
        size_t server = path.find_first_of(L"\\/", start);
        if (server == std::wstring::npos)
            return path.size();
        size_t share = path.find_first_of(L"\\/", server + 1);
        return share == std::wstring::npos ? path.size() : share;
    }
    if (path.size() >= start + 2 && path[start + 1] == L':')
        return start + 2;
    if (start == 0 && !path.empty() && IsSeparator(path[0]))
        return 1;
    return start;
}

// Creates each missing level of relative below base, one after the other. On failure the level
// that could not be made is in failed and its error is the last error.
DWORD CreateLevels(const std::wstring& base, const std::wstring& relative, std::wstring& failed)
{
    std::wstring current = base;
    size_t pos = 0;
    while (pos < relative.size())
    {
        size_t next = relative.find_first_of(L"\\/", pos);
        std::wstring part =
            relative.substr(pos, next == std::wstring::npos ? std::wstring::npos : next - pos);
        pos = next == std::wstring::npos ? relative.size() : next + 1;
        if (part.empty())
            continue;
        current = current.empty() || IsSeparator(current.back()) ? current + part
                                                                 : current + L"\\" + part;
        if (CFileSupport::IsDirectory(current) || ::CreateDirectoryW(current.c_str(), nullptr))
            continue;
        DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS && CFileSupport::IsDirectory(current))
            continue; // made meanwhile by someone else
        failed = current;
        SetLastError(code);
        return code;
    }
    return ERROR_SUCCESS;
}

// Every missing level of a drive, UNC or relative path; the path must be a folder afterwards
// (a share that is not there is not created).
DWORD CreateAllLevels(const std::wstring& path, std::wstring& failed)
{
    size_t root = RootLength(path);
    DWORD code = CreateLevels(path.substr(0, root), path.substr(root), failed);
    if (code != ERROR_SUCCESS)
        return code;
    if (CFileSupport::IsDirectory(path))
        return ERROR_SUCCESS;
    code = GetLastError();
    if (code == ERROR_SUCCESS)
        code = ERROR_PATH_NOT_FOUND;
    failed = path;
    SetLastError(code);
    return code;
}

// Keeps the first failure of a walk in the result.
void RecordFailure(CFileSupportErrorHandle& result, CFileSupportErrorHandle::ErrorType type,
                   const std::wstring& path, const CFileSupportErrorHandle& captured)
{
    if (!result.IsSuccess())
        return;
    result = captured;
    result.SetErrorType(type);
    result.SetFilePath(path);
}

// Deletes one file, read-only or not; a file that stays keeps its attributes.
bool DeleteOneFile(const std::wstring& path, DWORD attributes)
{
    bool cleared = false;
    if (attributes & FILE_ATTRIBUTE_READONLY)
    {
        DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        cleared = SetFileAttributesW(path.c_str(),
                                     writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL) != FALSE;
    }
    if (DeleteFileW(path.c_str()))
        return true;
    DWORD code = GetLastError();
    if (cleared)
        SetFileAttributesW(path.c_str(), attributes);
    SetLastError(code);
    return false;
}

// Removes what it can below folder and then folder itself; false when anything stays.
bool RemoveTree(const std::wstring& folder, CFileSupportErrorHandle& result)
{
    std::vector<SEntry> entries;
    if (ListFolder(folder, entries) != ERROR_SUCCESS)
    {
        CFileSupportErrorHandle captured;
        captured.CaptureSystemError();
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"RemoveDirectoryEx failed when FindFirstFile. System error message:[%s]",
               captured.GetSystemErrorInfor().c_str());
        RecordFailure(result, CFileSupportErrorHandle::ERROR_TYPE_DIRECTORY, folder, captured);
        return false;
    }
    bool complete = true;
    for (const SEntry& entry : entries)
    {
        std::wstring path = CStringSupport::PathCombinePath(folder, entry.name);
        if (entry.IsFolder())
        {
            if (!RemoveTree(path, result))
                complete = false;
            continue;
        }
        if (DeleteOneFile(path, entry.attributes))
            continue;
        CFileSupportErrorHandle captured;
        captured.CaptureSystemError();
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Delete file[%s], failed when remove directory[%s]! System error message:[%s]",
               path.c_str(), folder.c_str(), captured.GetSystemErrorInfor().c_str());
        RecordFailure(result, CFileSupportErrorHandle::ERROR_TYPE_DELETE_FILE, path, captured);
        complete = false;
    }
    // A folder that still holds something is left; its own removal would only fail again.
    if (!complete)
        return false;
    if (RemoveDirectoryW(folder.c_str()))
        return true;
    CFileSupportErrorHandle captured;
    captured.CaptureSystemError();
    ADVLOG(ADVLOG_SEVERITY_ERROR, L"Remove empty directory[%s] failed! System error message:[%s]",
           folder.c_str(), captured.GetSystemErrorInfor().c_str());
    RecordFailure(result, CFileSupportErrorHandle::ERROR_TYPE_DIRECTORY, folder, captured);
    return false;
}

// Copies one file, replacing a read-only copy left by an earlier run.
bool CopyOneFile(const std::wstring& source, const std::wstring& target)
{
    if (CopyFileW(source.c_str(), target.c_str(), FALSE))
        return true;
    DWORD code = GetLastError();
    DWORD attributes = GetFileAttributesW(target.c_str());
    if (code == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
    {
        DWORD writable = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        if (SetFileAttributesW(target.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL) &&
            CopyFileW(source.c_str(), target.c_str(), FALSE))
            return true;
        code = GetLastError();
    }
    SetLastError(code);
    return false;
}

// The source is listed before anything is made at the destination, so a destination below the
// source never shows up in its own copy. On failure the path concerned is in failed.
bool CopyTree(const std::wstring& source, const std::wstring& destination, std::wstring& failed)
{
    DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    {
        if (attributes != INVALID_FILE_ATTRIBUTES)
            SetLastError(ERROR_DIRECTORY);
        failed = source;
        return false;
    }
    std::vector<SEntry> entries;
    if (ListFolder(source, entries) != ERROR_SUCCESS)
    {
        failed = source;
        return false;
    }
    if (CreateAllLevels(destination, failed) != ERROR_SUCCESS)
        return false;
    for (const SEntry& entry : entries)
    {
        std::wstring from = CStringSupport::PathCombinePath(source, entry.name);
        std::wstring to = CStringSupport::PathCombinePath(destination, entry.name);
        if (entry.IsFolder())
        {
            if (!CopyTree(from, to, failed))
                return false;
        }
        else if (!CopyOneFile(from, to))
        {
            failed = to;
            return false;
        }
    }
    return true;
}

// A path in a form two spellings of the same local path share.
std::wstring ComparablePath(const std::wstring& path)
{
    std::wstring text = CStringSupport::StringToLowerCase(CStringSupport::PathTrim(path));
    std::replace(text.begin(), text.end(), L'/', L'\\');
    return text;
}

bool CollectFiles(const std::wstring& folder, bool recursive, std::vector<std::wstring>& files)
{
    std::vector<SEntry> entries;
    DWORD code = ListFolder(folder, entries);
    if (code != ERROR_SUCCESS)
    {
        ADVLOG(ADVLOG_SEVERITY_WARNING,
               L"EnumAllFilesInFolder, FindFirstFile(%s) failed, last error is %d", folder.c_str(),
               static_cast<int>(code));
        SetLastError(code);
        return false;
    }
    for (const SEntry& entry : entries)
    {
        std::wstring path = CStringSupport::PathCombinePath(folder, entry.name);
        if (!entry.IsFolder())
            files.push_back(path);
        else if (recursive && !CollectFiles(path, true, files))
            return false;
    }
    return true;
}

} // namespace

bool CFileSupport::IsExist(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool CFileSupport::IsDirectory(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int CFileSupport::ReadFileContentIntoVector(const std::wstring& path, const wchar_t* mode,
                                            std::vector<std::wstring>& lines)
{
    lines.clear();
    const wchar_t* flag = mode != nullptr ? mode : L"r, ccs=UTF-8";
    FILE* stream = _wfopen(path.c_str(), flag);
    if (stream == nullptr)
    {
        DWORD code = GetLastError();
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"ReadFileContentIntoString, fopen return NULL. File='%s', Flag='%s'", path.c_str(),
               flag);
        SetLastError(code); // for the caller's result object
        return 0;
    }
    SetLastError(ERROR_SUCCESS);
    wchar_t piece[kReadPieceLength + 1];
    std::wstring line;
    bool open = false; // characters read since the last line feed
    while (winport::fgetws(piece, kReadPieceLength + 1, stream) != nullptr)
    {
        size_t length = wcslen(piece);
        if (length > 0 && piece[length - 1] == L'\n')
        {
            line.append(piece, length - 1);
            lines.push_back(line);
            line.clear();
            open = false;
        }
        else
        {
            line.append(piece, length);
            open = open || length > 0;
        }
    }
    // A read that breaks off is no shorter file: the caller must not take the lines for all.
    bool failed = ferror(stream) != 0;
    DWORD code = GetLastError();
    fclose(stream);
    if (failed)
    {
        lines.clear();
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"ReadFileContentIntoString, read error. File='%s', Flag='%s'", path.c_str(), flag);
        SetLastError(code != ERROR_SUCCESS ? code : ERROR_READ_FAULT);
        return 0;
    }
    if (open)
        lines.push_back(line);
    return 1;
}

CFileSupportErrorHandle CFileSupport::ReadFile(const std::wstring& path, std::wstring& text)
{
    CFileSupportErrorHandle result;
    text.clear();
    std::vector<std::wstring> lines;
    if (!ReadFileContentIntoVector(path, nullptr, lines))
    {
        result.CaptureSystemError();
        result.SetErrorType(CFileSupportErrorHandle::ERROR_TYPE_READ);
        result.SetFilePath(path);
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Read File[%s] Error! System error message:[%s]",
               path.c_str(), result.GetSystemErrorInfor().c_str());
        return result;
    }
    text = CStringSupport::VectorToString(lines, L'\n');
    return result;
}

CFileSupportErrorHandle CFileSupport::WriteToFile(const std::wstring& text,
                                                  const std::wstring& path, const wchar_t* mode)
{
    CFileSupportErrorHandle result;
    FILE* stream = _wfopen(path.c_str(), mode != nullptr ? mode : L"w, ccs=UTF-8");
    if (stream == nullptr)
    {
        result.CaptureSystemError();
        result.SetErrorType(CFileSupportErrorHandle::ERROR_TYPE_OPEN_FOR_WRITE);
        result.SetFilePath(path);
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Write File[%s] Error when open file! System error message:[%s]", path.c_str(),
               result.GetSystemErrorInfor().c_str());
        return result;
    }
    SetLastError(ERROR_SUCCESS);
    // The stream buffers: a full disk may only show when the text is flushed or closed.
    bool written = winport::fputws(text.c_str(), text.size(), stream) >= 0 && fflush(stream) == 0;
    DWORD code = GetLastError();
    if (fclose(stream) != 0 && written)
    {
        written = false;
        code = GetLastError();
    }
    if (!written)
    {
        SetLastError(code != ERROR_SUCCESS ? code : ERROR_WRITE_FAULT);
        result.CaptureSystemError();
        result.SetErrorType(CFileSupportErrorHandle::ERROR_TYPE_WRITE);
        result.SetFilePath(path);
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"Write File[%s] Error, when write file! System error message:[%s]", path.c_str(),
               result.GetSystemErrorInfor().c_str());
    }
    return result;
}

CFileSupportErrorHandle CFileSupport::CreateDirectoryW(const std::wstring& path)
{
    CFileSupportErrorHandle result;
    if (IsDirectory(path) || ::CreateDirectoryW(path.c_str(), nullptr))
        return result;
    std::wstring failed;
    if (CreateAllLevels(path, failed) != ERROR_SUCCESS)
    {
        result.CaptureSystemError();
        result.SetErrorType(CFileSupportErrorHandle::ERROR_TYPE_CREATE_DIRECTORY);
        result.SetFilePath(path);
    }
    return result;
}

bool CFileSupport::CreateDirectoryRecursively(const std::wstring& path)
{
    if (IsDirectory(path))
        return true;
    std::wstring failed;
    DWORD code = CreateAllLevels(path, failed);
    if (code == ERROR_SUCCESS)
        return true;
    ADVLOG(ADVLOG_SEVERITY_ERROR,
           L"CreateDirectoryRecursively, CreateDirectory(%s) return false, last error is %d",
           failed.c_str(), static_cast<int>(code));
    SetLastError(code);
    return false;
}

bool CFileSupport::CreateDirectoryRecursively(const std::wstring& rootPath,
                                              const std::wstring& relativePath)
{
    if (!IsDirectory(rootPath))
    {
        DWORD code = GetLastError();
        ADVLOG(ADVLOG_SEVERITY_ERROR,
               L"CreateDirectoryRecursively failed, strPathRoot (%s) doesn't exist",
               rootPath.c_str());
        SetLastError(code != ERROR_SUCCESS ? code : ERROR_DIRECTORY);
        return false;
    }
    std::wstring failed;
    DWORD code = CreateLevels(rootPath, relativePath, failed);
    if (code == ERROR_SUCCESS)
        return true;
    ADVLOG(ADVLOG_SEVERITY_ERROR,
           L"CreateDirectoryRecursively, CreateDirectory(%s) return false, last error is %d",
           failed.c_str(), static_cast<int>(code));
    SetLastError(code);
    return false;
}

CFileSupportErrorHandle CFileSupport::RemoveDirectoryEx(const std::wstring& path)
{
    CFileSupportErrorHandle result;
    RemoveTree(path, result);
    return result;
}

CFileSupportErrorHandle CFileSupport::CopyDirectory(const std::wstring& source,
                                                    const std::wstring& destination)
{
    CFileSupportErrorHandle result;
    std::wstring failed;
    bool copied;
    std::wstring from = ComparablePath(source), to = ComparablePath(destination);
    if (to == from || CStringSupport::IsStringBeginWith(to, from + L"\\"))
    {
        // A tree copied into itself would grow with its own copy.
        SetLastError(ERROR_INVALID_PARAMETER);
        failed = destination;
        copied = false;
    }
    else
        copied = CopyTree(source, destination, failed);
    if (!copied)
    {
        result.CaptureSystemError();
        result.SetErrorType(CFileSupportErrorHandle::ERROR_TYPE_COPY_DIRECTORY);
        result.SetFilePath(failed);
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"Copy directory from %s to %s failed, error code: %d",
               source.c_str(), destination.c_str(), static_cast<int>(result.GetSystemErrorCode()));
    }
    return result;
}

bool CFileSupport::EnumAllFilesInFolder(const std::wstring& folder,
                                        std::vector<std::wstring>& files)
{
    files.clear();
    if (CollectFiles(folder, false, files))
        return true;
    files.clear();
    return false;
}

bool CFileSupport::RecursivelyEnumAllFilesInFolder(const std::wstring& folder,
                                                   std::vector<std::wstring>& files)
{
    files.clear();
    if (!CollectFiles(folder, true, files))
    {
        files.clear();
        return false;
    }
    // Relative to the folder: the package copy puts each below another root.
    size_t prefix = CStringSupport::PathTrim(folder).size() + 1;
    for (std::wstring& file : files)
        file.erase(0, std::min(prefix, file.size()));
    return true;
}

bool CFileSupport::RemoveFileReadOnlyFlag(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
    {
        DWORD code = GetLastError();
        ADVLOG(ADVLOG_SEVERITY_WARNING, L"RemoveFileReadOnlyFlag(%s) failed. dwLastError is %d",
               path.c_str(), static_cast<int>(code));
        SetLastError(code);
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0)
        return true;
    DWORD wanted = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (wanted == 0)
        wanted = FILE_ATTRIBUTE_NORMAL;
    if (SetFileAttributesW(path.c_str(), wanted))
        return true;
    DWORD code = GetLastError();
    ADVLOG(ADVLOG_SEVERITY_WARNING,
           L"RemoveFileReadOnlyFlag(%s) failed. SetFileAttributes return FALSE. dwLastError is %d. "
           L"The "
           L"attribute want to set is 0x%08x",
           path.c_str(), static_cast<int>(code), static_cast<unsigned>(wanted));
    SetLastError(code);
    return false;
}

CNormalErrorHandle CFileSupport::UpdateINIFile(const std::wstring& path,
                                               const std::wstring& section, const std::wstring& key,
                                               const std::wstring& value)
{
    CNormalErrorHandle result;
    if (path.empty() || section.empty() || key.empty())
    {
        std::wstring message = CStringSupport::StringFormat(
            L"UpdateINIFile failed. The file path, section, item name for updateINIFile should not "
            L"empty:[%s, %s, %s]",
            path.c_str(), section.c_str(), key.c_str());
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", message.c_str());
        result.SetErrorMessage(message);
        return result;
    }
    if (!IsExist(path))
    {
        std::wstring message = CStringSupport::StringFormat(
            L"UpdateINIFile failed. The ini file path is not exist:[%s]", path.c_str());
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", message.c_str());
        result.SetErrorMessage(message);
        return result;
    }
    if (!WritePrivateProfileStringW(section.c_str(), key.c_str(), value.c_str(), path.c_str()))
    {
        DWORD code = GetLastError();
        std::wstring message = CStringSupport::StringFormat(
            L"Update ini file [%s,%s,%s,%s] failed, because: %d, %s", path.c_str(), section.c_str(),
            key.c_str(), value.c_str(), static_cast<int>(code),
            CStringSupport::ConvertWin32ErrorCodeToString(code).c_str());
        ADVLOG(ADVLOG_SEVERITY_ERROR, L"%s", message.c_str());
        result.SetErrorMessage(message);
        return result;
    }
    ADVLOG(ADVLOG_SEVERITY_DEBUG, L"Update ini file [%s,%s,%s,%s] successful.", path.c_str(),
           section.c_str(), key.c_str(), value.c_str());
    return result;
}

bool CFileSupport::GetFileVersion(const std::wstring& path, DWORD& mostSignificant,
                                  DWORD& leastSignificant)
{
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0)
        return false;
    std::vector<BYTE> buffer(size);
    if (!GetFileVersionInfoW(path.c_str(), handle, size, buffer.data()))
        return false;
    LPVOID value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(buffer.data(), L"\\", &value, &length) || value == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        return false;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    if (info->dwSignature != VS_FFI_SIGNATURE)
        return false;
    mostSignificant = info->dwFileVersionMS;
    leastSignificant = info->dwFileVersionLS;
    return true;
}

int CFileSupport::CompareFileVersion(const std::wstring& a, const std::wstring& b)
{
    DWORD aHigh = 0, aLow = 0, bHigh = 0, bLow = 0;
    if (!GetFileVersion(a, aHigh, aLow) || !GetFileVersion(b, bHigh, bLow))
    {
        ADVLOG(ADVLOG_SEVERITY_DEBUG,
               L"The file:[%s] or [%s] can not get file version, skip compare file version!",
               a.c_str(), b.c_str());
        return -2;
    }
    if (aHigh != bHigh)
        return aHigh > bHigh ? 1 : -1;
    if (aLow != bLow)
        return aLow > bLow ? 1 : -1;
    return 0;
}
