// Version resources: finding the VS_VERSIONINFO block of a PE or ELF image, and queries on the
// buffer handed out. Pure logic on bytes, the same on every platform; every offset read from a
// file is checked against what the source holds before use.
#include "winport/WinVersion.h"

#include "winport/WinBase.h"
#include "winport/WinString.h"

#include <algorithm>
#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "image fields are read in place");

namespace winport::version
{
namespace
{

uint16_t Get16(const BYTE* p)
{
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint32_t Get32(const BYTE* p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

uint64_t Get64(const BYTE* p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

size_t Align4(size_t n)
{
    return (n + 3) & ~size_t(3);
}

class CMemorySource : public IByteSource
{
public:
    CMemorySource(const void* data, size_t size)
        : m_pData(static_cast<const BYTE*>(data)), m_Size(size)
    {
    }
    uint64_t Size() const override { return m_Size; }
    bool Read(uint64_t offset, void* out, size_t size) const override
    {
        if (offset > m_Size || size > m_Size - offset)
            return false;
        if (size > 0)
            memcpy(out, m_pData + offset, size);
        return true;
    }

private:
    const BYTE* m_pData;
    size_t m_Size;
};

bool ReadBytes(const IByteSource& source, uint64_t offset, size_t size, std::vector<BYTE>& out)
{
    if (offset > source.Size() || size > source.Size() - offset)
        return false; // before allocating: a damaged count must not cost memory
    out.resize(size);
    return source.Read(offset, out.data(), size);
}

// ---- PE images ----

constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kSubdirectory = 0x80000000u;

struct SSection
{
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

class CPeImage
{
public:
    explicit CPeImage(const IByteSource& source) : m_Source(source) {}

    DWORD Open()
    {
        BYTE dos[64];
        if (!m_Source.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z')
            return ERROR_BAD_EXE_FORMAT;
        uint64_t pe = Get32(dos + 0x3C);
        BYTE headers[24];
        if (!m_Source.Read(pe, headers, sizeof headers) || memcmp(headers, "PE\0\0", 4) != 0)
            return ERROR_BAD_EXE_FORMAT;
        uint16_t sectionCount = Get16(headers + 6);
        uint16_t optionalSize = Get16(headers + 20);
        uint64_t optional = pe + sizeof headers;
        std::vector<BYTE> opt;
        if (optionalSize < 2 || !ReadBytes(m_Source, optional, optionalSize, opt))
            return ERROR_BAD_EXE_FORMAT;
        size_t countAt, directoriesAt;
        switch (Get16(opt.data()))
        {
        case 0x10B: // 32-bit
            countAt = 92;
            directoriesAt = 96;
            break;
        case 0x20B: // 64-bit
            countAt = 108;
            directoriesAt = 112;
            break;
        default:
            return ERROR_BAD_EXE_FORMAT;
        }
        if (opt.size() < directoriesAt)
            return ERROR_BAD_EXE_FORMAT;
        std::vector<BYTE> table;
        if (!ReadBytes(m_Source, optional + optionalSize, size_t(sectionCount) * 40, table))
            return ERROR_BAD_EXE_FORMAT;
        for (size_t i = 0; i < sectionCount; ++i)
        {
            const BYTE* s = table.data() + i * 40;
            m_Sections.push_back({Get32(s + 12), Get32(s + 8), Get32(s + 16), Get32(s + 20)});
        }
        // The resource directory is the third data directory.
        const size_t resourceAt = directoriesAt + 2 * 8;
        if (Get32(opt.data() + countAt) < 3 || opt.size() < resourceAt + 8)
            return ERROR_RESOURCE_DATA_NOT_FOUND;
        m_ResourceRva = Get32(opt.data() + resourceAt);
        if (m_ResourceRva == 0 || Get32(opt.data() + resourceAt + 4) == 0)
            return ERROR_RESOURCE_DATA_NOT_FOUND;
        return ERROR_SUCCESS;
    }

    // Reads size bytes at an address of the loaded image, from the file bytes of its section.
    bool ReadRva(uint64_t rva, void* out, size_t size) const
    {
        for (const SSection& s : m_Sections)
        {
            uint64_t extent = std::max(s.virtualSize, s.rawSize);
            if (rva < s.virtualAddress || rva - s.virtualAddress >= extent)
                continue;
            uint64_t delta = rva - s.virtualAddress;
            if (size > s.rawSize || delta > s.rawSize - size)
                return false;
            return m_Source.Read(uint64_t(s.rawOffset) + delta, out, size);
        }
        return false;
    }

    DWORD FindVersion(std::vector<BYTE>& block) const
    {
        // Three fixed levels (type, name, language): a directory pointing back at an upper one
        // is met at most once, and fails on the kind of entry it holds.
        SDirectory types;
        if (!ReadDirectory(0, types))
            return ERROR_BAD_EXE_FORMAT;
        const SEntry* version = nullptr;
        for (size_t i = types.named; i < types.entries.size() && version == nullptr; ++i)
        {
            if (types.entries[i].name == kRtVersion)
                version = &types.entries[i];
        }
        if (version == nullptr)
            return ERROR_RESOURCE_TYPE_NOT_FOUND;
        SDirectory names, languages;
        if ((version->data & kSubdirectory) == 0 ||
            !ReadDirectory(version->data & ~kSubdirectory, names))
            return ERROR_BAD_EXE_FORMAT;
        if (names.entries.empty())
            return ERROR_RESOURCE_NAME_NOT_FOUND;
        const SEntry& name = names.entries.front();
        if ((name.data & kSubdirectory) == 0 ||
            !ReadDirectory(name.data & ~kSubdirectory, languages))
            return ERROR_BAD_EXE_FORMAT;
        if (languages.entries.empty())
            return ERROR_RESOURCE_LANG_NOT_FOUND;
        const SEntry& language = languages.entries.front();
        BYTE entry[16];
        if ((language.data & kSubdirectory) != 0 ||
            !ReadRva(uint64_t(m_ResourceRva) + language.data, entry, sizeof entry))
            return ERROR_BAD_EXE_FORMAT;
        uint32_t dataRva = Get32(entry);
        uint32_t dataSize = Get32(entry + 4);
        BYTE head[2];
        if (dataSize < 6 || !ReadRva(dataRva, head, sizeof head))
            return ERROR_BAD_EXE_FORMAT;
        uint16_t length = Get16(head);
        if (length < 6 || length > dataSize)
            return ERROR_BAD_EXE_FORMAT;
        block.resize(length);
        if (!ReadRva(dataRva, block.data(), length))
            return ERROR_BAD_EXE_FORMAT;
        return ERROR_SUCCESS;
    }

private:
    struct SEntry
    {
        uint32_t name;
        uint32_t data;
    };
    struct SDirectory
    {
        size_t named = 0; // named entries come first, then those with an id
        std::vector<SEntry> entries;
    };

    bool ReadDirectory(uint32_t offset, SDirectory& directory) const
    {
        uint64_t at = uint64_t(m_ResourceRva) + offset;
        BYTE head[16];
        if (!ReadRva(at, head, sizeof head))
            return false;
        directory.named = Get16(head + 12);
        size_t count = directory.named + Get16(head + 14);
        std::vector<BYTE> raw(count * 8);
        if (count > 0 && !ReadRva(at + sizeof head, raw.data(), raw.size()))
            return false;
        for (size_t i = 0; i < count; ++i)
            directory.entries.push_back({Get32(raw.data() + i * 8), Get32(raw.data() + i * 8 + 4)});
        return true;
    }

    const IByteSource& m_Source;
    std::vector<SSection> m_Sections;
    uint32_t m_ResourceRva = 0;
};

// ---- ELF images ----

constexpr uint32_t kShtNote = 7;
constexpr uint32_t kPtNote = 4;
constexpr uint32_t kFleetVersionNote = 1;
constexpr uint64_t kMaxNoteArea = 1 << 20; // our note sits among a few small ones

enum class EScan
{
    Found,
    Absent,
    Damaged,
};

EScan ScanNotes(const IByteSource& source, uint64_t offset, uint64_t size, uint64_t alignment,
                std::vector<BYTE>& block)
{
    std::vector<BYTE> notes;
    if (!ReadBytes(source, offset, size_t(std::min(size, kMaxNoteArea)), notes))
        return EScan::Damaged;
    const uint64_t pad = alignment == 8 ? 8 : 4;
    auto align = [pad](uint64_t n) { return (n + pad - 1) & ~(pad - 1); };
    uint64_t pos = 0;
    while (pos + 12 <= notes.size())
    {
        uint32_t nameSize = Get32(notes.data() + pos);
        uint32_t descSize = Get32(notes.data() + pos + 4);
        uint32_t type = Get32(notes.data() + pos + 8);
        uint64_t name = pos + 12;
        uint64_t desc = align(name + nameSize);
        if (desc + descSize > notes.size())
            return EScan::Damaged;
        if (type == kFleetVersionNote && nameSize == 6 &&
            memcmp(notes.data() + name, "FLEET", 6) == 0 && descSize >= 4)
        {
            const BYTE* d = notes.data() + desc;
            DWORD fileType = Get32(d);
            const char* text = reinterpret_cast<const char*>(d + 4);
            size_t length = strnlen(text, descSize - 4);
            std::wstring version;
            for (size_t i = 0; i < length; ++i)
                version += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
            block = MakeVersionBlock(version, fileType);
            return EScan::Found;
        }
        pos = align(desc + descSize);
    }
    return EScan::Absent;
}

DWORD FindElfVersion(const IByteSource& source, std::vector<BYTE>& block)
{
    BYTE header[64];
    if (!source.Read(0, header, sizeof header) || header[4] != 2 /* 64-bit */ ||
        header[5] != 1 /* little-endian */)
        return ERROR_BAD_EXE_FORMAT;
    bool damaged = false;
    // Section headers first; the program headers still hold the notes of a stripped file.
    struct STable
    {
        uint64_t offset;
        uint16_t entrySize, count, minimumSize;
        uint32_t noteType;
        size_t typeAt, offsetAt, sizeAt, alignAt;
    };
    const STable tables[] = {
        {Get64(header + 0x28), Get16(header + 0x3A), Get16(header + 0x3C), 64, kShtNote, 4, 24, 32,
         48},
        {Get64(header + 0x20), Get16(header + 0x36), Get16(header + 0x38), 56, kPtNote, 0, 8, 32,
         48},
    };
    for (const STable& t : tables)
    {
        if (t.count == 0 || t.offset == 0)
            continue;
        std::vector<BYTE> raw;
        if (t.entrySize < t.minimumSize ||
            !ReadBytes(source, t.offset, size_t(t.count) * t.entrySize, raw))
        {
            damaged = true;
            continue;
        }
        for (size_t i = 0; i < t.count; ++i)
        {
            const BYTE* e = raw.data() + i * t.entrySize;
            if (Get32(e + t.typeAt) != t.noteType)
                continue;
            EScan scan = ScanNotes(source, Get64(e + t.offsetAt), Get64(e + t.sizeAt),
                                   Get64(e + t.alignAt), block);
            if (scan == EScan::Found)
                return ERROR_SUCCESS;
            damaged = damaged || scan == EScan::Damaged;
        }
    }
    return damaged ? ERROR_BAD_EXE_FORMAT : ERROR_RESOURCE_DATA_NOT_FOUND;
}

// ---- VS_VERSIONINFO blocks ----

// One node of a block: WORD wLength, wValueLength, wType; the key; its value; its children.
struct SNode
{
    size_t start = 0, end = 0;
    uint16_t valueLength = 0, type = 0;
    std::u16string key;
    size_t valueStart = 0, valueBytes = 0, childrenStart = 0;
};

// Parses the node at start, which must end by limit (offsets from the start of the block,
// which is 4-byte aligned as all alignment inside it is).
bool ParseNode(const BYTE* base, size_t limit, size_t start, SNode& node)
{
    if (start > limit || limit - start < 6)
        return false;
    uint16_t length = Get16(base + start);
    if (length < 6 || length > limit - start)
        return false;
    node.start = start;
    node.end = start + length;
    node.valueLength = Get16(base + start + 2);
    node.type = Get16(base + start + 4);
    node.key.clear();
    size_t pos = start + 6;
    bool terminated = false;
    while (pos + 2 <= node.end)
    {
        char16_t unit = static_cast<char16_t>(Get16(base + pos));
        pos += 2;
        if (unit == 0)
        {
            terminated = true;
            break;
        }
        node.key += unit;
    }
    if (!terminated)
        return false;
    node.valueStart = std::min(Align4(pos), node.end);
    size_t bytes = node.type == 1 ? size_t(node.valueLength) * 2 : node.valueLength;
    node.valueBytes = std::min(bytes, node.end - node.valueStart);
    node.childrenStart = std::min(Align4(node.valueStart + node.valueBytes), node.end);
    return true;
}

// Calls visit for each child of node that parses; stops at the first that does not.
template <typename F> void ForEachChild(const BYTE* base, const SNode& node, F&& visit)
{
    size_t pos = node.childrenStart;
    SNode child;
    while (pos < node.end && ParseNode(base, node.end, pos, child))
    {
        if (!visit(child))
            return;
        pos = Align4(child.end);
    }
}

std::wstring ValueText(const BYTE* base, const SNode& node)
{
    std::u16string units;
    for (size_t i = 0; i + 2 <= node.valueBytes; i += 2)
    {
        char16_t unit = static_cast<char16_t>(Get16(base + node.valueStart + i));
        if (unit == 0)
            break;
        units += unit;
    }
    return FromUtf16(units.data(), units.size());
}

void CollectTexts(const BYTE* base, const SNode& node, int depth, std::vector<BYTE>& out,
                  DWORD& count)
{
    if (depth > 0 && node.type == 1)
    {
        std::wstring text = ValueText(base, node);
        DWORD header[2] = {static_cast<DWORD>(node.start), static_cast<DWORD>(text.size() + 1)};
        const BYTE* h = reinterpret_cast<const BYTE*>(header);
        out.insert(out.end(), h, h + sizeof header);
        const BYTE* t = reinterpret_cast<const BYTE*>(text.c_str());
        out.insert(out.end(), t, t + (text.size() + 1) * sizeof(wchar_t));
        ++count;
    }
    if (depth >= 8)
        return;
    ForEachChild(base, node,
                 [&](const SNode& child)
                 {
                     CollectTexts(base, child, depth + 1, out, count);
                     return true;
                 });
}

class CBlockWriter
{
public:
    size_t Begin(const char16_t* key, uint16_t type, const void* value, size_t valueBytes,
                 uint16_t valueLength)
    {
        m_Out.resize(Align4(m_Out.size()));
        size_t start = m_Out.size();
        Put16(0);
        Put16(valueLength);
        Put16(type);
        for (const char16_t* k = key; *k != 0; ++k)
            Put16(*k);
        Put16(0);
        m_Out.resize(Align4(m_Out.size()));
        const BYTE* v = static_cast<const BYTE*>(value);
        m_Out.insert(m_Out.end(), v, v + valueBytes);
        return start;
    }
    void Text(const char16_t* key, const std::wstring& value)
    {
        std::u16string units = ToUtf16(value);
        units += u'\0';
        End(Begin(key, 1, units.data(), units.size() * 2, static_cast<uint16_t>(units.size())));
    }
    void End(size_t start)
    {
        uint16_t length = static_cast<uint16_t>(m_Out.size() - start);
        memcpy(m_Out.data() + start, &length, sizeof length);
    }
    std::vector<BYTE> Take() { return std::move(m_Out); }

private:
    void Put16(uint16_t v)
    {
        m_Out.push_back(static_cast<BYTE>(v & 0xFF));
        m_Out.push_back(static_cast<BYTE>(v >> 8));
    }

    std::vector<BYTE> m_Out;
};

} // namespace

DWORD FindVersionBlock(const IByteSource& source, std::vector<BYTE>& block)
{
    block.clear();
    BYTE magic[4];
    if (!source.Read(0, magic, sizeof magic))
        return ERROR_BAD_EXE_FORMAT;
    if (memcmp(magic,
               "\x7F"
               "ELF",
               4) == 0)
        return FindElfVersion(source, block);
    CPeImage image(source);
    DWORD rc = image.Open();
    if (rc == ERROR_SUCCESS)
        rc = image.FindVersion(block);
    if (rc != ERROR_SUCCESS)
        block.clear();
    return rc;
}

DWORD FindVersionBlock(const void* data, size_t size, std::vector<BYTE>& block)
{
    return FindVersionBlock(CMemorySource(data, size), block);
}

std::vector<BYTE> BuildVersionBuffer(const std::vector<BYTE>& block)
{
    std::vector<BYTE> out = block;
    out.resize(Align4(out.size()));
    DWORD header[2] = {kVersionTextMagic, 0};
    size_t headerAt = out.size();
    out.resize(out.size() + sizeof header);
    SNode root;
    if (ParseNode(block.data(), block.size(), 0, root))
        CollectTexts(block.data(), root, 0, out, header[1]);
    memcpy(out.data() + headerAt, header, sizeof header);
    return out;
}

std::vector<BYTE> MakeVersionBlock(const std::wstring& version, DWORD fileType)
{
    DWORD parts[4] = {0, 0, 0, 0};
    size_t part = 0;
    for (wchar_t c : version)
    {
        if (c == L'.')
        {
            if (++part == 4)
                break;
        }
        else if (c >= L'0' && c <= L'9')
            parts[part] = std::min<DWORD>(parts[part] * 10 + DWORD(c - L'0'), 0xFFFF);
    }
    VS_FIXEDFILEINFO fixed = {};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = parts[0] << 16 | parts[1];
    fixed.dwFileVersionLS = parts[2] << 16 | parts[3];
    fixed.dwProductVersionMS = fixed.dwFileVersionMS;
    fixed.dwProductVersionLS = fixed.dwFileVersionLS;
    fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = fileType;

    CBlockWriter w;
    size_t root = w.Begin(u"VS_VERSION_INFO", 0, &fixed, sizeof fixed, sizeof fixed);
    size_t strings = w.Begin(u"StringFileInfo", 1, nullptr, 0, 0);
    size_t table = w.Begin(u"040904B0", 1, nullptr, 0, 0);
    w.Text(u"FileVersion", version);
    w.Text(u"ProductVersion", version);
    w.End(table);
    w.End(strings);
    size_t vars = w.Begin(u"VarFileInfo", 1, nullptr, 0, 0);
    const WORD translation[2] = {0x0409, 0x04B0};
    w.End(w.Begin(u"Translation", 0, translation, sizeof translation, sizeof translation));
    w.End(vars);
    w.End(root);
    return w.Take();
}

} // namespace winport::version

using winport::version::SNode;

BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length)
{
    if (block == nullptr || subBlock == nullptr || buffer == nullptr || length == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    using namespace winport::version;
    const BYTE* base = static_cast<const BYTE*>(block);
    const size_t size = Get16(base);
    SNode node;
    if (!ParseNode(base, size, 0, node))
    {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    bool isRoot = true;
    std::wstring path = subBlock;
    for (size_t i = 0; i <= path.size();)
    {
        size_t end = std::min(path.find(L'\\', i), path.size());
        std::wstring name = path.substr(i, end - i);
        i = end + 1;
        if (name.empty())
            continue;
        bool found = false;
        ForEachChild(
            base, node,
            [&](const SNode& child)
            {
                if (_wcsicmp(winport::FromUtf16(child.key.data(), child.key.size()).c_str(),
                             name.c_str()) != 0)
                    return true;
                node = child;
                found = true;
                return false;
            });
        if (!found)
        {
            SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
            return FALSE;
        }
        isRoot = false;
    }
    if (isRoot || node.type != 1)
    {
        *buffer = const_cast<BYTE*>(base + node.valueStart);
        *length = static_cast<UINT>(node.valueBytes);
        return TRUE;
    }
    // Text: the converted copy kept after the block.
    const BYTE* table = base + Align4(size);
    if (Get32(table) == kVersionTextMagic)
    {
        DWORD count = Get32(table + 4);
        const BYTE* entry = table + 8;
        for (DWORD n = 0; n < count; ++n)
        {
            DWORD chars = Get32(entry + 4);
            if (Get32(entry) == node.start)
            {
                *buffer = const_cast<BYTE*>(entry + 8);
                *length = node.valueLength == 0 ? 0 : chars;
                return TRUE;
            }
            entry += 8 + size_t(chars) * sizeof(wchar_t);
        }
    }
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
}
