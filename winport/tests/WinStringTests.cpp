#include "winport/WinString.h"

#include <gtest/gtest.h>

TEST(WinFormat, WideMeaningOfS)
{
    EXPECT_EQ(winport::Format(L"%s-%c-%hs", L"ab", L'x', "n"), L"ab-x-n");
}
