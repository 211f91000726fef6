// File version resources: PE files linked from version/*.rc, our own ELF outputs, and damaged
// copies of both.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"
#include "winport/WinVersion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using Bytes = std::vector<BYTE>;

#ifdef FLEET_TEST_PE_FOLDER
#define REQUIRE_PE_FILES()
std::string PeHostPath(const char* name)
{
    return std::string(FLEET_TEST_PE_FOLDER) + "/" + name;
}
#else
#define REQUIRE_PE_FILES() GTEST_SKIP() << "mingw-w64 binutils were missing at configure time"
std::string PeHostPath(const char* name)
{
    return name;
}
#endif

std::string ToBytes(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}
Bytes FromBytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// The whole buffer GetFileVersionInfoW gives for a file, empty on failure (error in *error).
Bytes Load(const std::wstring& path, DWORD* error = nullptr)
{
    DWORD handle = 77;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    DWORD code = GetLastError();
    EXPECT_EQ(handle, 0u);
    if (error != nullptr)
        *error = size == 0 ? code : ERROR_SUCCESS;
    if (size == 0)
        return {};
    Bytes data(size);
    EXPECT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, data.data())) << GetLastError();
    return data;
}

DWORD LoadError(const std::wstring& path)
{
    DWORD error = 0;
    EXPECT_TRUE(Load(path, &error).empty()) << "a version for " << winport::ToUtf8(path);
    BYTE data[64];
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoW(path.c_str(), 0, sizeof data, data));
    EXPECT_EQ(GetLastError(), error);
    return error;
}

const VS_FIXEDFILEINFO& Fixed(const Bytes& data)
{
    static VS_FIXEDFILEINFO s_None = {};
    LPVOID p = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", &p, &length) || length != sizeof(VS_FIXEDFILEINFO))
    {
        ADD_FAILURE() << "no VS_FIXEDFILEINFO";
        return s_None;
    }
    return *static_cast<const VS_FIXEDFILEINFO*>(p);
}

// A text value; "<none>" when the block is missing. Checks the reported length (terminator
// included).
std::wstring Text(const Bytes& data, const std::wstring& subBlock)
{
    LPVOID p = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), subBlock.c_str(), &p, &length))
        return L"<none>";
    std::wstring text = static_cast<const wchar_t*>(p);
    EXPECT_EQ(length, text.size() + 1) << winport::ToUtf8(subBlock);
    return text;
}

std::vector<WORD> Translation(const Bytes& data)
{
    LPVOID p = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &p, &length))
        return {};
    std::vector<WORD> words(length / 2);
    memcpy(words.data(), p, words.size() * 2);
    return words;
}

// The file offset of a PE section, read the plain way (the fixtures are well formed).
size_t SectionOffset(const Bytes& pe, const char* name)
{
    uint32_t header, raw;
    uint16_t count, optionalSize;
    memcpy(&header, pe.data() + 0x3C, 4);
    memcpy(&count, pe.data() + header + 6, 2);
    memcpy(&optionalSize, pe.data() + header + 20, 2);
    for (size_t i = 0; i < count; ++i)
    {
        const BYTE* s = pe.data() + header + 24 + optionalSize + i * 40;
        if (strncmp(reinterpret_cast<const char*>(s), name, 8) == 0)
        {
            memcpy(&raw, s + 20, 4);
            return raw;
        }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}

void Put32(Bytes& b, size_t at, uint32_t v)
{
    memcpy(b.data() + at, &v, 4);
}

// Parses a copy of exactly the given bytes, so that any read past them is caught.
DWORD Parse(const Bytes& image, size_t size, Bytes& block)
{
    Bytes copy(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(size));
    return winport::version::FindVersionBlock(copy.data(), copy.size(), block);
}

bool IsCleanFailure(DWORD rc)
{
    return rc == ERROR_BAD_EXE_FORMAT || rc == ERROR_RESOURCE_DATA_NOT_FOUND ||
           rc == ERROR_RESOURCE_TYPE_NOT_FOUND || rc == ERROR_RESOURCE_NAME_NOT_FOUND ||
           rc == ERROR_RESOURCE_LANG_NOT_FOUND;
}

// Every query a caller may make on a buffer built from a (possibly damaged) block.
void QueryEverything(const Bytes& block)
{
    Bytes data = winport::version::BuildVersionBuffer(block);
    for (const wchar_t* sub : {L"\\", L"\\VarFileInfo\\Translation", L"\\StringFileInfo",
                               L"\\StringFileInfo\\040904b0\\FileVersion",
                               L"\\StringFileInfo\\040904b0\\FileDescription", L"\\a\\b\\c\\d\\e"})
    {
        LPVOID p = nullptr;
        UINT length = 0;
        if (VerQueryValueW(data.data(), sub, &p, &length))
        {
            ASSERT_GE(static_cast<const BYTE*>(p), data.data());
            ASSERT_LE(static_cast<const BYTE*>(p) + length, data.data() + data.size());
        }
    }
}

void Put64(Bytes& b, size_t at, uint64_t v)
{
    memcpy(b.data() + at, &v, 8);
}

// A minimal ELF64 file: header, one PT_NOTE program header, one note carrying a file type and
// a version text.
Bytes SmallElf(uint32_t nameSize, uint32_t descSize, const char (&name)[6], DWORD fileType,
               const std::string& version)
{
    Bytes elf(64 + 56 + 12 + 8 + 32, 0);
    const BYTE ident[] = {0x7F, 'E', 'L', 'F', 2, 1, 1};
    memcpy(elf.data(), ident, sizeof ident);
    Put64(elf, 0x20, 64);             // e_phoff
    elf[0x36] = 56;                   // e_phentsize
    elf[0x38] = 1;                    // e_phnum
    Put32(elf, 64, 4);                // PT_NOTE
    Put64(elf, 64 + 8, 120);          // p_offset
    Put64(elf, 64 + 32, 12 + 8 + 32); // p_filesz
    Put64(elf, 64 + 48, 4);           // p_align
    Put32(elf, 120, nameSize);
    Put32(elf, 124, descSize);
    Put32(elf, 128, 1);
    memcpy(elf.data() + 132, name, 6);
    Put32(elf, 140, fileType);
    memcpy(elf.data() + 144, version.data(), std::min<size_t>(version.size(), 28));
    return elf;
}

} // namespace

TEST(WinVersion, Reads64BitLibraryFromDriveC)
{
    REQUIRE_PE_FILES();
    CreateDirectoryW(L"C:\\Versions", nullptr);
    testsupport::WriteHostFile(testsupport::HostPath(L"C:\\Versions\\library64.dll"),
                               testsupport::ReadHostFile(PeHostPath("library64.dll")));
    Bytes data = Load(L"c:\\versions\\LIBRARY64.DLL");
    ASSERT_FALSE(data.empty());
    const VS_FIXEDFILEINFO& f = Fixed(data);
    EXPECT_EQ(f.dwSignature, VS_FFI_SIGNATURE);
    EXPECT_EQ(f.dwStrucVersion, VS_FFI_STRUCVERSION);
    EXPECT_EQ(f.dwFileVersionMS, (2u << 16) | 3u);
    EXPECT_EQ(f.dwFileVersionLS, (4u << 16) | 5u);
    EXPECT_EQ(f.dwProductVersionMS, (6u << 16) | 7u);
    EXPECT_EQ(f.dwProductVersionLS, (8u << 16) | 9u);
    EXPECT_EQ(f.dwFileFlagsMask, VS_FFI_FILEFLAGSMASK);
    EXPECT_EQ(f.dwFileFlags, 0u);
    EXPECT_EQ(f.dwFileOS, VOS_NT_WINDOWS32);
    EXPECT_EQ(f.dwFileType, VFT_DLL);
    EXPECT_EQ(Translation(data), (std::vector<WORD>{0x0409, 1200}));

    const std::wstring table = L"\\StringFileInfo\\040904b0\\";
    EXPECT_EQ(Text(data, table + L"CompanyName"), L"Test Works");
    EXPECT_EQ(Text(data, table + L"FileDescription"),
              L"Caf\u00E9 \u20AC \U0001F600"); // a surrogate pair
    EXPECT_EQ(Text(data, table + L"FileVersion"), L"2.3.4.5");
    EXPECT_EQ(Text(data, table + L"ProductVersion"), L"6.7.8.9");
    EXPECT_EQ(Text(data, table + L"ProductName"), L"Version Fixture");
    EXPECT_EQ(Text(data, table + L"OriginalFilename"), L"library64.dll");
    // Names are compared without regard to case; doubled separators are ignored.
    EXPECT_EQ(Text(data, L"\\stringfileinfo\\040904B0\\\\companyNAME"), L"Test Works");
    EXPECT_EQ(Text(data, table + L"Comments"), L"<none>");
    EXPECT_EQ(Text(data, L"\\StringFileInfo\\041104b0\\FileVersion"), L"<none>");
    LPVOID p = nullptr;
    UINT length = 99;
    EXPECT_FALSE(VerQueryValueW(data.data(), L"\\VarFileInfo\\Nothing", &p, &length));
    EXPECT_FALSE(VerQueryValueW(data.data(), L"\\", &p, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WinVersion, Reads32BitProgramThroughDriveZ)
{
    REQUIRE_PE_FILES();
    const std::wstring path = winport::fleet::HostPathToWindows(PeHostPath("program32.exe"));
    ASSERT_EQ(path.substr(0, 3), L"Z:\\");
    Bytes data = Load(path);
    ASSERT_FALSE(data.empty());
    const VS_FIXEDFILEINFO& f = Fixed(data);
    EXPECT_EQ(f.dwFileVersionMS, 10u << 16);
    EXPECT_EQ(f.dwFileVersionLS, (65535u << 16) | 1u);
    EXPECT_EQ(f.dwProductVersionMS, (10u << 16) | 1u);
    EXPECT_EQ(f.dwProductVersionLS, 0u);
    EXPECT_EQ(f.dwFileFlags, static_cast<DWORD>(VS_FF_PRERELEASE | VS_FF_PATCHED));
    EXPECT_EQ(f.dwFileType, VFT_APP);
    EXPECT_EQ(Translation(data), (std::vector<WORD>{0x0407, 1252}));
    EXPECT_EQ(Text(data, L"\\StringFileInfo\\040704E4\\FileVersion"), L"10.0.65535.1");
    EXPECT_EQ(Text(data, L"\\StringFileInfo\\040704e4\\ProductVersion"), L"10.1");
    EXPECT_EQ(Text(data, L"\\StringFileInfo\\040704e4\\CompanyName"), L"Pr\u00FCfstand");
    EXPECT_EQ(Text(data, L"\\StringFileInfo\\040704e4\\Comments"), L""); // present, empty
    EXPECT_EQ(Text(data, L"\\StringFileInfo\\040904b0\\FileVersion"), L"<none>");
}

TEST(WinVersion, FilesWithoutVersionFailWithTheirReason)
{
    REQUIRE_PE_FILES();
    auto z = [](const char* name) { return winport::fleet::HostPathToWindows(PeHostPath(name)); };
    EXPECT_EQ(LoadError(z("plain64.exe")), static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_EQ(LoadError(z("data64.exe")), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    CreateDirectoryW(L"C:\\NoVersion", nullptr);
    testsupport::WriteHostFile(testsupport::HostPath(L"C:\\NoVersion\\empty.dll"), "");
    testsupport::WriteHostFile(testsupport::HostPath(L"C:\\NoVersion\\notes.txt"),
                               "MZ is not enough\n");
    EXPECT_EQ(LoadError(L"C:\\NoVersion\\empty.dll"), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(LoadError(L"C:\\NoVersion\\notes.txt"), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(LoadError(L"C:\\NoVersion"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(LoadError(L"C:\\NoVersion\\missing.dll"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(LoadError(L"C:\\Missing\\missing.dll"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(LoadError(L"\\\\no-such-server\\share\\a.dll"),
              static_cast<DWORD>(ERROR_BAD_NETPATH));
    EXPECT_EQ(GetFileVersionInfoSizeW(nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(WinVersion, BufferSizeProtocol)
{
    REQUIRE_PE_FILES();
    const std::wstring path = winport::fleet::HostPathToWindows(PeHostPath("library64.dll"));
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    Bytes raw = FromBytes(testsupport::ReadHostFile(PeHostPath("library64.dll")));
    Bytes block;
    ASSERT_EQ(winport::version::FindVersionBlock(raw.data(), raw.size(), block),
              static_cast<DWORD>(ERROR_SUCCESS));
    // The stored block, then room for its six texts as wchar_t.
    ASSERT_GT(size, block.size() + 6 * sizeof(wchar_t));
    EXPECT_EQ(winport::version::BuildVersionBuffer(block).size(), size);

    Bytes data(size + 16, 0xCC);
    SetLastError(0);
    EXPECT_FALSE(GetFileVersionInfoW(path.c_str(), 0, size - 1, data.data()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(data, Bytes(size + 16, 0xCC)); // untouched
    EXPECT_FALSE(GetFileVersionInfoW(path.c_str(), 0, size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size + 16, data.data()));
    EXPECT_TRUE(std::equal(block.begin(), block.end(), data.begin())); // the block as stored
    EXPECT_EQ(Bytes(data.begin() + size, data.end()), Bytes(16, 0xCC));

    // The buffer holds no pointers: a moved copy answers the same.
    Bytes moved(data.begin(), data.begin() + size);
    data.assign(data.size(), 0);
    EXPECT_EQ(Text(moved, L"\\StringFileInfo\\040904b0\\ProductName"), L"Version Fixture");
}

TEST(WinVersion, TruncatedImagesFailCleanly)
{
    REQUIRE_PE_FILES();
    for (const char* name : {"library64.dll", "program32.exe"})
    {
        Bytes image = FromBytes(testsupport::ReadHostFile(PeHostPath(name)));
        Bytes full, block;
        ASSERT_EQ(Parse(image, image.size(), full), static_cast<DWORD>(ERROR_SUCCESS)) << name;
        size_t successes = 0;
        for (size_t n = 0; n < image.size(); ++n)
        {
            DWORD rc = Parse(image, n, block);
            if (rc == ERROR_SUCCESS)
            {
                ++successes;
                EXPECT_EQ(block, full) << name << " cut at " << n;
            }
            else
                EXPECT_TRUE(IsCleanFailure(rc)) << name << " cut at " << n << ": " << rc;
        }
        // Only cuts past the version data (in trailing sections or padding) still succeed.
        EXPECT_LT(successes, image.size() - SectionOffset(image, ".rsrc"));
    }
    // The same through files.
    Bytes image = FromBytes(testsupport::ReadHostFile(PeHostPath("library64.dll")));
    const size_t cuts[] = {2, 0x40, 0x100, SectionOffset(image, ".rsrc") + 0x50};
    for (size_t cut : cuts)
    {
        testsupport::WriteHostFile(testsupport::HostPath(L"C:\\cut.dll"),
                                   ToBytes(Bytes(image.begin(), image.begin() + cut)));
        EXPECT_EQ(LoadError(L"C:\\cut.dll"), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT)) << cut;
    }
}

TEST(WinVersion, CorruptedImagesFailCleanly)
{
    REQUIRE_PE_FILES();
    const Bytes image = FromBytes(testsupport::ReadHostFile(PeHostPath("library64.dll")));
    const size_t rsrc = SectionOffset(image, ".rsrc");
    uint32_t peAt;
    memcpy(&peAt, image.data() + 0x3C, 4);
    // The resource tree of the fixture: type directory, its entry, name directory, language.
    const size_t typeEntry = rsrc + 16, nameDirectory = rsrc + 0x18, nameEntry = rsrc + 0x28,
                 languageEntry = rsrc + 0x40, dataEntry = rsrc + 0x48;
    auto corrupt = [&](auto change, DWORD expected)
    {
        Bytes copy = image, block;
        change(copy);
        EXPECT_EQ(Parse(copy, copy.size(), block), expected);
    };
    corrupt([&](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0); }, ERROR_BAD_EXE_FORMAT);
    corrupt([&](Bytes& b) { b[peAt + 6] = 0xFF, b[peAt + 7] = 0xFF; },
            ERROR_BAD_EXE_FORMAT); // sections
    corrupt([&](Bytes& b) { b[rsrc + 14] = 0xFF, b[rsrc + 15] = 0xFF; },
            ERROR_BAD_EXE_FORMAT); // ids
    corrupt([&](Bytes& b) { Put32(b, typeEntry, 17); }, ERROR_RESOURCE_TYPE_NOT_FOUND);
    corrupt([&](Bytes& b) { b[nameDirectory + 14] = 0; }, ERROR_RESOURCE_NAME_NOT_FOUND);
    corrupt([&](Bytes& b) { Put32(b, nameEntry + 4, 0x80000000); },
            ERROR_BAD_EXE_FORMAT); // back to the root
    corrupt([&](Bytes& b) { Put32(b, languageEntry + 4, 0x80000030); },
            ERROR_BAD_EXE_FORMAT); // to itself
    corrupt([&](Bytes& b) { Put32(b, languageEntry + 4, 0x7FFFFFF0); }, ERROR_BAD_EXE_FORMAT);
    corrupt([&](Bytes& b) { Put32(b, dataEntry, 0xFFFFFFF0); }, ERROR_BAD_EXE_FORMAT);
    corrupt([&](Bytes& b) { Put32(b, dataEntry + 4, 4); }, ERROR_BAD_EXE_FORMAT);
    corrupt([&](Bytes& b) { Put32(b, dataEntry + 4, 100); },
            ERROR_BAD_EXE_FORMAT); // below the block's own
    corrupt([&](Bytes& b) { Put32(b, dataEntry + 4, 0xFFFFFFFF); },
            ERROR_SUCCESS); // the block says its size
    corrupt([&](Bytes& b) { b[peAt + 24] = 0x0C; }, ERROR_BAD_EXE_FORMAT); // optional header kind

    // Random damage in the headers and the resources: a clean failure or a block that every
    // query handles within the buffer (the sanitizers watch every read).
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 3000; ++round)
    {
        Bytes copy = image, block;
        for (int i = 0, n = 1 + round % 4; i < n; ++i)
        {
            size_t at = round % 2 == 0 ? next() % 0x200 : rsrc + next() % 0x290;
            copy[at] = static_cast<BYTE>(next());
        }
        DWORD rc = Parse(copy, copy.size(), block);
        if (rc == ERROR_SUCCESS)
            QueryEverything(block);
        else
            ASSERT_TRUE(IsCleanFailure(rc)) << rc;
    }
}

TEST(WinVersion, OwnOutputsCarryTheProjectVersion)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    ASSERT_GE(sscanf(FLEET_TEST_PROJECT_VERSION, "%u.%u.%u.%u", &a, &b, &c, &d), 2);
    const std::wstring version = winport::FromUtf8(FLEET_TEST_PROJECT_VERSION);
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::wstring folder = self;
    folder.resize(folder.rfind(L'\\') + 1);
    for (const auto& [path, type] :
         {std::pair{std::wstring(self), VFT_APP}, std::pair{folder + L"fleetkit.dll", VFT_DLL}})
    {
        Bytes data = Load(path);
        ASSERT_FALSE(data.empty()) << winport::ToUtf8(path);
        const VS_FIXEDFILEINFO& f = Fixed(data);
        EXPECT_EQ(f.dwSignature, VS_FFI_SIGNATURE);
        EXPECT_EQ(f.dwFileVersionMS, a << 16 | b);
        EXPECT_EQ(f.dwFileVersionLS, c << 16 | d);
        EXPECT_EQ(f.dwProductVersionMS, a << 16 | b);
        EXPECT_EQ(f.dwProductVersionLS, c << 16 | d);
        EXPECT_EQ(f.dwFileType, static_cast<DWORD>(type));
        EXPECT_EQ(Text(data, L"\\StringFileInfo\\040904b0\\FileVersion"), version);
        EXPECT_EQ(Text(data, L"\\StringFileInfo\\040904b0\\ProductVersion"), version);
        EXPECT_EQ(Translation(data), (std::vector<WORD>{0x0409, 1200}));
    }
}

TEST(WinVersion, DamagedElfImagesFailCleanly)
{
    Bytes block;
    auto parse = [&block](const Bytes& elf) { return Parse(elf, elf.size(), block); };
    Bytes good = SmallElf(6, 32, "FLEET", VFT_DLL, "3.4");
    ASSERT_EQ(parse(good), static_cast<DWORD>(ERROR_SUCCESS));
    Bytes data = winport::version::BuildVersionBuffer(block);
    EXPECT_EQ(Fixed(data).dwFileVersionMS, (3u << 16) | 4u);
    EXPECT_EQ(Fixed(data).dwFileVersionLS, 0u);
    EXPECT_EQ(Fixed(data).dwFileType, VFT_DLL);
    for (size_t n = 0; n < good.size(); ++n)
        EXPECT_TRUE(IsCleanFailure(Parse(good, n, block))) << n;

    EXPECT_EQ(parse(SmallElf(6, 32, "OTHER", VFT_APP, "3.4")),
              static_cast<DWORD>(ERROR_RESOURCE_DATA_NOT_FOUND));
    EXPECT_EQ(parse(SmallElf(0xFFFFFFF0, 32, "FLEET", VFT_APP, "3.4")),
              static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    EXPECT_EQ(parse(SmallElf(6, 0xFFFFFFFF, "FLEET", VFT_APP, "3.4")),
              static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    Bytes bad = good;
    bad[4] = 1; // 32-bit
    EXPECT_EQ(parse(bad), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    bad = good;
    bad[0x38] = 0xFF, bad[0x39] = 0xFF; // program headers past the end
    EXPECT_EQ(parse(bad), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
    bad = good;
    Put32(bad, 64 + 32 + 4, 1); // a note area of 4 GiB
    EXPECT_EQ(parse(bad), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));

    // The test binary itself: section headers lost, then both tables lost.
    wchar_t self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    std::string host;
    ASSERT_EQ(winport::fleet::MapPath(self, host), static_cast<DWORD>(ERROR_SUCCESS));
    Bytes image = FromBytes(testsupport::ReadHostFile(host));
    ASSERT_EQ(parse(image), static_cast<DWORD>(ERROR_SUCCESS));
    Bytes full = block;
    memset(image.data() + 0x28, 0xEE, 8); // e_shoff
    ASSERT_EQ(parse(image), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(block, full);
    memset(image.data() + 0x20, 0xEE, 8); // e_phoff
    EXPECT_EQ(parse(image), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
}
