// The module object as static construction leaves it, captured before any code of main runs.
#include "registrar/Registrar.h"
#include "service/Module.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
struct ModuleSnapshot
{
    CCorvaneModule* pModule;
    std::wstring svcName;
    BOOL bRunAsService;
    SERVICE_STATUS svcStatus;
    SERVICE_STATUS_HANDLE hSvcStatus;
    DWORD dwLoopThreadId;
    UINT cbBaseRecord;
    bool bInitFailed;
    bool bPerUserRegistration;
};

ModuleSnapshot g_atStart;

ModuleSnapshot TakeSnapshot()
{
    ModuleSnapshot snapshot = {};
    snapshot.pModule = g_pModule;
    snapshot.bInitFailed = g_bInitFailed;
    snapshot.bPerUserRegistration = perUserRegistration;
    if (g_pModule != nullptr)
    {
        snapshot.svcName = g_pModule->m_szSvcName;
        snapshot.bRunAsService = g_pModule->m_bRunAsService;
        snapshot.svcStatus = g_pModule->m_svcStatus;
        snapshot.hSvcStatus = g_pModule->m_hSvcStatus;
        snapshot.dwLoopThreadId = g_pModule->m_dwLoopThreadId;
        snapshot.cbBaseRecord = g_pModule->cbSize;
    }
    return snapshot;
}
}  // namespace

TEST(ModuleConstruction, ServiceNameAndInitialStatusBeforeTheEntryRuns)
{
    ASSERT_NE(nullptr, g_atStart.pModule);
    EXPECT_EQ(L"ZetCorvane", g_atStart.svcName);
    EXPECT_TRUE(g_atStart.bRunAsService);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS), g_atStart.svcStatus.dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), g_atStart.svcStatus.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), g_atStart.svcStatus.dwControlsAccepted);
    EXPECT_EQ(0u, g_atStart.svcStatus.dwWin32ExitCode);
    EXPECT_EQ(0u, g_atStart.svcStatus.dwServiceSpecificExitCode);
    EXPECT_EQ(0u, g_atStart.svcStatus.dwCheckPoint);
    EXPECT_EQ(0u, g_atStart.svcStatus.dwWaitHint);
    EXPECT_EQ(nullptr, g_atStart.hSvcStatus);
    EXPECT_EQ(0u, g_atStart.dwLoopThreadId);
}

TEST(ModuleConstruction, ProcessWideValuesAndTheInstanceRecord)
{
    EXPECT_FALSE(g_atStart.bInitFailed);
    EXPECT_FALSE(g_atStart.bPerUserRegistration);
    EXPECT_EQ(sizeof(MODULE_BASE_RECORD), g_atStart.cbBaseRecord) << "the module's lock was made";
    EXPECT_EQ(GetModuleHandleW(nullptr), g_moduleInstance.m_hInst);
    EXPECT_EQ(g_moduleInstance.m_hInst, g_moduleInstance.m_hInstResource);
    EXPECT_TRUE(g_moduleInstance.m_bLockReady);
}

TEST(ModuleConstruction, CommonVariablesHoldTheAppId)
{
    CRegistrar registrar;
    EXPECT_EQ(S_OK, g_pModule->AddCommonVariables(&registrar));
    EXPECT_STREQ(L"{552356EC-14D6-4A40-9F34-09CFC70BC685}", registrar.FindVariable(L"appid"));
}

int main(int argc, char** argv)
{
    // Nothing of the program has run yet: static construction alone made what is seen here.
    g_atStart = TakeSnapshot();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
