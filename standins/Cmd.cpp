// The command processor of the simulated machines: what the system's batch files and the
// commands it runs through the command processor need, done with the Win32 calls of the subset.
//   cmd.exe [/d] [/q] [/s] /c COMMAND LINE
// runs one command line (commands, or a script file with its arguments) and exits with the code
// of EXIT, else with the last ERRORLEVEL. A script is read whole when it starts; commands are
// never echoed (echo off is the only mode).
//
// The language: REM and "::" comments, "@", SET NAME=value, %NAME% (an unknown name expands to
// nothing in a script and stays as written on the command line), %ERRORLEVEL%, %CD%, %0-%9, %*,
// %~dp0 (with the modifiers f d p n x), %% in a script, ^ escapes, :label and GOTO (also :eof),
// commands joined by &, && and ||, blocks in parentheses over several lines, IF [/I] [NOT]
// EXIST|ERRORLEVEL|DEFINED|a==b (ELSE after a block), ECHO, SET, DEL/ERASE /Q /F /S, RMDIR/RD
// /Q /S, MKDIR/MD, CD/CHDIR, TYPE, EXIT [/B] [n], CALL, PING -n N (loopback names: waits N-1 s),
// and output redirection of a command or a block (>, >>, 2>, 2>&1, >nul).
// Anything else is a program started with CreateProcessW and waited for; its exit code becomes
// the ERRORLEVEL. A script it names runs in this process and, without CALL, ends the script that
// named it. A program keeps this process's standard output and error: redirection reaches the
// built-in commands and this processor's own messages only, since the Win32 subset has no file
// handles to hand a child.
#include "winport/WinBase.h"
#include "winport/WinFile.h"
#include "winport/WinProcess.h"
#include "winport/WinString.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr int kSyntaxError = 255;
constexpr int kNotRecognised = 9009;
const wchar_t* const kSyntaxMessage = L"The syntax of the command is incorrect.";

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

bool Equal(const std::wstring& a, const wchar_t* b)
{
    return _wcsicmp(a.c_str(), b) == 0;
}

std::wstring Trim(const std::wstring& text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

std::wstring TrimStart(const std::wstring& text)
{
    size_t begin = 0;
    while (begin < text.size() && IsBlank(text[begin]))
        ++begin;
    return text.substr(begin);
}

std::wstring StripQuotes(const std::wstring& text)
{
    std::wstring result;
    for (wchar_t c : text)
    {
        if (c != L'"')
            result.push_back(c);
    }
    return result;
}

bool EndsWith(const std::wstring& text, const wchar_t* suffix)
{
    size_t length = wcslen(suffix);
    return text.size() >= length && _wcsicmp(text.c_str() + text.size() - length, suffix) == 0;
}

bool HasExtension(const std::wstring& name)
{
    size_t slash = name.find_last_of(L"\\/:");
    size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && (slash == std::wstring::npos || dot > slash);
}

std::wstring SystemMessage(DWORD error)
{
    wchar_t buffer[512] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, buffer, 512, nullptr);
    std::wstring text(buffer, length < 512 ? length : 0);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? L"Error " + std::to_wstring(error) + L"." : text;
}

bool GetVariable(const std::wstring& name, std::wstring& value)
{
    if (name.empty())
        return false;
    DWORD size = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (size == 0)
        return false;
    std::wstring buffer(size, L'\0');
    DWORD length = GetEnvironmentVariableW(name.c_str(), buffer.data(), size);
    if (length == 0 || length >= size)
        return false;
    buffer.resize(length);
    value = buffer;
    return true;
}

bool IsFile(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsFolder(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The device that swallows output, in any folder and letter case.
bool IsNul(const std::wstring& target)
{
    size_t slash = target.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);
    return Equal(name, L"nul") || Equal(name, L"nul:");
}

bool ReadWhole(const std::wstring& path, std::string& bytes)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return false;
    char buffer[65536];
    size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, count);
    bool ok = ferror(file) == 0;
    fclose(file);
    return ok;
}

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int length = static_cast<int>(text.size());
    int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), length, bytes.data(), size, nullptr, nullptr);
    return bytes;
}

std::wstring FromAnsi(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    int length = static_cast<int>(bytes.size());
    int size = MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
    std::wstring text(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, text.data(), size);
    return text;
}

// An argument of a built-in command, its quotes removed.
struct SArgument
{
    std::wstring text;
    bool quoted = false;
};

std::vector<SArgument> Split(const std::wstring& text)
{
    std::vector<SArgument> arguments;
    SArgument current;
    bool inside = false, quoted = false;
    for (wchar_t c : text)
    {
        if (c == L'"')
        {
            quoted = !quoted;
            current.quoted = inside = true;
        }
        else if (!quoted && IsBlank(c))
        {
            if (inside)
                arguments.push_back(current);
            current = SArgument();
            inside = false;
        }
        else
        {
            current.text.push_back(c);
            inside = true;
        }
    }
    if (inside)
        arguments.push_back(current);
    return arguments;
}

// Where a command's output goes: a standard stream of this process (UTF-8 text, as our other
// programs write), a file (the ANSI code page with CR LF, as on Windows), or nowhere.
class CSink
{
public:
    CSink(FILE* file, bool owned, bool console) : m_File(file), m_Owned(owned), m_Console(console)
    {
    }
    ~CSink()
    {
        if (m_Owned)
            fclose(m_File);
    }
    CSink(const CSink&) = delete;
    CSink& operator=(const CSink&) = delete;

    // Text with LF line ends.
    void Write(const std::wstring& text)
    {
        if (m_File == nullptr)
            return;
        if (m_Console)
        {
            WriteBytes(winport::ToUtf8(text));
            return;
        }
        std::wstring lines;
        for (wchar_t c : text)
        {
            if (c == L'\n')
                lines.push_back(L'\r');
            lines.push_back(c);
        }
        WriteBytes(ToAnsi(lines));
    }
    void WriteBytes(const std::string& bytes)
    {
        if (m_File == nullptr)
            return;
        fwrite(bytes.data(), 1, bytes.size(), m_File);
        fflush(m_File); // a program started next shares the standard streams
    }

private:
    FILE* m_File;
    bool m_Owned;
    bool m_Console;
};

struct SOutputs
{
    std::shared_ptr<CSink> out, err;
};

// ---- Parsing ------------------------------------------------------------------------------------

enum class ELink
{
    Always,    // newline or &
    OnSuccess, // &&
    OnFailure, // ||
};

struct SRedirection
{
    int handle = 1; // 0 input, 1 output, 2 error
    bool append = false;
    int duplicate = -1; // ">&2": the handle whose target it takes
    std::wstring target;
};

struct SNode
{
    enum class EKind
    {
        Command,
        Block,
        If,
    } kind = EKind::Command;
    std::wstring text; // a command, carets and redirections taken out
    std::vector<SRedirection> redirections;
    std::vector<std::pair<ELink, std::unique_ptr<SNode>>> items; // a block
    // An IF: its test ("exist", "errorlevel", "defined" or "=="), operands and branches.
    bool negate = false;
    bool ignoreCase = false;
    std::wstring test, left, right;
    std::unique_ptr<SNode> then, otherwise;
};

// Parses one logical line, already expanded; a block that is still open at the end of the text
// takes the next lines from more.
class CParser
{
public:
    CParser(std::wstring text, std::function<bool(std::wstring&)> more)
        : m_Text(std::move(text)), m_More(std::move(more))
    {
    }

    bool Parse(SNode& sequence)
    {
        sequence.kind = SNode::EKind::Block;
        return Sequence(sequence, false);
    }
    const std::wstring& Error() const { return m_Error; }

private:
    bool AtEnd() const { return m_Pos >= m_Text.size(); }
    wchar_t Peek(size_t ahead = 0) const
    {
        return m_Pos + ahead < m_Text.size() ? m_Text[m_Pos + ahead] : L'\0';
    }
    void SkipBlanks()
    {
        while (IsBlank(Peek()))
            ++m_Pos;
    }
    void SkipLine()
    {
        while (!AtEnd() && Peek() != L'\n')
            ++m_Pos;
    }
    bool Fail(const std::wstring& message)
    {
        m_Error = message;
        return false;
    }
    bool More()
    {
        std::wstring line;
        if (!m_More || !m_More(line))
            return false;
        m_Text += L'\n';
        m_Text += line;
        return true;
    }
    bool EndsCommand(wchar_t c) const
    {
        return c == L'\0' || c == L'\n' || c == L'&' || c == L'|' || (c == L')' && m_Depth > 0);
    }
    // A keyword in any letter case, followed by a blank or the end of the line (or by a block).
    bool Word(const wchar_t* word, bool block = false)
    {
        size_t length = wcslen(word);
        if (_wcsnicmp(m_Text.c_str() + m_Pos, word, length) != 0)
            return false;
        wchar_t after = Peek(length);
        if (after != L'\0' && after != L'\n' && !IsBlank(after) && !(block && after == L'('))
            return false;
        m_Pos += length;
        return true;
    }

    bool EndsLine() const { return AtEnd() || Peek() == L'\n' || (m_Depth > 0 && Peek() == L')'); }

    // Lines up to the end of the text, or of the block.
    bool Sequence(SNode& block, bool inBlock)
    {
        for (;;)
        {
            while (IsBlank(Peek()) || Peek() == L'\n')
                ++m_Pos;
            if (AtEnd())
            {
                if (!inBlock)
                    return true;
                if (!More())
                    return Fail(kSyntaxMessage);
                continue;
            }
            if (inBlock && Peek() == L')')
                return true;
            if (!Line(block, false))
                return false;
        }
    }

    // Statements joined by &, && and || up to the end of the line (or of the block); an IF's
    // command takes the rest of its line, so afterStatement continues one.
    bool Line(SNode& block, bool afterStatement)
    {
        ELink link = ELink::Always;
        bool separated = !afterStatement;
        for (;;)
        {
            SkipBlanks();
            if (!separated)
            {
                if (Peek() == L'&' && Peek(1) == L'&')
                {
                    m_Pos += 2;
                    link = ELink::OnSuccess;
                }
                else if (Peek() == L'|' && Peek(1) == L'|')
                {
                    m_Pos += 2;
                    link = ELink::OnFailure;
                }
                else if (Peek() == L'&')
                    ++m_Pos;
                else if (Peek() == L'|')
                    return Fail(L"Pipes are not supported by this command processor.");
                SkipBlanks();
            }
            if (EndsLine())
                return true;
            size_t start = m_Pos;
            std::unique_ptr<SNode> node;
            if (!Statement(node))
                return false;
            if (node)
                block.items.emplace_back(link, std::move(node));
            link = ELink::Always;
            separated = false;
            if (m_Pos == start)
                ++m_Pos; // a character that begins nothing
        }
    }

    bool Statement(std::unique_ptr<SNode>& node)
    {
        SkipBlanks();
        while (Peek() == L'@')
        {
            ++m_Pos;
            SkipBlanks();
        }
        if (Peek() == L'(')
        {
            ++m_Pos;
            ++m_Depth;
            node = std::make_unique<SNode>();
            node->kind = SNode::EKind::Block;
            if (!Sequence(*node, true))
                return false;
            ++m_Pos; // the closing parenthesis
            --m_Depth;
            for (;;)
            {
                SkipBlanks();
                wchar_t c = Peek();
                if (c != L'>' && c != L'<' && !(iswdigit(c) && Peek(1) == L'>'))
                    return true;
                if (!Redirection(node->redirections))
                    return false;
            }
        }
        if (Peek() == L':' || Word(L"rem"))
        {
            SkipLine(); // a label, a "::" comment or a remark
            return true;
        }
        if (Word(L"if"))
            return If(node);
        return Command(node);
    }

    bool If(std::unique_ptr<SNode>& node)
    {
        auto test = std::make_unique<SNode>();
        test->kind = SNode::EKind::If;
        SkipBlanks();
        if (Word(L"/i"))
        {
            test->ignoreCase = true;
            SkipBlanks();
        }
        if (Word(L"not"))
        {
            test->negate = true;
            SkipBlanks();
        }
        for (const wchar_t* keyword : {L"exist", L"errorlevel", L"defined"})
        {
            if (Word(keyword))
            {
                test->test = keyword;
                break;
            }
        }
        SkipBlanks();
        if (!test->test.empty())
            test->left = Operand(false);
        else
        {
            test->test = L"==";
            test->left = Operand(true);
            SkipBlanks();
            if (Peek() != L'=' || Peek(1) != L'=')
                return Fail(kSyntaxMessage);
            while (Peek() == L'=')
                ++m_Pos;
            SkipBlanks();
            test->right = Operand(true);
        }
        SkipBlanks();
        if (test->left.empty() || EndsCommand(Peek()))
            return Fail(kSyntaxMessage);
        std::unique_ptr<SNode> first;
        if (!Statement(first))
            return false;
        if (first && first->kind == SNode::EKind::Block)
        {
            size_t mark = m_Pos;
            SkipBlanks();
            if (Word(L"else", true))
            {
                test->then = std::move(first);
                test->otherwise = std::make_unique<SNode>();
                test->otherwise->kind = SNode::EKind::Block;
                if (!Line(*test->otherwise, false))
                    return false;
                node = std::move(test);
                return true;
            }
            m_Pos = mark;
        }
        test->then = std::make_unique<SNode>();
        test->then->kind = SNode::EKind::Block;
        if (first)
            test->then->items.emplace_back(ELink::Always, std::move(first));
        if (!Line(*test->then, true))
            return false;
        node = std::move(test);
        return true;
    }

    // An operand of IF: a word, quotes kept; a comparison's also ends at "=".
    std::wstring Operand(bool comparison)
    {
        std::wstring text;
        bool quoted = false;
        while (!AtEnd() && Peek() != L'\n')
        {
            wchar_t c = Peek();
            if (!quoted && (IsBlank(c) || EndsCommand(c) || (comparison && c == L'=')))
                break;
            if (c == L'"')
                quoted = !quoted;
            text.push_back(c);
            ++m_Pos;
        }
        return text;
    }

    bool Redirection(std::vector<SRedirection>& redirections)
    {
        SRedirection redirection;
        if (iswdigit(Peek()))
        {
            redirection.handle = Peek() - L'0';
            ++m_Pos;
        }
        if (Peek() == L'<')
        {
            redirection.handle = 0;
            ++m_Pos;
        }
        else
        {
            ++m_Pos;
            if (Peek() == L'>')
            {
                redirection.append = true;
                ++m_Pos;
            }
        }
        if (Peek() == L'&' && iswdigit(Peek(1)))
        {
            redirection.duplicate = Peek(1) - L'0';
            m_Pos += 2;
        }
        else
        {
            SkipBlanks();
            bool quoted = false;
            while (!AtEnd() && Peek() != L'\n')
            {
                wchar_t c = Peek();
                if (!quoted && (IsBlank(c) || EndsCommand(c) || c == L'<' || c == L'>'))
                    break;
                if (c == L'"')
                    quoted = !quoted;
                else
                    redirection.target.push_back(c);
                ++m_Pos;
            }
            if (redirection.target.empty())
                return Fail(kSyntaxMessage);
        }
        redirections.push_back(redirection);
        return true;
    }

    bool Command(std::unique_ptr<SNode>& node)
    {
        auto command = std::make_unique<SNode>();
        bool quoted = false;
        while (!AtEnd() && Peek() != L'\n')
        {
            wchar_t c = Peek();
            if (!quoted)
            {
                if (EndsCommand(c))
                    break;
                if (c == L'^')
                {
                    // The next character as it is; at the end of a line, the next line follows.
                    ++m_Pos;
                    if (AtEnd() && More())
                        ++m_Pos;
                    else if (Peek() == L'\n')
                        ++m_Pos;
                    if (!AtEnd() && Peek() != L'\n')
                        command->text.push_back(m_Text[m_Pos++]);
                    continue;
                }
                bool handle = iswdigit(c) && Peek(1) == L'>' &&
                              (command->text.empty() || IsBlank(command->text.back()));
                if (c == L'>' || c == L'<' || handle)
                {
                    if (!Redirection(command->redirections))
                        return false;
                    continue;
                }
            }
            if (c == L'"')
                quoted = !quoted;
            command->text.push_back(c);
            ++m_Pos;
        }
        if (!Trim(command->text).empty() || !command->redirections.empty())
            node = std::move(command);
        return true;
    }

    std::wstring m_Text;
    std::function<bool(std::wstring&)> m_More;
    size_t m_Pos = 0;
    int m_Depth = 0;
    std::wstring m_Error;
};

// ---- Running ------------------------------------------------------------------------------------

enum class EFlow
{
    Next,
    Goto,      // to the label
    EndScript, // EXIT /B, or another script named without CALL
    Exit,      // EXIT: the process ends
};

struct SFlow
{
    EFlow kind = EFlow::Next;
    std::wstring label;
};

struct SScript
{
    std::wstring path;                   // full path
    std::vector<std::wstring> arguments; // %0 as invoked, %1...
    std::wstring allArguments;           // %*
    std::vector<std::wstring> lines;
};

class CProcessor
{
public:
    CProcessor()
    {
        m_Console.out = std::make_shared<CSink>(stdout, false, true);
        m_Console.err = std::make_shared<CSink>(stderr, false, true);
        wchar_t folder[MAX_PATH];
        DWORD length = GetCurrentDirectoryW(MAX_PATH, folder);
        m_Current = length > 0 && length < MAX_PATH ? std::wstring(folder, length) : L"C:\\";
    }

    int Main(const std::wstring& line);

private:
    using TBuiltIn = SFlow (CProcessor::*)(const std::wstring&, const SOutputs&);

    std::wstring Absolute(const std::wstring& path) const;
    bool Resolve(const std::wstring& name, std::wstring& found) const;
    bool Lookup(const std::wstring& name, std::wstring& value) const;
    std::wstring Argument(size_t index) const;
    std::wstring Modified(const std::wstring& modifiers, size_t index) const;
    std::wstring Expand(const std::wstring& text, bool inScript) const;
    bool KeepsQuotes(const std::wstring& text) const;

    SFlow RunScript(const std::wstring& path, const std::wstring& invoked,
                    const std::wstring& arguments, const SOutputs& outputs);
    SFlow Run(const SNode& block, const SOutputs& outputs);
    SFlow Execute(const SNode& node, const SOutputs& outputs);
    bool Redirect(const std::vector<SRedirection>& redirections, const SOutputs& base,
                  SOutputs& result) const;
    bool Test(const SNode& node) const;
    SFlow RunCommand(const std::wstring& text, const SOutputs& outputs, bool call);
    SFlow RunProgram(const std::wstring& text, const std::wstring& program,
                     const std::wstring& found, const SOutputs& outputs);
    SFlow Finish(bool ok);
    bool Switches(const std::wstring& text, const wchar_t* known, std::wstring& letters,
                  std::vector<std::wstring>& names, const SOutputs& outputs);
    bool DeleteIn(const std::wstring& folder, const std::wstring& pattern, bool force,
                  bool subfolders, const SOutputs& outputs);
    bool RemoveTree(const std::wstring& folder, const SOutputs& outputs);

    SFlow Echo(const std::wstring& rest, const SOutputs& outputs);
    SFlow Set(const std::wstring& rest, const SOutputs& outputs);
    SFlow Goto(const std::wstring& rest, const SOutputs& outputs);
    SFlow Exit(const std::wstring& rest, const SOutputs& outputs);
    SFlow Call(const std::wstring& rest, const SOutputs& outputs);
    SFlow Cd(const std::wstring& rest, const SOutputs& outputs);
    SFlow Md(const std::wstring& rest, const SOutputs& outputs);
    SFlow Rd(const std::wstring& rest, const SOutputs& outputs);
    SFlow Del(const std::wstring& rest, const SOutputs& outputs);
    SFlow Type(const std::wstring& rest, const SOutputs& outputs);
    SFlow Ping(const std::wstring& rest, const SOutputs& outputs);

    SOutputs m_Console;
    std::wstring m_Current; // the current folder, kept here: relative paths resolve against it
    int m_ErrorLevel = 0;
    int m_ExitCode = 0;
    bool m_Succeeded = true; // of the last command, for && and ||
    const SScript* m_Script = nullptr;
};

// A path made absolute against the current folder, "." and ".." resolved (never above the root).
std::wstring CProcessor::Absolute(const std::wstring& path) const
{
    std::wstring text = path;
    std::replace(text.begin(), text.end(), L'/', L'\\');
    std::wstring full;
    if (text.size() >= 2 && text[1] == L':')
        full = text.size() == 2 || text[2] != L'\\' ? text.substr(0, 2) + L"\\" + text.substr(2)
                                                    : text;
    else if (text.compare(0, 2, L"\\\\") == 0)
        full = text;
    else if (!text.empty() && text[0] == L'\\')
    {
        size_t rootEnd = m_Current.size() >= 2 && m_Current[1] == L':' ? 2 : std::wstring::npos;
        if (rootEnd == std::wstring::npos)
        {
            size_t server = m_Current.find(L'\\', 2);
            rootEnd =
                server == std::wstring::npos ? m_Current.size() : m_Current.find(L'\\', server + 1);
        }
        full = m_Current.substr(0, rootEnd) + text;
    }
    else
        full = m_Current + (m_Current.empty() || m_Current.back() != L'\\' ? L"\\" : L"") + text;

    // The root ("C:" or "\\server\share") stays; the components below it are normalised.
    std::wstring root;
    size_t rest = 0;
    if (full.compare(0, 2, L"\\\\") == 0)
    {
        size_t server = full.find(L'\\', 2);
        size_t share =
            server == std::wstring::npos ? std::wstring::npos : full.find(L'\\', server + 1);
        root = full.substr(0, share);
        rest = share == std::wstring::npos ? full.size() : share;
    }
    else
    {
        root = full.substr(0, 2);
        rest = 2;
    }
    std::vector<std::wstring> components;
    while (rest < full.size())
    {
        size_t end = full.find(L'\\', rest + 1);
        if (end == std::wstring::npos)
            end = full.size();
        std::wstring component = full.substr(rest + 1, end - rest - 1);
        if (component == L"..")
        {
            if (!components.empty())
                components.pop_back();
        }
        else if (!component.empty() && component != L".")
            components.push_back(component);
        rest = end;
    }
    std::wstring result = root;
    for (const std::wstring& component : components)
        result += L"\\" + component;
    if (components.empty() && root.size() == 2)
        result += L"\\";
    return result;
}

// A program name in the current folder or by its path, with the extensions of PATHEXT.
bool CProcessor::Resolve(const std::wstring& name, std::wstring& found) const
{
    if (name.empty())
        return false;
    std::wstring base = Absolute(name);
    if (HasExtension(name) && IsFile(base))
    {
        found = base;
        return true;
    }
    std::wstring extensions;
    if (!GetVariable(L"PATHEXT", extensions))
        extensions = L".COM;.EXE;.BAT;.CMD";
    size_t start = 0;
    while (start <= extensions.size())
    {
        size_t end = extensions.find(L';', start);
        if (end == std::wstring::npos)
            end = extensions.size();
        std::wstring extension = extensions.substr(start, end - start);
        if (!extension.empty() && IsFile(base + extension))
        {
            found = base + extension;
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool CProcessor::Lookup(const std::wstring& name, std::wstring& value) const
{
    if (GetVariable(name, value))
        return true;
    if (Equal(name, L"ERRORLEVEL"))
        value = std::to_wstring(m_ErrorLevel);
    else if (Equal(name, L"CD"))
        value = m_Current;
    else
        return false;
    return true;
}

std::wstring CProcessor::Argument(size_t index) const
{
    return m_Script != nullptr && index < m_Script->arguments.size() ? m_Script->arguments[index]
                                                                     : std::wstring();
}

// %~ modifiers of an argument: none removes its quotes; f d p n x take its full path apart.
std::wstring CProcessor::Modified(const std::wstring& modifiers, size_t index) const
{
    std::wstring value = StripQuotes(Argument(index));
    if (modifiers.empty() || value.empty())
        return value;
    std::wstring full = index == 0 ? m_Script->path : Absolute(value);
    size_t slash = full.rfind(L'\\');
    std::wstring folder = full.substr(0, slash + 1);
    std::wstring name = full.substr(slash + 1);
    size_t rootEnd = full.size() >= 2 && full[1] == L':' ? 2 : 0;
    size_t dot = name.rfind(L'.');
    bool all = modifiers.find_first_of(L"fF") != std::wstring::npos;
    auto has = [&modifiers, all](wchar_t letter)
    {
        return all || modifiers.find(letter) != std::wstring::npos ||
               modifiers.find(static_cast<wchar_t>(towupper(letter))) != std::wstring::npos;
    };
    std::wstring result;
    if (has(L'd'))
        result += folder.substr(0, rootEnd);
    if (has(L'p'))
        result += folder.substr(rootEnd);
    if (has(L'n'))
        result += name.substr(0, dot);
    if (has(L'x') && dot != std::wstring::npos)
        result += name.substr(dot);
    return result;
}

// Percent expansion of a line as it is read.
std::wstring CProcessor::Expand(const std::wstring& text, bool inScript) const
{
    std::wstring out;
    size_t i = 0;
    while (i < text.size())
    {
        if (text[i] != L'%')
        {
            out.push_back(text[i++]);
            continue;
        }
        wchar_t next = i + 1 < text.size() ? text[i + 1] : L'\0';
        if (inScript)
        {
            if (next == L'%')
            {
                out.push_back(L'%');
                i += 2;
                continue;
            }
            if (next >= L'0' && next <= L'9')
            {
                out += Argument(static_cast<size_t>(next - L'0'));
                i += 2;
                continue;
            }
            if (next == L'*')
            {
                out += m_Script != nullptr ? m_Script->allArguments : L"";
                i += 2;
                continue;
            }
            if (next == L'~')
            {
                size_t end = i + 2;
                while (end < text.size() && text[end] != L'\0' &&
                       wcschr(L"fdpnxFDPNX", text[end]) != nullptr)
                    ++end;
                if (end < text.size() && text[end] >= L'0' && text[end] <= L'9')
                {
                    out += Modified(text.substr(i + 2, end - i - 2),
                                    static_cast<size_t>(text[end] - L'0'));
                    i = end + 1;
                    continue;
                }
            }
        }
        size_t close = text.find(L'%', i + 1);
        if (close != std::wstring::npos && close > i + 1)
        {
            std::wstring value;
            if (Lookup(text.substr(i + 1, close - i - 1), value))
            {
                out += value;
                i = close + 1;
                continue;
            }
            if (inScript)
            {
                i = close + 1;
                continue;
            }
        }
        else if (inScript)
        {
            ++i; // a lone percent sign
            continue;
        }
        out.push_back(L'%');
        ++i;
    }
    return out;
}

// Whether /c keeps the quotes around its command: exactly two, no special character between
// them, a blank between them, and they name a program; else the first and the last go.
bool CProcessor::KeepsQuotes(const std::wstring& text) const
{
    if (std::count(text.begin(), text.end(), L'"') != 2)
        return false;
    std::wstring inside = text.substr(1, text.find(L'"', 1) - 1);
    std::wstring found;
    return inside.find_first_of(L"&<>()@^|") == std::wstring::npos &&
           inside.find_first_of(L" \t") != std::wstring::npos && Resolve(inside, found);
}

int CProcessor::Main(const std::wstring& line)
{
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i]))
        ++i;
    if (i < line.size() && line[i] == L'"')
    {
        size_t close = line.find(L'"', i + 1);
        i = close == std::wstring::npos ? line.size() : close + 1;
    }
    else
    {
        while (i < line.size() && !IsBlank(line[i]))
            ++i;
    }
    bool command = false, strip = false;
    while (!command)
    {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i + 1 >= line.size() || line[i] != L'/')
            break;
        wchar_t option = static_cast<wchar_t>(towlower(line[i + 1]));
        i += 2;
        if (option == L'c' || option == L'k')
            command = true;
        else
        {
            // /d, /q and the others change nothing here.
            if (option == L's')
                strip = true;
            while (i < line.size() && !IsBlank(line[i]) && line[i] != L'/')
                ++i;
        }
    }
    if (!command)
    {
        m_Console.err->Write(L"This command processor runs commands with /c only: "
                             L"cmd.exe /c COMMAND\n");
        return 1;
    }
    std::wstring text = TrimStart(line.substr(i));
    if (!text.empty() && text[0] == L'"' && (strip || !KeepsQuotes(text)))
    {
        text.erase(0, 1);
        size_t last = text.rfind(L'"');
        if (last != std::wstring::npos)
            text.erase(last, 1);
    }
    CParser parser(Expand(text, false), nullptr);
    SNode sequence;
    if (!parser.Parse(sequence))
    {
        m_Console.err->Write(parser.Error() + L"\n");
        return kSyntaxError;
    }
    SFlow flow = Run(sequence, m_Console);
    return flow.kind == EFlow::Exit ? m_ExitCode : m_ErrorLevel;
}

// Runs a script, read whole first; returns Next or Exit.
SFlow CProcessor::RunScript(const std::wstring& path, const std::wstring& invoked,
                            const std::wstring& arguments, const SOutputs& outputs)
{
    SScript script;
    script.path = path;
    std::string bytes;
    if (!ReadWhole(path, bytes))
    {
        outputs.err->Write(L"The batch file cannot be found.\n");
        m_ErrorLevel = 1;
        m_Succeeded = false;
        return SFlow();
    }
    std::wstring text = FromAnsi(bytes);
    text.erase(std::remove(text.begin(), text.end(), L'\0'), text.end());
    for (size_t start = 0; start < text.size();)
    {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        script.lines.push_back(line);
        start = end + 1;
    }
    // %1... are split at blanks, commas, semicolons and equal signs; quotes stay in them.
    script.arguments.push_back(invoked);
    script.allArguments = Trim(arguments);
    std::wstring current;
    bool quoted = false;
    for (wchar_t c : arguments + L" ")
    {
        if (c == L'"')
            quoted = !quoted;
        if (!quoted && (IsBlank(c) || c == L',' || c == L';' || c == L'='))
        {
            if (!current.empty())
                script.arguments.push_back(current);
            current.clear();
        }
        else
            current.push_back(c);
    }

    const SScript* caller = m_Script;
    m_Script = &script;
    SFlow flow;
    size_t line = 0;
    while (line < script.lines.size())
    {
        size_t next = line + 1;
        CParser parser(Expand(script.lines[line], true),
                       [this, &script, &next](std::wstring& more)
                       {
                           if (next >= script.lines.size())
                               return false;
                           more = Expand(script.lines[next++], true);
                           return true;
                       });
        SNode sequence;
        if (!parser.Parse(sequence))
        {
            // As on Windows, a line that does not parse ends the script.
            outputs.err->Write(parser.Error() + L"\n");
            m_ErrorLevel = kSyntaxError;
            m_Succeeded = false;
            break;
        }
        line = next;
        flow = Run(sequence, outputs);
        if (flow.kind == EFlow::Goto)
        {
            std::wstring label = flow.label;
            flow = SFlow();
            if (Equal(label, L":eof"))
                break;
            if (label[0] == L':')
                label.erase(0, 1);
            // The label is searched from here to the end, then from the start.
            size_t target = std::wstring::npos;
            for (size_t n = 0; n < script.lines.size() && target == std::wstring::npos; ++n)
            {
                size_t index = (line + n) % script.lines.size();
                std::wstring candidate = TrimStart(script.lines[index]);
                if (candidate.empty() || candidate[0] != L':')
                    continue;
                size_t end = candidate.find_first_of(L" \t&|<>()", 1);
                if (Equal(candidate.substr(1, end == std::wstring::npos ? end : end - 1),
                          label.c_str()))
                    target = index;
            }
            if (target == std::wstring::npos)
            {
                outputs.err->Write(L"The system cannot find the batch label specified - " + label +
                                   L"\n");
                m_ErrorLevel = 1;
                m_Succeeded = false;
                break;
            }
            line = target + 1;
            continue;
        }
        if (flow.kind == EFlow::EndScript)
        {
            flow = SFlow();
            break;
        }
        if (flow.kind == EFlow::Exit)
            break;
    }
    m_Script = caller;
    return flow.kind == EFlow::Exit ? flow : SFlow();
}

SFlow CProcessor::Run(const SNode& block, const SOutputs& outputs)
{
    for (const auto& [link, node] : block.items)
    {
        if ((link == ELink::OnSuccess && !m_Succeeded) || (link == ELink::OnFailure && m_Succeeded))
            continue;
        SFlow flow = Execute(*node, outputs);
        if (flow.kind != EFlow::Next)
            return flow;
    }
    return SFlow();
}

SFlow CProcessor::Execute(const SNode& node, const SOutputs& outputs)
{
    SOutputs redirected;
    if (!Redirect(node.redirections, outputs, redirected))
    {
        m_ErrorLevel = 1;
        m_Succeeded = false;
        return SFlow();
    }
    switch (node.kind)
    {
    case SNode::EKind::Block:
        return Run(node, redirected);
    case SNode::EKind::If:
        if (Test(node) != node.negate)
            return node.then ? Execute(*node.then, redirected) : SFlow();
        return node.otherwise ? Execute(*node.otherwise, redirected) : SFlow();
    default:
        return RunCommand(node.text, redirected, false);
    }
}

bool CProcessor::Redirect(const std::vector<SRedirection>& redirections, const SOutputs& base,
                          SOutputs& result) const
{
    result = base;
    for (const SRedirection& redirection : redirections)
    {
        std::shared_ptr<CSink> sink;
        if (redirection.handle == 0)
        {
            if (!IsNul(redirection.target) && !IsFile(Absolute(redirection.target)))
            {
                base.err->Write(L"The system cannot find the file specified.\n");
                return false;
            }
            continue; // nothing here reads its input
        }
        if (redirection.duplicate >= 0)
            sink = redirection.duplicate == 1   ? result.out
                   : redirection.duplicate == 2 ? result.err
                                                : nullptr;
        else if (IsNul(redirection.target))
            sink = std::make_shared<CSink>(nullptr, false, false);
        else
        {
            FILE* file =
                _wfopen(Absolute(redirection.target).c_str(), redirection.append ? L"ab" : L"wb");
            if (file == nullptr)
            {
                base.err->Write(L"The system cannot find the path specified.\n");
                return false;
            }
            sink = std::make_shared<CSink>(file, true, false);
        }
        if (sink && redirection.handle == 1)
            result.out = sink;
        else if (sink && redirection.handle == 2)
            result.err = sink;
    }
    return true;
}

bool CProcessor::Test(const SNode& node) const
{
    if (node.test == L"exist")
    {
        std::wstring path = StripQuotes(node.left);
        if (path.empty())
            return false;
        std::wstring full = Absolute(path);
        if (full.find_first_of(L"*?") == std::wstring::npos)
            return GetFileAttributesW(full.c_str()) != INVALID_FILE_ATTRIBUTES;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(full.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return false;
        bool found = false;
        do
            found = wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0;
        while (!found && FindNextFileW(find, &data));
        FindClose(find);
        return found;
    }
    if (node.test == L"errorlevel")
        return m_ErrorLevel >= _wtoi(node.left.c_str());
    if (node.test == L"defined")
    {
        std::wstring value;
        return GetVariable(node.left, value);
    }
    return node.ignoreCase ? _wcsicmp(node.left.c_str(), node.right.c_str()) == 0
                           : node.left == node.right;
}

SFlow CProcessor::RunCommand(const std::wstring& commandText, const SOutputs& outputs, bool call)
{
    size_t start = 0;
    while (start < commandText.size() &&
           (IsBlank(commandText[start]) || commandText[start] == L'@'))
        ++start;
    std::wstring text = commandText.substr(start);
    while (!text.empty() && IsBlank(text.back()))
        text.pop_back();
    if (text.empty())
        return SFlow(); // a redirection alone: its file is made, nothing runs
    size_t end = 0;
    if (text[0] == L'"')
    {
        end = text.find(L'"', 1);
        end = end == std::wstring::npos ? text.size() : end + 1;
    }
    while (end < text.size() && !IsBlank(text[end]))
        ++end;
    std::wstring word = text.substr(0, end);

    // Built-in commands; some also end at a delimiter, as "echo." and "cd.." do.
    static const struct
    {
        const wchar_t* name;
        TBuiltIn run;
        bool delimited;
    } kBuiltIns[] = {
        {L"echo", &CProcessor::Echo, true},  {L"set", &CProcessor::Set, true},
        {L"goto", &CProcessor::Goto, true},  {L"exit", &CProcessor::Exit, true},
        {L"call", &CProcessor::Call, true},  {L"cd", &CProcessor::Cd, true},
        {L"chdir", &CProcessor::Cd, true},   {L"md", &CProcessor::Md, true},
        {L"mkdir", &CProcessor::Md, true},   {L"rd", &CProcessor::Rd, true},
        {L"rmdir", &CProcessor::Rd, true},   {L"del", &CProcessor::Del, true},
        {L"erase", &CProcessor::Del, true},  {L"type", &CProcessor::Type, true},
        {L"ping", &CProcessor::Ping, false}, {L"ping.exe", &CProcessor::Ping, false},
    };
    for (const auto& builtIn : kBuiltIns)
    {
        size_t length = wcslen(builtIn.name);
        if (word.size() >= length && _wcsnicmp(word.c_str(), builtIn.name, length) == 0 &&
            (word.size() == length ||
             (builtIn.delimited && wcschr(L".\\/:[+(,;=", word[length]) != nullptr)))
            return (this->*builtIn.run)(text.substr(length), outputs);
    }

    std::wstring program = StripQuotes(word);
    std::wstring found;
    if (Resolve(program, found) && (EndsWith(found, L".bat") || EndsWith(found, L".cmd")))
    {
        SFlow flow = RunScript(found, word, text.substr(end), outputs);
        if (flow.kind == EFlow::Exit)
            return flow;
        m_Succeeded = m_ErrorLevel == 0;
        // Without CALL the script that named it does not go on.
        return call || m_Script == nullptr ? SFlow() : SFlow{EFlow::EndScript, L""};
    }
    return RunProgram(text, program, found, outputs);
}

SFlow CProcessor::RunProgram(const std::wstring& text, const std::wstring& program,
                             const std::wstring& found, const SOutputs& outputs)
{
    fflush(stdout);
    fflush(stderr);
    std::wstring line = text;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information = {};
    if (!CreateProcessW(found.empty() ? nullptr : found.c_str(), line.data(), nullptr, nullptr,
                        TRUE, 0, nullptr, m_Current.c_str(), &startup, &information))
    {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_INVALID_NAME || error == ERROR_BAD_PATHNAME)
        {
            outputs.err->Write(L"'" + program +
                               L"' is not recognized as an internal or external command, "
                               L"operable program or batch file.\n");
            m_ErrorLevel = kNotRecognised;
        }
        else
        {
            outputs.err->Write(SystemMessage(error) + L"\n");
            m_ErrorLevel = 1;
        }
        m_Succeeded = false;
        return SFlow();
    }
    WaitForSingleObject(information.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(information.hProcess, &code);
    CloseHandle(information.hThread);
    CloseHandle(information.hProcess);
    m_ErrorLevel = static_cast<int>(code);
    m_Succeeded = code == 0;
    return SFlow();
}

SFlow CProcessor::Finish(bool ok)
{
    m_ErrorLevel = ok ? 0 : 1;
    m_Succeeded = ok;
    return SFlow();
}

// A built-in's switches ("/q", "/Q/F", "/s") as lower-case letters, and its other arguments.
bool CProcessor::Switches(const std::wstring& text, const wchar_t* known, std::wstring& letters,
                          std::vector<std::wstring>& names, const SOutputs& outputs)
{
    for (const SArgument& argument : Split(text))
    {
        if (argument.quoted || argument.text.empty() || argument.text[0] != L'/')
        {
            names.push_back(argument.text);
            continue;
        }
        for (size_t at = 0; at != std::wstring::npos; at = argument.text.find(L'/', at + 1))
        {
            wchar_t letter = at + 1 < argument.text.size()
                                 ? static_cast<wchar_t>(towlower(argument.text[at + 1]))
                                 : L'\0';
            if (letter == L'\0' || wcschr(known, letter) == nullptr)
            {
                outputs.err->Write(L"Invalid switch - " + argument.text + L"\n");
                return false;
            }
            letters.push_back(letter);
        }
    }
    return true;
}

SFlow CProcessor::Echo(const std::wstring& rest, const SOutputs& outputs)
{
    std::wstring text = rest.empty() ? rest : rest.substr(1);
    std::wstring word = Trim(text);
    bool blank = rest.empty() || IsBlank(rest[0]);
    if (blank && word.empty())
        outputs.out->Write(L"ECHO is off.\n");
    else if (!(blank && (Equal(word, L"on") || Equal(word, L"off"))))
        outputs.out->Write(text + L"\n");
    m_Succeeded = true;
    return SFlow();
}

SFlow CProcessor::Set(const std::wstring& rest, const SOutputs& outputs)
{
    std::wstring text = TrimStart(rest);
    if (_wcsnicmp(text.c_str(), L"/a", 2) == 0 || _wcsnicmp(text.c_str(), L"/p", 2) == 0)
    {
        outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
        return Finish(false);
    }
    if (!text.empty() && text[0] == L'"')
    {
        size_t close = text.rfind(L'"');
        text = close > 0 ? text.substr(1, close - 1) : text.substr(1);
    }
    size_t equal = text.find(L'=');
    if (equal == std::wstring::npos)
    {
        std::wstring name = Trim(text), value;
        if (name.empty())
        {
            outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
            return Finish(false);
        }
        if (!GetVariable(name, value))
        {
            outputs.err->Write(L"Environment variable " + name + L" not defined\n");
            return Finish(false);
        }
        outputs.out->Write(name + L"=" + value + L"\n");
        m_Succeeded = true;
        return SFlow();
    }
    std::wstring name = text.substr(0, equal), value = text.substr(equal + 1);
    if (name.empty() ||
        !SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str()))
    {
        outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
        return Finish(false);
    }
    m_Succeeded = true;
    return SFlow();
}

SFlow CProcessor::Goto(const std::wstring& rest, const SOutputs& outputs)
{
    // ":eof" stays as it is: it names the end of the script, not a label.
    std::wstring label = TrimStart(rest);
    label = label.substr(0, label.find_first_of(L" \t&|<>()", 1));
    if (label.empty() || label == L":")
    {
        outputs.err->Write(L"No batch label specified to GOTO command.\n");
        return Finish(false);
    }
    if (m_Script == nullptr)
    {
        outputs.err->Write(L"Invalid attempt to call batch label outside of batch script.\n");
        return Finish(false);
    }
    return SFlow{EFlow::Goto, label};
}

SFlow CProcessor::Exit(const std::wstring& rest, const SOutputs&)
{
    bool batch = false;
    std::wstring number;
    for (const SArgument& argument : Split(rest))
    {
        if (Equal(argument.text, L"/b"))
            batch = true;
        else if (number.empty())
            number = argument.text;
    }
    int code = number.empty() ? m_ErrorLevel : _wtoi(number.c_str());
    if (batch)
    {
        m_ErrorLevel = code;
        m_Succeeded = code == 0;
        return SFlow{EFlow::EndScript, L""};
    }
    m_ExitCode = code;
    return SFlow{EFlow::Exit, L""};
}

SFlow CProcessor::Call(const std::wstring& rest, const SOutputs& outputs)
{
    return RunCommand(TrimStart(rest), outputs, true);
}

SFlow CProcessor::Cd(const std::wstring& rest, const SOutputs& outputs)
{
    std::wstring text = Trim(rest);
    if (_wcsnicmp(text.c_str(), L"/d", 2) == 0 && (text.size() == 2 || IsBlank(text[2])))
        text = text.substr(2);
    text = Trim(StripQuotes(text));
    if (text.empty())
    {
        outputs.out->Write(m_Current + L"\n");
        m_Succeeded = true;
        return SFlow();
    }
    // A folder on another drive becomes current at once, as with /d.
    std::wstring folder = Absolute(text);
    if (!IsFolder(folder))
    {
        outputs.err->Write(L"The system cannot find the path specified.\n");
        return Finish(false);
    }
    m_Current = folder;
    return Finish(true);
}

// Creates a folder and the folders above it that are missing.
bool MakeFolder(const std::wstring& path)
{
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    DWORD error = GetLastError();
    size_t slash = path.rfind(L'\\');
    if ((error != ERROR_PATH_NOT_FOUND && error != ERROR_FILE_NOT_FOUND) ||
        slash == std::wstring::npos || slash < 3)
        return false;
    std::wstring parent = path.substr(0, slash);
    if (!IsFolder(parent) && !MakeFolder(parent))
        return false;
    return CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

SFlow CProcessor::Md(const std::wstring& rest, const SOutputs& outputs)
{
    std::wstring letters;
    std::vector<std::wstring> names;
    if (!Switches(rest, L"", letters, names, outputs))
        return Finish(false);
    if (names.empty())
    {
        outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
        return Finish(false);
    }
    bool ok = true;
    for (const std::wstring& name : names)
    {
        std::wstring path = Absolute(name);
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        {
            outputs.err->Write(L"A subdirectory or file " + name + L" already exists.\n");
            ok = false;
        }
        else if (!MakeFolder(path))
        {
            outputs.err->Write(SystemMessage(GetLastError()) + L"\n");
            ok = false;
        }
    }
    return Finish(ok);
}

// Deletes a folder with everything in it, read-only files too; what cannot go is reported.
bool CProcessor::RemoveTree(const std::wstring& folder, const SOutputs& outputs)
{
    bool ok = true;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            {
                ok = RemoveTree(path, outputs) && ok;
                continue;
            }
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
                SetFileAttributesW(path.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            if (!DeleteFileW(path.c_str()))
            {
                outputs.err->Write(path + L" - " + SystemMessage(GetLastError()) + L"\n");
                ok = false;
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    if (ok && !RemoveDirectoryW(folder.c_str()))
    {
        outputs.err->Write(SystemMessage(GetLastError()) + L"\n");
        ok = false;
    }
    return ok;
}

SFlow CProcessor::Rd(const std::wstring& rest, const SOutputs& outputs)
{
    std::wstring letters;
    std::vector<std::wstring> names;
    if (!Switches(rest, L"sq", letters, names, outputs))
        return Finish(false);
    if (names.empty())
    {
        outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
        return Finish(false);
    }
    bool tree = letters.find(L's') != std::wstring::npos;
    bool ok = true;
    for (const std::wstring& name : names)
    {
        std::wstring folder = Absolute(name);
        DWORD attributes = GetFileAttributesW(folder.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
        {
            outputs.err->Write(L"The system cannot find the file specified.\n");
            ok = false;
        }
        else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        {
            outputs.err->Write(L"The directory name is invalid.\n");
            ok = false;
        }
        else if (tree)
            ok = RemoveTree(folder, outputs) && ok;
        else if (!RemoveDirectoryW(folder.c_str()))
        {
            outputs.err->Write(SystemMessage(GetLastError()) + L"\n");
            ok = false;
        }
    }
    return Finish(ok);
}

// Deletes the files of a folder that match the pattern (and of its sub-folders); false when
// none matched.
bool CProcessor::DeleteIn(const std::wstring& folder, const std::wstring& pattern, bool force,
                          bool subfolders, const SOutputs& outputs)
{
    bool matched = false;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\" + pattern).c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
                continue;
            matched = true;
            std::wstring path = folder + L"\\" + data.cFileName;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
            {
                if (!force)
                {
                    outputs.err->Write(path + L"\nAccess is denied.\n");
                    continue;
                }
                SetFileAttributesW(path.c_str(), data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            }
            if (!DeleteFileW(path.c_str()))
                outputs.err->Write(path + L"\n" + SystemMessage(GetLastError()) + L"\n");
            else if (subfolders)
                outputs.out->Write(L"Deleted file - " + path + L"\n");
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    if (!subfolders)
        return matched;
    find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return matched;
    std::vector<std::wstring> children;
    do
    {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            children.push_back(folder + L"\\" + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const std::wstring& child : children)
        matched = DeleteIn(child, pattern, force, true, outputs) || matched;
    return matched;
}

// DEL leaves ERRORLEVEL 0 when files cannot be found or deleted, as on Windows; the messages
// say what happened.
SFlow CProcessor::Del(const std::wstring& rest, const SOutputs& outputs)
{
    std::wstring letters;
    std::vector<std::wstring> names;
    if (!Switches(rest, L"qfspa", letters, names, outputs))
        return Finish(false);
    if (names.empty())
    {
        outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
        return Finish(false);
    }
    bool force = letters.find(L'f') != std::wstring::npos;
    bool subfolders = letters.find(L's') != std::wstring::npos;
    for (const std::wstring& name : names)
    {
        std::wstring full = Absolute(name);
        std::wstring folder = full, pattern = L"*";
        if (!IsFolder(full))
        {
            size_t slash = full.rfind(L'\\');
            folder = full.substr(0, slash);
            pattern = full.substr(slash + 1);
        }
        if (!IsFolder(folder))
            outputs.err->Write(L"The system cannot find the path specified.\n");
        else if (!DeleteIn(folder, pattern, force, subfolders, outputs))
            outputs.err->Write(L"Could Not Find " + full + L"\n");
    }
    return Finish(true);
}

SFlow CProcessor::Type(const std::wstring& rest, const SOutputs& outputs)
{
    std::vector<SArgument> arguments = Split(rest);
    if (arguments.empty())
    {
        outputs.err->Write(std::wstring(kSyntaxMessage) + L"\n");
        return Finish(false);
    }
    bool ok = true;
    for (const SArgument& argument : arguments)
    {
        std::string bytes;
        if (!IsFile(Absolute(argument.text)) || !ReadWhole(Absolute(argument.text), bytes))
        {
            outputs.err->Write(L"The system cannot find the file specified.\n");
            ok = false;
            continue;
        }
        outputs.out->WriteBytes(bytes);
    }
    return Finish(ok);
}

// Answers for this machine's own names only, once a second.
SFlow CProcessor::Ping(const std::wstring& rest, const SOutputs& outputs)
{
    std::vector<SArgument> arguments = Split(rest);
    long count = 4;
    std::wstring host;
    for (size_t i = 0; i < arguments.size(); ++i)
    {
        const std::wstring& argument = arguments[i].text;
        bool option = !argument.empty() && (argument[0] == L'-' || argument[0] == L'/');
        if (option && argument.size() == 2 && i + 1 < arguments.size() &&
            wcschr(L"nNwWlLiI", argument[1]) != nullptr)
        {
            ++i;
            if (argument[1] == L'n' || argument[1] == L'N')
                count = wcstol(arguments[i].text.c_str(), nullptr, 10);
        }
        else if (!option && host.empty())
            host = argument;
    }
    if (host.empty() || count < 1)
    {
        outputs.err->Write(L"Usage: ping [-n count] [-w timeout] target_name\n");
        return Finish(false);
    }
    std::wstring computer;
    bool local = Equal(host, L"localhost") || host.compare(0, 4, L"127.") == 0 || host == L"::1" ||
                 (GetVariable(L"COMPUTERNAME", computer) && Equal(host, computer.c_str()));
    if (!local)
    {
        outputs.out->Write(L"Ping request could not find host " + host +
                           L". Please check the name and try again.\n");
        return Finish(false);
    }
    outputs.out->Write(L"\nPinging " + host + L" with 32 bytes of data:\n");
    for (long i = 0; i < count; ++i)
    {
        if (i > 0)
            Sleep(1000);
        outputs.out->Write(L"Reply from " + host + L": bytes=32 time<1ms TTL=128\n");
    }
    std::wstring sent = std::to_wstring(count);
    outputs.out->Write(L"\nPing statistics for " + host + L":\n    Packets: Sent = " + sent +
                       L", Received = " + sent + L", Lost = 0 (0% loss),\n");
    return Finish(true);
}

} // namespace

int main()
{
    int code = 0;
    {
        CProcessor processor;
        code = processor.Main(GetCommandLineW());
    }
    ExitProcess(static_cast<UINT>(code));
}
