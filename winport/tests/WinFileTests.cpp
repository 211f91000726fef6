// CRT streams with Windows modes and encodings, and the first Win32 file functions.
#include "testsupport/TestSupport.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace
{

const std::string kBom = "\xEF\xBB\xBF";

// A fresh folder on drive C: for one test.
std::wstring Folder(const std::wstring& name)
{
    std::wstring folder = L"C:\\FileTests\\" + name;
    CreateDirectoryW(L"C:\\FileTests", nullptr);
    EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << GetLastError();
    return folder;
}

bool Write(const std::wstring& path, const wchar_t* mode, const std::wstring& text)
{
    FILE* f = _wfopen(path.c_str(), mode);
    if (f == nullptr)
        return false;
    int rc = winport::fputws(text.c_str(), text.size(), f);
    return fclose(f) == 0 && rc == 0;
}

// Every line fgetws gives, each as it came.
std::vector<std::wstring> Lines(const std::wstring& path, const wchar_t* mode, int count = 256)
{
    std::vector<std::wstring> lines;
    FILE* f = _wfopen(path.c_str(), mode);
    EXPECT_NE(f, nullptr) << GetLastError();
    if (f == nullptr)
        return lines;
    std::wstring buffer(static_cast<size_t>(count), L'#');
    while (winport::fgetws(buffer.data(), count, f) != nullptr)
        lines.emplace_back(buffer.c_str());
    fclose(f);
    return lines;
}

using Lines_t = std::vector<std::wstring>;

} // namespace

TEST(WinFileStreams, Utf8TextModeMarksNewFilesAndTranslatesLineFeeds)
{
    const std::wstring path = Folder(L"utf8") + L"\\log.txt";
    ASSERT_TRUE(Write(path, L"a, ccs=UTF-8", L"first \u20AC\nsecond\n"));
    ASSERT_TRUE(Write(path, L"a, ccs=UTF-8", L"\U0001F600 third\n"));
    const std::string host = testsupport::HostPath(path);
    EXPECT_EQ(testsupport::ReadHostFile(host),
              kBom + "first \xE2\x82\xAC\r\nsecond\r\n\xF0\x9F\x98\x80 third\r\n");
    EXPECT_EQ(Lines(path, L"r, ccs=UTF-8"),
              (Lines_t{L"first \u20AC\n", L"second\n", L"\U0001F600 third\n"}));
    EXPECT_EQ(Lines(path, L"rt, ccs=utf-8"),
              (Lines_t{L"first \u20AC\n", L"second\n", L"\U0001F600 third\n"}));

    // An existing but empty file gets the mark too; "w" starts the file over with one.
    testsupport::WriteHostFile(host, "");
    ASSERT_TRUE(Write(path, L"a, ccs=UTF-8", L"x\n"));
    EXPECT_EQ(testsupport::ReadHostFile(host), kBom + "x\r\n");
    ASSERT_TRUE(Write(path, L"w, ccs=UTF-8", L"y"));
    EXPECT_EQ(testsupport::ReadHostFile(host), kBom + "y");
    // A file without a mark reads the same.
    testsupport::WriteHostFile(host, "plain\r\nlast");
    EXPECT_EQ(Lines(path, L"r, ccs=UTF-8"), (Lines_t{L"plain\n", L"last"}));
    // Only the mark: no text at all.
    testsupport::WriteHostFile(host, kBom);
    EXPECT_EQ(Lines(path, L"r, ccs=UTF-8"), Lines_t{});
    // A file holding part of a mark is not lost or hung on: its bytes decode as broken text.
    testsupport::WriteHostFile(host, "\xEF\xBB");
    EXPECT_EQ(Lines(path, L"r, ccs=UTF-8"),
              (Lines_t{std::wstring(1, static_cast<wchar_t>(0xFFFD))}));
    testsupport::WriteHostFile(host, "\xEF\xBBz\n");
    Lines_t partial = Lines(path, L"r, ccs=UTF-8");
    ASSERT_EQ(partial.size(), 1u);
    EXPECT_EQ(partial[0].substr(partial[0].size() - 2), L"z\n");
}

TEST(WinFileStreams, FgetwsKeepsLineFeedAndReadsAtMostCountLessOne)
{
    const std::wstring path = Folder(L"chunks") + L"\\long.txt";
    std::wstring line;
    const wchar_t pattern[] = L"abc\u00E9\u20AC\U0001F600";
    for (size_t i = 0; line.size() < 5000; ++i)
        line.push_back(pattern[i % 6]);
    ASSERT_TRUE(Write(path, L"w, ccs=UTF-8", line + L"\nshort\n"));

    FILE* f = _wfopen(path.c_str(), L"r, ccs=UTF-8");
    ASSERT_NE(f, nullptr);
    wchar_t buffer[1000];
    std::wstring joined;
    int pieces = 0;
    while (winport::fgetws(buffer, 1000, f) != nullptr)
    {
        size_t n = wcslen(buffer);
        EXPECT_LE(n, 999u);
        joined += buffer;
        ++pieces;
        if (buffer[n - 1] == L'\n')
            break;
        EXPECT_EQ(n, 999u) << "a piece short of count - 1 before the line feed";
    }
    EXPECT_EQ(joined, line + L"\n");
    EXPECT_EQ(pieces, 6);
    ASSERT_NE(winport::fgetws(buffer, 1000, f), nullptr);
    EXPECT_EQ(std::wstring(buffer), L"short\n");
    EXPECT_EQ(winport::fgetws(buffer, 1000, f), nullptr);
    // count 1 leaves room for the terminator only.
    EXPECT_EQ(winport::fgetws(buffer, 1, f), nullptr);
    EXPECT_EQ(winport::fgetws(buffer, 0, f), nullptr);
    fclose(f);
}

TEST(WinFileStreams, CarriageReturnsAtEdges)
{
    const std::wstring folder = Folder(L"cr");
    const std::wstring path = folder + L"\\cr.txt";
    const std::string host = testsupport::HostPath(path);
    testsupport::WriteHostFile(host, "a\rb\r\nc\r\r\nend\r");
    EXPECT_EQ(Lines(path, L"r"), (Lines_t{L"a\rb\n", L"c\r\n", L"end\r"}));
    EXPECT_EQ(Lines(path, L"r, ccs=UTF-8"), (Lines_t{L"a\rb\n", L"c\r\n", L"end\r"}));
    // A CR LF split across the reads underneath is still one line feed.
    std::string big(8191, 'x');
    testsupport::WriteHostFile(host, big + "\r\ny");
    EXPECT_EQ(Lines(path, L"r", 10000), (Lines_t{winport::FromUtf8(big) + L"\n", L"y"}));
    // Binary mode leaves every byte alone.
    EXPECT_EQ(Lines(path, L"rb", 10000), (Lines_t{winport::FromUtf8(big) + L"\r\n", L"y"}));
}

TEST(WinFileStreams, AnsiAndBinaryModes)
{
    const std::wstring path = Folder(L"ansi") + L"\\a.txt";
    const std::string host = testsupport::HostPath(path);
    ASSERT_TRUE(Write(path, L"w", L"caf\u00E9 \u20AC \u0100\n"));
    EXPECT_EQ(testsupport::ReadHostFile(host), "caf\xE9 \x80 ?\r\n");
    EXPECT_EQ(Lines(path, L"r"), (Lines_t{L"caf\u00E9 \u20AC ?\n"}));
    ASSERT_TRUE(Write(path, L"a+", L"more\n"));
    EXPECT_EQ(testsupport::ReadHostFile(host), "caf\xE9 \x80 ?\r\nmore\r\n");

    ASSERT_TRUE(Write(path, L"wb", L"a\nb\r\n"));
    EXPECT_EQ(testsupport::ReadHostFile(host), "a\nb\r\n");
    EXPECT_EQ(Lines(path, L"rb"), (Lines_t{L"a\n", L"b\r\n"}));
}

TEST(WinFileStreams, BadModesMissingFilesAndFolders)
{
    const std::wstring folder = Folder(L"modes");
    const std::wstring path = folder + L"\\m.txt";
    for (const wchar_t* mode :
         {L"", L"x", L"rw", L"r, ccs=UTF-16LE", L"wb, ccs=UTF-8", L"r,", L"q+"})
    {
        errno = 0;
        SetLastError(0);
        EXPECT_EQ(_wfopen(path.c_str(), mode), nullptr) << winport::ToUtf8(mode);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES); // nothing was created

    SetLastError(0);
    EXPECT_EQ(_wfopen(path.c_str(), L"r"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetLastError(0);
    EXPECT_EQ(_wfopen((folder + L"\\no\\such.txt").c_str(), L"w"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    for (const wchar_t* mode : {L"r", L"w", L"a, ccs=UTF-8"})
    {
        SetLastError(0);
        EXPECT_EQ(_wfopen(folder.c_str(), mode), nullptr) << winport::ToUtf8(mode);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    EXPECT_EQ(_wfopen(L"C:\\bad|name.txt", L"w"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(winport::fputws(L"x", nullptr), -1);
}

TEST(WinFileFunctions, ErrorCodesOfDeleteCreateRemoveAndAttributes)
{
    const std::wstring folder = Folder(L"codes");
    const std::wstring file = folder + L"\\f.txt";
    ASSERT_TRUE(Write(file, L"w", L"data"));

    EXPECT_EQ(GetFileAttributesW(folder.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(L"c:\\FILETESTS\\CODES\\F.TXT") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW((folder + L"\\none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW((folder + L"\\none\\x").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(L"C:\\a*b"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));

    EXPECT_FALSE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(file.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW((folder + L"\\a\\b").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\Sub").c_str(), nullptr));

    EXPECT_FALSE(RemoveDirectoryW(folder.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(RemoveDirectoryW(file.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_FALSE(RemoveDirectoryW((folder + L"\\none").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    EXPECT_FALSE(DeleteFileW((folder + L"\\sub").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW((folder + L"\\none").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileW((folder + L"\\none\\x").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileW(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    EXPECT_TRUE(DeleteFileW(L"C:\\filetests\\codes\\F.txt"));
    EXPECT_EQ(GetFileAttributesW(file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(RemoveDirectoryW((folder + L"\\SUB").c_str()));
    EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}
