// File name patterns as the Windows file system matches them. Pure logic, no system calls.
#include "winport/NameExpression.h"

#include "winport/WinMachine.h"

#include <algorithm>
#include <vector>

namespace winport
{

std::wstring DosExpression(const std::wstring& pattern)
{
    if (pattern == L"*.*")
        return L"*";
    std::wstring expression = pattern;
    for (size_t i = 0; i < expression.size(); ++i)
    {
        wchar_t next = i + 1 < pattern.size() ? pattern[i + 1] : L'\0';
        if (pattern[i] == L'?')
            expression[i] = kDosQm;
        else if (pattern[i] == L'*' && next == L'.')
            expression[i] = kDosStar;
        else if (pattern[i] == L'.' && (next == L'?' || next == L'*' || next == L'\0'))
            expression[i] = kDosDot;
    }
    return expression;
}

// A nondeterministic automaton run over the name: the set of expression states reached so far
// is carried from one name character to the next. Expression offset i is state 2i; "*" and
// DOS_STAR also have state 2i + 1, "past the star". State 2 * length is the match. One step
// beyond the name's end lets the wildcards that match nothing there finish.
bool IsNameInExpression(const std::wstring& expression, const std::wstring& name, bool ignoreCase)
{
    if (expression.empty())
        return name.empty();
    if (expression == L"*")
        return true;
    const size_t length = expression.size();
    const size_t matched = 2 * length;
    std::vector<size_t> previous{0};
    std::vector<size_t> current;
    size_t nameOffset = 0;
    wchar_t nameChar = 0;
    bool nameFinished = false;
    while (!nameFinished)
    {
        if (nameOffset < name.size())
            nameChar = name[nameOffset++];
        else
        {
            nameFinished = true;
            if (previous.back() == matched)
                break;
        }
        current.clear();
        for (size_t state : previous)
        {
            size_t exprOffset = (state + 1) / 2;
            size_t step = 0;
            // Wildcards that may match nothing go on to the next expression character
            // (continue); those that take this name character stop here (break).
            for (;;)
            {
                if (exprOffset == length)
                    break;
                exprOffset += step;
                step = 1;
                size_t next = exprOffset * 2;
                if (exprOffset == length)
                {
                    current.push_back(matched);
                    break;
                }
                wchar_t exprChar = expression[exprOffset];
                if (exprChar == L'*')
                {
                    current.push_back(next);
                    current.push_back(next + 1);
                    continue;
                }
                if (exprChar == kDosStar)
                {
                    // DOS_STAR takes a dot only when it is not the name's last one.
                    bool canEatDot = !nameFinished && nameChar == L'.' &&
                                     name.find(L'.', nameOffset) != std::wstring::npos;
                    if (nameFinished || nameChar != L'.' || canEatDot)
                        current.push_back(next);
                    current.push_back(next + 1);
                    continue;
                }
                next += 2;
                if (exprChar == kDosQm)
                {
                    if (nameFinished || nameChar == L'.')
                        continue;
                    current.push_back(next);
                    break;
                }
                if (exprChar == kDosDot)
                {
                    if (nameFinished)
                        continue;
                    if (nameChar == L'.')
                    {
                        current.push_back(next);
                        break;
                    }
                }
                if (nameFinished)
                    break;
                if (exprChar == L'?' || exprChar == nameChar ||
                    (ignoreCase &&
                     fleet::FoldCharacter(exprChar) == fleet::FoldCharacter(nameChar)))
                    current.push_back(next);
                break;
            }
        }
        if (current.empty())
            return false;
        std::sort(current.begin(), current.end());
        current.erase(std::unique(current.begin(), current.end()), current.end());
        previous.swap(current);
    }
    return previous.back() == matched;
}

} // namespace winport
