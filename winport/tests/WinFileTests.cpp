// CRT streams with Windows modes and encodings, and the first Win32 file functions.
#include "testsupport/TestSupport.h"
#include "winport/NameExpression.h"
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinMachine.h"
#include "winport/WinString.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
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
    // A character the code page lacks is written as its closest one, or else as "?".
    ASSERT_TRUE(Write(path, L"w", L"caf\u00E9 \u20AC \u0100\u4E2D\n"));
    EXPECT_EQ(testsupport::ReadHostFile(host), "caf\xE9 \x80 A?\r\n");
    EXPECT_EQ(Lines(path, L"r"), (Lines_t{L"caf\u00E9 \u20AC A?\n"}));
    ASSERT_TRUE(Write(path, L"a+", L"more\n"));
    EXPECT_EQ(testsupport::ReadHostFile(host), "caf\xE9 \x80 A?\r\nmore\r\n");

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

namespace
{

// The names FindFirstFileW and FindNextFileW give for a pattern, "." and ".." left out.
Lines_t Find(const std::wstring& pattern)
{
    Lines_t names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    FindClose(find);
    return names;
}

// The entries of a Linux folder as they are spelled on disk.
std::set<std::string> HostNames(const std::string& folder)
{
    std::set<std::string> names;
    if (DIR* dir = opendir(folder.c_str()))
    {
        while (dirent* entry = readdir(dir))
        {
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                names.insert(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

} // namespace

TEST(WinFindFiles, DosWildcardsAsTheFileSystemMatchesThem)
{
    using winport::DosExpression;
    EXPECT_EQ(DosExpression(L"*.*"), L"*");
    EXPECT_EQ(DosExpression(L"*"), L"*");
    EXPECT_EQ(DosExpression(L"abc?.txt"), L"abc>.txt");
    EXPECT_EQ(DosExpression(L"*."), L"<\"");
    EXPECT_EQ(DosExpression(L"*.txt"), L"<.txt");
    EXPECT_EQ(DosExpression(L"a.*"), L"a\"*");
    EXPECT_EQ(DosExpression(L"a.?b*"), L"a\">b*");
    EXPECT_EQ(DosExpression(L"name.txt"), L"name.txt");

    struct SCase
    {
        const wchar_t* pattern;
        const wchar_t* name;
        bool match;
    };
    const SCase cases[] = {
        {L"*", L"anything.at.all", true},
        {L"*.*", L"noextension", true},
        {L"*.*", L"a.b", true},
        {L"abc?.txt", L"abc.txt", true},
        {L"abc?.txt", L"abcd.txt", true},
        {L"abc?.txt", L"abcde.txt", false},
        {L"*.", L"README", true},
        {L"*.", L"read.me", false},
        {L"????", L"abcd", true},
        {L"????", L"ab", true},
        {L"????", L"abcde", false},
        {L"????", L"a.b", false},
        {L"*.txt", L"a.b.txt", true},
        {L"*.txt", L"a.txt.bak", false},
        {L"*.txt", L"atxt", false},
        {L"a?c", L"abc", true},
        {L"a?c", L"ac", false},
        {L"a?c", L"a.c", false},
        {L"ABC.TXT", L"abc.txt", true},
        {L"\u00C9T\u00C9", L"\u00E9t\u00E9", true},
        {L"abc.", L"abc", true},
        {L"abc.", L"abc.d", false},
        {L"a*b*c", L"aXbYbZc", true},
        {L"a*b*c", L"aXbYcZ", false},
        {L"*a", L"banana", true},
        {L"a.*", L"a", true},
        {L"a.*", L"a.b", true},
        {L"a.*", L"ab", false},
        {L"*.?", L"x.y", true},
        {L"*.?", L"x.yz", false},
        {L"*.?", L"x", true},
        {L"x", L"x", true},
    };
    for (const SCase& c : cases)
    {
        EXPECT_EQ(winport::IsNameInExpression(DosExpression(c.pattern), c.name), c.match)
            << winport::ToUtf8(c.pattern) << " against " << winport::ToUtf8(c.name);
    }
    // Plain "*" and "?" without the DOS forms, and case when it is asked for.
    EXPECT_FALSE(winport::IsNameInExpression(L"a?c", L"ac"));
    EXPECT_TRUE(winport::IsNameInExpression(L"*.txt", L"atxt.txt"));
    EXPECT_FALSE(winport::IsNameInExpression(L"*.txt", L"readme"));
    EXPECT_FALSE(winport::IsNameInExpression(L"ABC", L"abc", false));
    EXPECT_TRUE(winport::IsNameInExpression(L"", L""));
    EXPECT_FALSE(winport::IsNameInExpression(L"", L"a"));
}

TEST(WinFindFiles, FindFirstFileTakesDosWildcards)
{
    const std::wstring folder = Folder(L"find");
    for (const wchar_t* name : {L"abc.txt", L"abcd.txt", L"abcde.txt", L"abc", L"abcd", L"abcde",
                                L"a.b.c", L"README", L"x.tx"})
        ASSERT_TRUE(Write(folder + L"\\" + name, L"w", L"x"));
    auto find = [&](const wchar_t* pattern) { return Find(folder + L"\\" + pattern); };
    const Lines_t all = {L"README",   L"a.b.c", L"abc",       L"abc.txt", L"abcd",
                         L"abcd.txt", L"abcde", L"abcde.txt", L"x.tx"};
    EXPECT_EQ(find(L"*"), all);
    EXPECT_EQ(find(L"*.*"), all);
    EXPECT_EQ(find(L"abc?.txt"), (Lines_t{L"abc.txt", L"abcd.txt"}));
    EXPECT_EQ(find(L"*."), (Lines_t{L"README", L"abc", L"abcd", L"abcde"}));
    EXPECT_EQ(find(L"????"), (Lines_t{L"abc", L"abcd"}));
    EXPECT_EQ(find(L"*.txt"), (Lines_t{L"abc.txt", L"abcd.txt", L"abcde.txt"}));
    EXPECT_EQ(find(L"ABC.TXT"), (Lines_t{L"abc.txt"}));
    EXPECT_EQ(find(L"a*.c"), (Lines_t{L"a.b.c"}));
    SetLastError(0);
    EXPECT_EQ(find(L"*.doc"), Lines_t{});
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // The folder's own entries come first where the folder has them.
    WIN32_FIND_DATAW data;
    HANDLE handle = FindFirstFileW((folder + L"\\*").c_str(), &data);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::wstring(data.cFileName), L".");
    FindClose(handle);
}

TEST(WinFileFunctions, CopyFileCodesAndTheTargetThatIsThereInAnotherCase)
{
    const std::wstring folder = Folder(L"copy");
    const std::string host = testsupport::HostPath(folder);
    const std::wstring source = folder + L"\\source.txt", target = folder + L"\\Target.txt";
    ASSERT_TRUE(Write(source, L"w", L"new"));
    ASSERT_TRUE(Write(target, L"w", L"old"));
    auto failsWith = [](BOOL done, DWORD code)
    {
        DWORD error = GetLastError();
        EXPECT_FALSE(done);
        EXPECT_EQ(error, code);
    };

    SetLastError(0);
    failsWith(CopyFileW(source.c_str(), (folder + L"\\TARGET.TXT").c_str(), TRUE),
              ERROR_FILE_EXISTS);
    EXPECT_EQ(testsupport::ReadHostFile(host + "/Target.txt"), "old");
    // Named in another case, the file that is there is overwritten under its own spelling.
    EXPECT_TRUE(CopyFileW(source.c_str(), (folder + L"\\TARGET.TXT").c_str(), FALSE))
        << GetLastError();
    EXPECT_EQ(HostNames(host), (std::set<std::string>{"Target.txt", "source.txt"}));
    EXPECT_EQ(testsupport::ReadHostFile(host + "/Target.txt"), "new");
    // Letters beyond ASCII are matched as the file system folds them; names that only look
    // alike are not.
    ASSERT_TRUE(Write(folder + L"\\\u00C4rger.txt", L"w", L"old"));
    EXPECT_TRUE(CopyFileW(source.c_str(), (folder + L"\\\u00E4RGER.TXT").c_str(), FALSE));
    EXPECT_EQ(testsupport::ReadHostFile(host + "/\xC3\x84rger.txt"), "new");
    EXPECT_TRUE(CopyFileW(source.c_str(), (folder + L"\\ArgeR.txt").c_str(), TRUE));
    EXPECT_EQ(HostNames(host),
              (std::set<std::string>{"ArgeR.txt", "Target.txt", "source.txt", "\xC3\x84rger.txt"}));
    for (const wchar_t* name : {L"\\ArgeR.txt", L"\\\u00C4rger.txt"})
        ASSERT_TRUE(DeleteFileW((folder + name).c_str()));
    // A new file, then one that may not be overwritten.
    EXPECT_TRUE(CopyFileW(source.c_str(), (folder + L"\\fresh.txt").c_str(), TRUE));
    ASSERT_TRUE(SetFileAttributesW((folder + L"\\fresh.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    failsWith(CopyFileW(target.c_str(), (folder + L"\\fresh.txt").c_str(), FALSE),
              ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\Sub").c_str(), nullptr));
    failsWith(CopyFileW(source.c_str(), (folder + L"\\sub").c_str(), FALSE), ERROR_ACCESS_DENIED);
    failsWith(CopyFileW(source.c_str(), (folder + L"\\SOURCE.txt").c_str(), FALSE),
              ERROR_SHARING_VIOLATION);
    failsWith(CopyFileW((folder + L"\\none").c_str(), target.c_str(), FALSE), ERROR_FILE_NOT_FOUND);
    failsWith(CopyFileW(source.c_str(), (folder + L"\\none\\x").c_str(), FALSE),
              ERROR_PATH_NOT_FOUND);
    failsWith(CopyFileW((folder + L"\\Sub").c_str(), (folder + L"\\y").c_str(), FALSE),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(testsupport::ReadHostFile(host + "/fresh.txt"), "new");
    EXPECT_EQ(testsupport::ReadHostFile(host + "/source.txt"), "new");
}

TEST(WinFileFunctions, ADriveMadeAnewIsFoundAgain)
{
    // Drive D: of this machine, removed and made again while the process knows it.
    const std::string drive = winport::fleet::CurrentMachine().folder + "/drive/d";
    auto makeDrive = [&](const std::string& content)
    {
        ASSERT_EQ(system(("rm -rf '" + drive + "' && mkdir -p '" + drive + "/data'").c_str()), 0);
        FILE* file = fopen((drive + "/data/file.txt").c_str(), "w");
        ASSERT_NE(file, nullptr);
        fputs(content.c_str(), file);
        fclose(file);
    };
    makeDrive("first");
    EXPECT_NE(GetFileAttributesW(L"D:\\Data\\File.txt"), INVALID_FILE_ATTRIBUTES) << GetLastError();
    makeDrive("second");
    EXPECT_NE(GetFileAttributesW(L"D:\\Data\\File.txt"), INVALID_FILE_ATTRIBUTES) << GetLastError();
    EXPECT_TRUE(CopyFileW(L"D:\\data\\file.txt", L"D:\\data\\copy.txt", TRUE)) << GetLastError();
    EXPECT_EQ(testsupport::ReadHostFile(drive + "/data/copy.txt"), "second");
    ASSERT_EQ(system(("rm -rf '" + drive + "'").c_str()), 0);
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(L"D:\\Data\\File.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(WinFileFunctions, RenameThatChangesOnlyTheLetterCaseTakesTheNewSpelling)
{
    const std::wstring folder = Folder(L"case");
    const std::string host = testsupport::HostPath(folder);
    ASSERT_TRUE(Write(folder + L"\\report.txt", L"w", L"kept"));
    ASSERT_TRUE(Write(folder + L"\\other.txt", L"w", L"other"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\Sub").c_str(), nullptr));

    EXPECT_TRUE(MoveFileW((folder + L"\\report.txt").c_str(), (folder + L"\\Report.TXT").c_str()))
        << GetLastError();
    EXPECT_EQ(HostNames(host), (std::set<std::string>{"Report.TXT", "Sub", "other.txt"}));
    EXPECT_EQ(testsupport::ReadHostFile(host + "/Report.TXT"), "kept");
    // The source may be named in any case too; the flags change nothing.
    EXPECT_TRUE(MoveFileExW((folder + L"\\REPORT.txt").c_str(), (folder + L"\\report.txt").c_str(),
                            MOVEFILE_REPLACE_EXISTING))
        << GetLastError();
    EXPECT_TRUE(MoveFileW((folder + L"\\sub").c_str(), (folder + L"\\SUB").c_str()))
        << GetLastError();
    EXPECT_EQ(HostNames(host), (std::set<std::string>{"SUB", "other.txt", "report.txt"}));
    // Trailing dots are dropped from the new name, as everywhere.
    EXPECT_TRUE(MoveFileW((folder + L"\\report.txt").c_str(), (folder + L"\\REPORT.TXT.").c_str()));
    EXPECT_EQ(HostNames(host), (std::set<std::string>{"REPORT.TXT", "SUB", "other.txt"}));
    // The same spelling is no change at all; another file is still in the way.
    EXPECT_TRUE(MoveFileW((folder + L"\\REPORT.TXT").c_str(), (folder + L"\\REPORT.TXT").c_str()));
    SetLastError(0);
    EXPECT_FALSE(MoveFileW((folder + L"\\REPORT.TXT").c_str(), (folder + L"\\OTHER.txt").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(HostNames(host), (std::set<std::string>{"REPORT.TXT", "SUB", "other.txt"}));
    EXPECT_EQ(testsupport::ReadHostFile(host + "/REPORT.TXT"), "kept");
}

TEST(WinTempFiles, NamesEndInTmpAndTheFolderMustExist)
{
    const std::wstring folder = Folder(L"temp");
    wchar_t name[MAX_PATH];
    // A given number: only its low 16 bits in upper-case hexadecimal, no file, the number back.
    EXPECT_EQ(GetTempFileNameW(folder.c_str(), L"pre", 0xabcd, name), 0xABCDu);
    EXPECT_EQ(std::wstring(name), folder + L"\\preABCD.tmp");
    EXPECT_EQ(GetFileAttributesW(name), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetTempFileNameW((folder + L"\\").c_str(), L"longer", 0x1234A, name), 0x1234Au);
    EXPECT_EQ(std::wstring(name), folder + L"\\lon234A.tmp");
    EXPECT_EQ(GetTempFileNameW(folder.c_str(), nullptr, 7, name), 7u);
    EXPECT_EQ(std::wstring(name), folder + L"\\7.tmp");

    // Number 0: a new, empty file whose name carries the number returned.
    UINT number = GetTempFileNameW(folder.c_str(), L"t", 0, name);
    ASSERT_NE(number, 0u);
    EXPECT_LE(number, 0xFFFFu);
    EXPECT_EQ(std::wstring(name), folder + L"\\t" + winport::Format(L"%X", number) + L".tmp");
    EXPECT_EQ(testsupport::ReadHostFile(testsupport::HostPath(name)), "");
    EXPECT_NE(GetFileAttributesW(name), INVALID_FILE_ATTRIBUTES);

    // A folder that does not exist, or is a file, fails the same whatever the number.
    for (UINT unique : {0u, 1u, 0x10000u})
    {
        for (const std::wstring& bad :
             {folder + L"\\missing", folder + L"\\missing\\deeper", std::wstring(name)})
        {
            wchar_t untouched[MAX_PATH] = L"#";
            SetLastError(0);
            EXPECT_EQ(GetTempFileNameW(bad.c_str(), L"t", unique, untouched), 0u)
                << winport::ToUtf8(bad);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
        }
    }
    EXPECT_EQ(GetFileAttributesW((folder + L"\\missing").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(WinProfileFiles, SectionAndKeyListingsFollowTheBufferRules)
{
    const std::wstring ini = Folder(L"profile") + L"\\list.ini";
    testsupport::WriteHostFile(testsupport::HostPath(ini),
                               "[One]\r\na=1\r\nbb=22\r\n; note\r\n[Two]\r\nc=3\r\n[Three]\r\n");
    // Reads into a buffer of the given size that starts out filled with '#'.
    auto read = [&](LPCWSTR section, LPCWSTR key, DWORD size, DWORD& count)
    {
        std::wstring buffer(size + 1, L'#');
        count = GetPrivateProfileStringW(section, key, L"default", size ? buffer.data() : nullptr,
                                         size, ini.c_str());
        return buffer.substr(0, size);
    };
    using namespace std::string_literals;
    DWORD n = 0;
    // Sections: each name with its terminator, one more at the end, not counted.
    EXPECT_EQ(read(nullptr, nullptr, 20, n).substr(0, 15), L"One\0Two\0Three\0\0"s);
    EXPECT_EQ(n, 14u);
    EXPECT_EQ(read(nullptr, nullptr, 16, n), L"One\0Two\0Three\0\0#"s);
    EXPECT_EQ(n, 14u);
    // A buffer without room to spare cuts the list and ends it in two terminators: size - 2.
    EXPECT_EQ(read(nullptr, nullptr, 15, n), L"One\0Two\0Three\0\0"s);
    EXPECT_EQ(n, 13u);
    EXPECT_EQ(read(nullptr, nullptr, 14, n), L"One\0Two\0Thre\0\0"s);
    EXPECT_EQ(n, 12u);
    EXPECT_EQ(read(nullptr, nullptr, 10, n), L"One\0Two\0\0\0"s);
    EXPECT_EQ(n, 8u);
    EXPECT_EQ(read(nullptr, nullptr, 2, n), L"\0\0"s);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(read(nullptr, nullptr, 1, n), L"\0"s);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(read(nullptr, nullptr, 0, n), L""s);
    EXPECT_EQ(n, 0u);
    // Keys of a section; the comment is no key.
    EXPECT_EQ(read(L"one", nullptr, 7, n), L"a\0bb\0\0#"s);
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(read(L"one", nullptr, 6, n), L"a\0bb\0\0"s);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(read(L"one", nullptr, 5, n), L"a\0b\0\0"s);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(read(L"One", nullptr, 3, n), L"a\0\0"s);
    EXPECT_EQ(n, 1u);
    // An empty list, a missing section or file: two terminators, 0, and no default.
    for (const wchar_t* section : {L"Three", L"Missing"})
    {
        EXPECT_EQ(read(section, nullptr, 5, n), L"\0\0###"s);
        EXPECT_EQ(n, 0u);
    }
    std::wstring buffer(4, L'#');
    EXPECT_EQ(GetPrivateProfileStringW(nullptr, nullptr, L"x", buffer.data(), 4,
                                       (ini + L".none").c_str()),
              0u);
    EXPECT_EQ(buffer, L"\0\0##"s);
    // A value: cut to size - 1.
    EXPECT_EQ(read(L"one", L"BB", 10, n).substr(0, 3), L"22\0"s);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(read(L"one", L"bb", 2, n), L"2\0"s);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(read(L"one", L"none", 5, n), L"defa\0"s);
    EXPECT_EQ(n, 4u);
}

TEST(WinDrives, DrivesOfTheMachineAreFixedAndSharesRemote)
{
    EXPECT_EQ(GetDriveTypeW(L"C:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeW(L"c:"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeW(L"Z:\\"), static_cast<UINT>(DRIVE_FIXED))
        << "the workstation's Linux drive";
    EXPECT_EQ(GetDriveTypeW(nullptr), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeW(L"Q:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(L"C:\\Windows"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(L"\\\\localhost\\C$\\"), static_cast<UINT>(DRIVE_REMOTE));
    EXPECT_EQ(GetDriveTypeW(L"\\\\no-such-host\\share\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
}
