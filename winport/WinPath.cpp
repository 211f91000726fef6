// Parsing and normalising Windows paths and names. Pure logic, the same on every platform.
#include "winport/WinMachine.h"

#include "winport/WinString.h"

#include <cstring>

namespace winport::fleet
{
namespace
{

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsInvalidNameCharacter(wchar_t c)
{
    return (c >= 0 && c < 32) || c == L'<' || c == L'>' || c == L':' || c == L'"' ||
           c == L'|' || c == L'?' || c == L'*';
}

// Splits the rest of a path into components and applies them to parts, as Win32 does.
DWORD Apply(const std::wstring& rest, size_t from, std::vector<std::wstring>& parts, bool literal)
{
    size_t i = from;
    while (i <= rest.size())
    {
        size_t end = i;
        while (end < rest.size() && !IsSeparator(rest[end]))
            ++end;
        std::wstring part = rest.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == L".")
            continue;
        if (part == L"..")
        {
            if (!parts.empty())
                parts.pop_back();
            continue;
        }
        if (!literal)
        {
            // Win32 drops trailing dots and blanks of a name.
            while (!part.empty() && (part.back() == L'.' || part.back() == L' '))
                part.pop_back();
            if (part.empty())
                continue;
        }
        for (wchar_t c : part)
        {
            if (IsInvalidNameCharacter(c))
                return ERROR_INVALID_NAME;
        }
        if (part.size() > 255)
            return ERROR_FILENAME_EXCED_RANGE;
        parts.push_back(std::move(part));
    }
    return ERROR_SUCCESS;
}

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

} // namespace

wchar_t FoldCharacter(wchar_t c)
{
    if (c >= L'a' && c <= L'z')
        return static_cast<wchar_t>(c - 32);
    // Latin-1 letters, as the file system's upper-case table has them.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<wchar_t>(c - 32);
    return c;
}

std::wstring FoldName(std::wstring name)
{
    for (wchar_t& c : name)
        c = FoldCharacter(c);
    return name;
}

bool NamesEqual(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (FoldCharacter(a[i]) != FoldCharacter(b[i]))
            return false;
    }
    return true;
}

std::string ToStoredString(const std::wstring& text)
{
    std::u16string units = ToUtf16(text);
    units.push_back(u'\0');
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * 2);
}

std::wstring FromStoredString(const std::string& bytes)
{
    std::u16string units(bytes.size() / 2, u'\0');
    memcpy(units.data(), bytes.data(), units.size() * 2);
    while (!units.empty() && units.back() == u'\0')
        units.pop_back();
    return FromUtf16(units.data(), units.size());
}

void SplitAccountName(const std::wstring& full, std::wstring& domain, std::wstring& name)
{
    size_t slash = full.find(L'\\');
    if (slash == std::wstring::npos)
    {
        domain.clear();
        name = full;
        return;
    }
    domain = full.substr(0, slash);
    name = full.substr(slash + 1);
    if (domain == L".")
        domain.clear();
}

DWORD ParseWindowsPath(const std::wstring& path, const std::wstring& currentDirectory,
                       SParsedPath& parsed)
{
    parsed = SParsedPath{};
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    if (path.find(L'\0') != std::wstring::npos)
        return ERROR_INVALID_NAME;

    auto parseUnc = [&](size_t from, bool literal) -> DWORD {
        // server\share\rest
        size_t serverEnd = from;
        while (serverEnd < path.size() && !IsSeparator(path[serverEnd]))
            ++serverEnd;
        size_t shareStart = serverEnd + 1;
        size_t shareEnd = shareStart;
        while (shareEnd < path.size() && !IsSeparator(path[shareEnd]))
            ++shareEnd;
        if (serverEnd == from || shareStart >= path.size() || shareEnd == shareStart)
            return ERROR_BAD_PATHNAME;
        parsed.kind = SParsedPath::EKind::Unc;
        parsed.server = path.substr(from, serverEnd - from);
        parsed.share = path.substr(shareStart, shareEnd - shareStart);
        if (parsed.server == L"." || parsed.server == L".." || parsed.share == L"." ||
            parsed.share == L"..")
            return ERROR_BAD_PATHNAME;
        for (wchar_t c : parsed.server + parsed.share)
        {
            if (IsInvalidNameCharacter(c))
                return ERROR_BAD_PATHNAME;
        }
        return Apply(path, shareEnd + 1, parsed.components, literal);
    };

    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
        (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]))
    {
        // \\?\ and \\.\ forms.
        std::wstring rest = path.substr(4);
        if (rest.size() >= 4 && NamesEqual(rest.substr(0, 3), L"UNC") && IsSeparator(rest[3]))
            return parseUnc(8, true);
        if (rest.size() >= 2 && IsDriveLetter(rest[0]) && rest[1] == L':' &&
            (rest.size() == 2 || IsSeparator(rest[2])))
        {
            parsed.kind = SParsedPath::EKind::Drive;
            parsed.drive = FoldCharacter(rest[0]);
            return Apply(path, 6, parsed.components, true);
        }
        return ERROR_BAD_PATHNAME;
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]))
        return parseUnc(2, false);

    if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':')
    {
        parsed.kind = SParsedPath::EKind::Drive;
        parsed.drive = FoldCharacter(path[0]);
        if (path.size() == 2 || !IsSeparator(path[2]))
        {
            // Drive-relative ("C:name", or "C:" alone): relative to the current folder when it
            // is on that drive, else to the drive's root.
            SParsedPath current;
            if (ParseWindowsPath(currentDirectory, L"", current) == ERROR_SUCCESS &&
                current.kind == SParsedPath::EKind::Drive && current.drive == parsed.drive)
                parsed.components = current.components;
        }
        return Apply(path, 2, parsed.components, false);
    }

    // Rooted ("\name") or relative ("name"): take the current folder.
    if (currentDirectory.empty())
        return ERROR_PATH_NOT_FOUND;
    SParsedPath current;
    DWORD rc = ParseWindowsPath(currentDirectory, L"", current);
    if (rc != ERROR_SUCCESS)
        return rc;
    parsed = current;
    if (IsSeparator(path[0]))
        parsed.components.clear();
    return Apply(path, 0, parsed.components, false);
}

} // namespace winport::fleet
