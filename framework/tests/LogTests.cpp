#include "framework/CAdvancedLog.h"

#include <gtest/gtest.h>

TEST(AdvancedLog, SeverityTags)
{
    EXPECT_EQ(CAdvancedLog::ConvertSeverityLevelToText(static_cast<ADVLOG_SEVERITY_LEVEL>(35)), L"[ Unknown]  ");
}
