#include "framework/EscapeText.h"

#include "framework/CAdvancedLog.h"

#include <cwchar>

namespace framework
{

void AppendEscaped(std::wstring& out, const wchar_t* text, size_t length)
{
    out.reserve(out.size() + length + length / 8);
    const wchar_t* end = text + length;
    while (text < end)
    {
        // Copy the run up to the next character that needs an escape in one step.
        const wchar_t* run = text;
        while (text < end && *text != L'\\' && *text != L'\r' && *text != L'\n')
            ++text;
        out.append(run, static_cast<size_t>(text - run));
        if (text == end)
            break;
        out.push_back(L'\\');
        out.push_back(*text == L'\\' ? L'\\' : *text == L'\r' ? L'r' : L'n');
        ++text;
    }
}

void AppendUnescaped(std::wstring& out, const wchar_t* text, size_t length)
{
    out.reserve(out.size() + length);
    const wchar_t* end = text + length;
    while (text < end)
    {
        const wchar_t* backslash = wmemchr(text, L'\\', static_cast<size_t>(end - text));
        if (backslash == nullptr)
        {
            out.append(text, static_cast<size_t>(end - text));
            break;
        }
        out.append(text, static_cast<size_t>(backslash - text));
        text = backslash + 1;
        if (text == end)
            break; // a last lone backslash is dropped
        switch (*text)
        {
        case L'\\':
            out.push_back(L'\\');
            ++text;
            break;
        case L't':
        case L'T':
            out.push_back(L'\t');
            ++text;
            break;
        case L'r':
        case L'R':
            out.push_back(L'\r');
            ++text;
            break;
        case L'n':
        case L'N':
            out.push_back(L'\n');
            ++text;
            break;
        default:
        {
            // Both stay: the backslash, and the next character as an ordinary one.
            wchar_t shown[2] = {*text, L'\0'};
            ADVLOG(ADVLOG_SEVERITY_WARNING, L"Invalid esacpe character: %s", shown);
            out.push_back(L'\\');
            break;
        }
        }
    }
}

} // namespace framework
