// Which process has which module loaded, found the way the install copy looks for locks.
#include "setupsupport/CProcessOperation.h"
#include "testsupport/LogCapture.h"
#include "testsupport/TestSupport.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cwctype>
#include <string>

using testsupport::CLogCapture;

TEST(ProcessOperation, ChildWithoutTheDebugPrivilege)
{
    if (!testsupport::IsChild())
        GTEST_SKIP();
    CLogCapture log;
    EXPECT_FALSE(CProcessOperation::EnableDebugPrivilege(true));
    EXPECT_TRUE(log.HasStart(
        ADVLOG_SEVERITY_WARNING,
        L"EnableDebugPrivilege for enable failed, when AdjustTokenPrivileges encounter error: "))
        << log.Dump();
}

TEST(ProcessOperation, FindsTheProcessesThatHoldAModule)
{
    CLogCapture log;
    EXPECT_TRUE(CProcessOperation::EnableDebugPrivilege(true)) << log.Dump();
    EXPECT_TRUE(CProcessOperation::EnableDebugPrivilege(false)) << log.Dump();

    std::vector<CModuleProcessInfo> modules;
    ASSERT_TRUE(CProcessOperation::AnalysisProcessAndModuleInfo(modules)) << log.Dump();
    bool found = false;
    for (const CModuleProcessInfo& module : modules)
    {
        const std::wstring suffix = L"\\fleetkit.dll";
        if (module.m_dwProcessId == static_cast<DWORD>(getpid()) &&
            module.m_strModulePath.size() > suffix.size() &&
            module.m_strModulePath.compare(module.m_strModulePath.size() - suffix.size(),
                                           suffix.size(), suffix) == 0)
            found = module.m_strProcessName == L"setupsupport_tests";
        EXPECT_EQ(module.m_strModulePath,
                  [&]
                  {
                      std::wstring lower = module.m_strModulePath;
                      std::transform(lower.begin(), lower.end(), lower.begin(), towlower);
                      return lower;
                  }())
            << "paths are kept in lower case";
    }
    EXPECT_TRUE(found) << "this process holds fleetkit.dll";

    std::vector<DWORD> ids = CProcessOperation::GetProcessIdsByName(L"SetupSupport_Tests");
    EXPECT_NE(std::find(ids.begin(), ids.end(), static_cast<DWORD>(getpid())), ids.end());
    EXPECT_TRUE(CProcessOperation::GetProcessIdsByName(L"no-such-program.exe").empty());

    // A process that runs as no administrator holds no debug privilege.
    std::string output;
    EXPECT_EQ(testsupport::RunChild("ProcessOperation.ChildWithoutTheDebugPrivilege",
                                    {{"FLEET_USER", "nobody"}}, &output),
              0)
        << output;
}
