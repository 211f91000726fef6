// File version resources: GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW.
//
// Two kinds of files carry a version: PE images (32- and 64-bit), whose RT_VERSION resource is
// returned as stored, and our own ELF outputs, whose ".note.fleet.version" note (the project's
// a.b.c.d version and the kind of output) becomes an equivalent VS_VERSIONINFO block.
//
// The buffer that GetFileVersionInfoW fills holds, in this order:
//   - the VS_VERSIONINFO block as stored (UTF-16 keys and values), at offset 0;
//   - at the next 4-byte boundary, a table of the block's text values converted to wchar_t:
//     DWORD kVersionTextMagic, DWORD count, then count entries of
//     { DWORD nodeOffset (of the text's node in the block), DWORD chars (with the terminator),
//       wchar_t text[chars] }.
// GetFileVersionInfoSizeW gives the size of both parts. VerQueryValueW returns binary values
// (the root's VS_FIXEDFILEINFO, "\VarFileInfo\Translation") as pointers into the block and text
// values as pointers into the table, so that the caller always gets a wchar_t string.
#pragma once

#include "winport/WinTypes.h"

#include <string>
#include <vector>

struct VS_FIXEDFILEINFO
{
    DWORD dwSignature;
    DWORD dwStrucVersion;
    DWORD dwFileVersionMS;
    DWORD dwFileVersionLS;
    DWORD dwProductVersionMS;
    DWORD dwProductVersionLS;
    DWORD dwFileFlagsMask;
    DWORD dwFileFlags;
    DWORD dwFileOS;
    DWORD dwFileType;
    DWORD dwFileSubtype;
    DWORD dwFileDateMS;
    DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

#define VS_FFI_SIGNATURE 0xFEEF04BDL
#define VS_FFI_STRUCVERSION 0x00010000L
#define VS_FFI_FILEFLAGSMASK 0x0000003FL

#define VS_FF_DEBUG 0x00000001L
#define VS_FF_PRERELEASE 0x00000002L
#define VS_FF_PATCHED 0x00000004L
#define VS_FF_PRIVATEBUILD 0x00000008L
#define VS_FF_INFOINFERRED 0x00000010L
#define VS_FF_SPECIALBUILD 0x00000020L

#define VOS_UNKNOWN 0x00000000L
#define VOS_NT 0x00040000L
#define VOS__WINDOWS32 0x00000004L
#define VOS_NT_WINDOWS32 0x00040004L

#define VFT_UNKNOWN 0x00000000L
#define VFT_APP 0x00000001L
#define VFT_DLL 0x00000002L

#ifndef ERROR_RESOURCE_DATA_NOT_FOUND
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#endif
#ifndef ERROR_RESOURCE_TYPE_NOT_FOUND
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#endif
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#endif
#ifndef ERROR_RESOURCE_LANG_NOT_FOUND
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#endif

// Failures leave the reason in GetLastError: ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND,
// ERROR_ACCESS_DENIED (a folder or a device), ERROR_BAD_EXE_FORMAT (neither a PE nor an ELF
// image, or damaged headers or resources), ERROR_RESOURCE_DATA_NOT_FOUND (an image without
// resources or version note), ERROR_RESOURCE_TYPE_NOT_FOUND (resources without a version).
// handle is set to 0 and ignored, as on Windows.
DWORD GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
// A size below what GetFileVersionInfoSizeW gives fails with ERROR_INSUFFICIENT_BUFFER and
// leaves data untouched (a cut block could not be queried safely).
BOOL GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
// subBlock is "\" (the VS_FIXEDFILEINFO), "\VarFileInfo\Translation" (pairs of WORDs: language,
// code page) or "\StringFileInfo\<language><code page>\<name>", names compared without regard
// to case. length is in bytes for binary values and in characters, terminator included, for
// text. A missing block gives FALSE.
BOOL VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, UINT* length);

namespace winport::version
{

constexpr DWORD kVersionTextMagic = 0x57564C46; // "FLVW"

// Random access to the bytes of a file.
class IByteSource
{
public:
    virtual ~IByteSource() = default;
    virtual uint64_t Size() const = 0;
    // Fills out with size bytes at offset; false when they are not all there.
    virtual bool Read(uint64_t offset, void* out, size_t size) const = 0;
};

// Finds the VS_VERSIONINFO block of a PE or ELF image. Returns ERROR_SUCCESS or one of the
// codes listed above; never reads outside the source.
DWORD FindVersionBlock(const IByteSource& source, std::vector<BYTE>& block);
DWORD FindVersionBlock(const void* data, size_t size, std::vector<BYTE>& block);

// The whole buffer GetFileVersionInfoW hands out for a block: the block, then its converted
// texts (see the top of this file).
std::vector<BYTE> BuildVersionBuffer(const std::vector<BYTE>& block);

// The VS_VERSIONINFO block our ELF outputs stand for: version "a.b.c.d" (missing parts are 0),
// fileType VFT_APP or VFT_DLL.
std::vector<BYTE> MakeVersionBlock(const std::wstring& version, DWORD fileType);

} // namespace winport::version
