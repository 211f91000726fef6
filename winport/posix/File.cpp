// Linux only: CRT streams with Windows text modes (fopencookie underneath) and the first
// Win32 file functions.
#include "winport/WinFile.h"

#include "winport/WinBase.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/fleet/BeneathOpen.h"
#include "winport/posix/PosixSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <unordered_map>

namespace
{

enum class EEncoding
{
    Ansi,
    Utf8,
};

struct SStream
{
    int fd = -1;
    bool text = true;
    EEncoding encoding = EEncoding::Ansi;
    bool skipBom = false;   // a read at the start drops a UTF-8 byte-order mark
    bool pendingCr = false; // read: a CR held back until the next byte is known
    bool atEnd = false;
    std::string bomProbe;   // first bytes, until it is clear whether they are a mark
    std::string readBuffer; // text-mode bytes not yet handed to stdio
    size_t readOffset = 0;
    FILE* stream = nullptr;
};

std::mutex s_StreamLock;
std::unordered_map<FILE*, EEncoding>& Encodings()
{
    static auto* s_pMap = new std::unordered_map<FILE*, EEncoding>();
    return *s_pMap;
}

EEncoding EncodingOf(FILE* stream)
{
    std::lock_guard<std::mutex> guard(s_StreamLock);
    auto it = Encodings().find(stream);
    return it == Encodings().end() ? EEncoding::Ansi : it->second;
}

ssize_t StreamWrite(void* cookie, const char* data, size_t size)
{
    auto* s = static_cast<SStream*>(cookie);
    if (!s->text)
        return winport::posix::WriteAll(s->fd, data, size) ? static_cast<ssize_t>(size) : -1;
    std::string out;
    out.reserve(size + size / 16 + 2);
    const char* p = data;
    const char* end = data + size;
    while (p < end)
    {
        const char* lf = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (lf == nullptr)
        {
            out.append(p, end);
            break;
        }
        out.append(p, lf);
        out += "\r\n";
        p = lf + 1;
    }
    return winport::posix::WriteAll(s->fd, out.data(), out.size()) ? static_cast<ssize_t>(size)
                                                                   : -1;
}

// Reads raw bytes and turns them into text-mode bytes in s->readBuffer.
void FillReadBuffer(SStream* s)
{
    char raw[8192];
    ssize_t n;
    while ((n = read(s->fd, raw, sizeof raw)) < 0 && errno == EINTR)
    {
    }
    std::string chunk;
    if (s->pendingCr)
        chunk.push_back('\r');
    s->pendingCr = false;
    if (n <= 0)
    {
        s->atEnd = true;
        chunk.insert(0, s->bomProbe); // a file too short to hold a whole mark
        s->bomProbe.clear();
    }
    else
        chunk.append(raw, static_cast<size_t>(n));
    if (s->skipBom && !s->atEnd)
    {
        s->bomProbe += chunk;
        static const char kBom[] = "\xEF\xBB\xBF";
        if (s->bomProbe.size() < 3 && memcmp(s->bomProbe.data(), kBom, s->bomProbe.size()) == 0)
            return; // cannot tell yet
        chunk.swap(s->bomProbe);
        s->bomProbe.clear();
        if (chunk.compare(0, 3, kBom) == 0)
            chunk.erase(0, 3);
        s->skipBom = false;
    }
    if (!s->atEnd && !chunk.empty() && chunk.back() == '\r')
    {
        chunk.pop_back(); // is it CR LF? the next read tells
        s->pendingCr = true;
    }
    s->readBuffer.erase(0, s->readOffset);
    s->readOffset = 0;
    for (size_t i = 0; i < chunk.size(); ++i)
    {
        if (!(chunk[i] == '\r' && i + 1 < chunk.size() && chunk[i + 1] == '\n'))
            s->readBuffer.push_back(chunk[i]);
    }
}

ssize_t StreamRead(void* cookie, char* data, size_t size)
{
    auto* s = static_cast<SStream*>(cookie);
    if (!s->text)
    {
        ssize_t n;
        while ((n = read(s->fd, data, size)) < 0 && errno == EINTR)
        {
        }
        return n;
    }
    while (s->readOffset == s->readBuffer.size() && !s->atEnd)
        FillReadBuffer(s);
    size_t n = std::min(size, s->readBuffer.size() - s->readOffset);
    memcpy(data, s->readBuffer.data() + s->readOffset, n);
    s->readOffset += n;
    return static_cast<ssize_t>(n);
}

int StreamClose(void* cookie)
{
    auto* s = static_cast<SStream*>(cookie);
    {
        std::lock_guard<std::mutex> guard(s_StreamLock);
        Encodings().erase(s->stream);
    }
    int rc = close(s->fd);
    delete s;
    return rc;
}

int StreamSeek(void* cookie, off64_t* offset, int whence)
{
    auto* s = static_cast<SStream*>(cookie);
    if (s->text && !(*offset == 0 && (whence == SEEK_CUR || whence == SEEK_END)))
        return -1; // text positions are not byte positions
    off_t at = lseek(s->fd, *offset, whence);
    if (at < 0)
        return -1;
    *offset = at;
    return 0;
}

bool ParseMode(const wchar_t* mode, int& flags, bool& text, bool& append, EEncoding& encoding,
               std::string& stdioMode)
{
    std::wstring m = mode;
    std::wstring base = m.substr(0, m.find(L','));
    std::wstring options = m.find(L',') == std::wstring::npos ? L"" : m.substr(m.find(L',') + 1);
    while (!options.empty() && options.front() == L' ')
        options.erase(0, 1);
    while (!options.empty() && options.back() == L' ')
        options.pop_back();
    encoding = EEncoding::Ansi;
    if (m.find(L',') != std::wstring::npos)
    {
        if (_wcsicmp(options.c_str(), L"ccs=UTF-8") == 0)
            encoding = EEncoding::Utf8;
        else
            return false;
    }
    base.erase(std::remove(base.begin(), base.end(), L' '), base.end());
    if (base.empty())
        return false;
    bool plus = base.find(L'+') != std::wstring::npos;
    text = base.find(L'b') == std::wstring::npos;
    append = false;
    switch (base[0])
    {
    case L'r':
        flags = plus ? O_RDWR : O_RDONLY;
        stdioMode = plus ? "r+" : "r";
        break;
    case L'w':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        stdioMode = plus ? "w+" : "w";
        break;
    case L'a':
        flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        stdioMode = plus ? "a+" : "a";
        append = true;
        break;
    default:
        return false;
    }
    for (wchar_t c : base.substr(1))
    {
        if (c != L'+' && c != L'b' && c != L't')
            return false;
    }
    if (encoding == EEncoding::Utf8 && !text)
        return false;
    return true;
}

} // namespace

FILE* _wfopen(const wchar_t* path, const wchar_t* mode)
{
    if (path == nullptr || mode == nullptr)
    {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int flags = 0;
    bool text = true, append = false;
    EEncoding encoding = EEncoding::Ansi;
    std::string stdioMode;
    if (!ParseMode(mode, flags, text, append, encoding, stdioMode))
    {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string host;
    DWORD rc = winport::fleet::MapPath(path, host);
    if (rc != ERROR_SUCCESS)
    {
        errno = ENOENT;
        SetLastError(rc);
        return nullptr;
    }
    int fd = winport::posix::OpenOnMachine(host, flags, 0644);
    if (fd < 0)
    {
        int error = errno;
        SetLastError(winport::posix::ErrnoForPath(error, host));
        errno = error;
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
    {
        close(fd);
        errno = EISDIR;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto* s = new SStream();
    s->fd = fd;
    s->text = text;
    s->encoding = encoding;
    s->skipBom = encoding == EEncoding::Utf8;
    // A Unicode stream opened for writing on an empty file starts it with the byte-order mark.
    if (encoding == EEncoding::Utf8 && stdioMode[0] != 'r' && st.st_size == 0)
        winport::posix::WriteAll(fd, "\xEF\xBB\xBF", 3);
    cookie_io_functions_t functions = {StreamRead, StreamWrite, StreamSeek, StreamClose};
    FILE* stream = fopencookie(s, stdioMode.c_str(), functions);
    if (stream == nullptr)
    {
        close(fd);
        delete s;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    s->stream = stream;
    std::lock_guard<std::mutex> guard(s_StreamLock);
    Encodings()[stream] = encoding;
    return stream;
}

namespace winport
{

int fputws(const wchar_t* text, size_t length, FILE* stream)
{
    if (text == nullptr || stream == nullptr)
        return -1;
    // Encoded into a buffer the thread keeps, so that a warm line allocates nothing.
    thread_local std::string t_Bytes;
    std::string& bytes = t_Bytes;
    bytes.clear();
    if (EncodingOf(stream) == EEncoding::Utf8)
        AppendUtf8(bytes, text, length);
    else if (length > 0)
    {
        int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                    nullptr);
        bytes.resize(static_cast<size_t>(n));
        WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), bytes.data(), n, nullptr,
                            nullptr);
    }
    return fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size() ? 0 : -1;
}

int fputws(const wchar_t* text, FILE* stream)
{
    return text == nullptr ? -1 : fputws(text, wcslen(text), stream);
}

wchar_t* fgetws(wchar_t* buffer, int count, FILE* stream)
{
    if (buffer == nullptr || count <= 0 || stream == nullptr)
        return nullptr;
    bool utf8 = EncodingOf(stream) == EEncoding::Utf8;
    int kept = 0;
    flockfile(stream);
    while (kept < count - 1)
    {
        int c = getc_unlocked(stream);
        if (c == EOF)
            break;
        wchar_t w;
        if (!utf8 || c < 0x80)
        {
            char byte = static_cast<char>(c);
            if (utf8 || c < 0x80)
                w = static_cast<wchar_t>(c);
            else
                MultiByteToWideChar(CP_ACP, 0, &byte, 1, &w, 1);
        }
        else
        {
            // Gather one UTF-8 sequence; a broken one becomes U+FFFD.
            unsigned need = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
            std::string seq(1, static_cast<char>(c));
            for (unsigned k = 0; k < need; ++k)
            {
                int d = getc_unlocked(stream);
                if (d == EOF)
                    break;
                if ((d & 0xC0) != 0x80)
                {
                    ungetc(d, stream);
                    break;
                }
                seq.push_back(static_cast<char>(d));
            }
            std::wstring decoded = FromUtf8(seq);
            w = decoded.empty() ? static_cast<wchar_t>(0xFFFD) : decoded[0];
        }
        buffer[kept++] = w;
        if (w == L'\n')
            break;
    }
    funlockfile(stream);
    buffer[kept] = L'\0';
    return kept == 0 ? nullptr : buffer;
}

} // namespace winport

using winport::posix::MapForCall;

namespace
{
BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

BOOL FailErrno(const std::string& host)
{
    SetLastError(winport::posix::ErrnoForPath(errno, host));
    return FALSE;
}

// The folder holding a path's last component, opened so that it stays on its drive, and the
// component's name; -1 with the code in GetLastError on failure.
int OpenParent(const std::string& host, std::string& name)
{
    int fd = winport::posix::OpenParentOnMachine(host, name);
    if (fd < 0)
        FailErrno(host);
    return fd;
}
} // namespace

BOOL DeleteFileW(LPCWSTR path)
{
    winport::posix::SDriveEntry entry;
    if (winport::posix::MapEntryOnDrive(path, entry))
    {
        if (!entry.exists)
            return Fail(ERROR_FILE_NOT_FOUND);
    }
    else
    {
        if (!MapForCall(path, entry.host))
            return FALSE;
        entry.folder.Reset(OpenParent(entry.host, entry.name));
        if (entry.folder.Get() < 0)
            return FALSE;
        entry.exists =
            fstatat(entry.folder.Get(), entry.name.c_str(), &entry.st, AT_SYMLINK_NOFOLLOW) == 0;
    }
    const struct stat& st = entry.st;
    // Folders and read-only files are not deleted; nor is a module a process has loaded.
    if (entry.exists &&
        (S_ISDIR(st.st_mode) ||
         (S_ISREG(st.st_mode) && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)))
        return Fail(ERROR_ACCESS_DENIED);
    if (winport::posix::IsLoadedModuleAt(entry.folder.Get(), entry.name.c_str(),
                                         entry.exists ? &st : nullptr))
        return Fail(ERROR_SHARING_VIOLATION);
    return unlinkat(entry.folder.Get(), entry.name.c_str(), 0) == 0 ? TRUE : FailErrno(entry.host);
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    std::string host, name;
    if (!MapForCall(path, host))
        return FALSE;
    winport::posix::CFd parent(OpenParent(host, name));
    if (parent.Get() < 0)
    {
        if (GetLastError() == ERROR_FILE_NOT_FOUND)
            SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (mkdirat(parent.Get(), name.c_str(), 0755) == 0)
        return TRUE;
    if (errno == ENOENT)
    {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return FailErrno(host);
}

BOOL RemoveDirectoryW(LPCWSTR path)
{
    std::string host, name;
    if (!MapForCall(path, host))
        return FALSE;
    winport::posix::CFd parent(OpenParent(host, name));
    if (parent.Get() < 0)
        return FALSE;
    struct stat st;
    if (fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode))
    {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    return unlinkat(parent.Get(), name.c_str(), AT_REMOVEDIR) == 0 ? TRUE : FailErrno(host);
}

DWORD GetFileAttributesW(LPCWSTR path)
{
    winport::posix::SDriveEntry entry;
    struct stat& st = entry.st;
    if (winport::posix::MapEntryOnDrive(path, entry))
    {
        if (!entry.exists)
        {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_FILE_ATTRIBUTES;
        }
    }
    else
    {
        if (!MapForCall(path, entry.host))
            return INVALID_FILE_ATTRIBUTES;
        winport::posix::CFd fd(winport::posix::OpenOnMachine(entry.host, O_PATH));
        if (fd.Get() < 0 || fstat(fd.Get(), &st) != 0)
        {
            FailErrno(entry.host);
            return INVALID_FILE_ATTRIBUTES;
        }
    }
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    DWORD attributes = FILE_ATTRIBUTE_ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}
