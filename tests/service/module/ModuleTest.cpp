// The registration flows in-process: a failed call told with its cause, in the error event and its message box.
#include "service/Module.h"
#include "tests/diag/StdoutCapture.h"

#include <gtest/gtest.h>

// Wine cannot make its registry or service manager refuse one call alone, and keeps no event log: the tests point
// this executable's import slots (read-only, maybe) at stand-ins that refuse a call, or note an event or a message box.
extern "C" decltype(&RegSetValueExW) __imp_RegSetValueExW;
extern "C" decltype(&OpenSCManagerW) __imp_OpenSCManagerW;
extern "C" decltype(&ReportEventW) __imp_ReportEventW;
extern "C" decltype(&MessageBoxW) __imp_MessageBoxW;

namespace
{
const auto g_pfnSetValue = __imp_RegSetValueExW;
const auto g_pfnOpenManager = __imp_OpenSCManagerW;
LPCWSTR g_pszRefused = L"-";  // the name of the value whose writing the registry refuses
std::string g_told;            // the error events and the message boxes, in order

template <class T> void Point(T& slot, T pfn)
{
    DWORD dwProtect = 0;
    VirtualProtect(&slot, sizeof slot, PAGE_READWRITE, &dwProtect), slot = pfn;
}

class ModuleTest : public ::testing::Test
{
protected:
    ModuleTest()
    {
        Point(__imp_RegSetValueExW, +[](HKEY hKey, LPCWSTR pszName, DWORD dw, DWORD dwType, const BYTE* pb, DWORD cb) {
            return lstrcmpW(pszName, g_pszRefused) != 0 ? g_pfnSetValue(hKey, pszName, dw, dwType, pb, cb) : 5L;
        });
        Point(__imp_ReportEventW, +[](HANDLE, WORD, WORD, DWORD, PSID, WORD n, DWORD, LPCWSTR* rgpsz, LPVOID) {
            return g_told.append("event: ").append(rgpsz[n - 1], rgpsz[n - 1] + lstrlenW(rgpsz[n - 1])) += '\n', TRUE;
        });
        Point(__imp_MessageBoxW, +[](HWND, LPCWSTR psz, LPCWSTR, UINT) {
            return g_told.append(psz, psz + lstrlenW(psz)) += '\n', 1;
        });
        g_pModule->RemoveAppIdEntries(false);  // also a service entry that a wrong flow created
    }
    ~ModuleTest() override { Point(__imp_OpenSCManagerW, g_pfnOpenManager), g_pModule->RemoveAppIdEntries(false); }
    // The switch's HRESULT, the lines it printed, then its error events and message boxes; pszRefused as above.
    static std::string Run(CommandSwitch eSwitch, LPCWSTR pszRefused = L"-")
    {
        g_told.clear(), g_pszRefused = pszRefused;
        CStdoutCapture capture;
        char szResult[16];
        std::snprintf(szResult, sizeof szResult, "0x%08lX\n", g_pModule->RunSwitch(eSwitch));
        return szResult + capture.Text() + g_told;
    }
};
}  // namespace

TEST_F(ModuleTest, AFailedCallIsToldWithItsCauseAndFailsTheSwitch)
{
    auto told = [](const std::string& cause) { return "0x80070005\nZetCorvane: " + cause + "event: " + cause; };
    ASSERT_EQ(S_OK, g_pModule->RunSwitch(CommandSwitch::Service));  // then registrations that fail
    EXPECT_EQ(told("RegisterFromScriptResource failed: error 5: Access denied.\n"),
              Run(CommandSwitch::RegServer, L"AppID"));  // a value that the script writes
    // The removed service's "LocalService" went with it, before anything could fail: the next start is no service.
    EXPECT_EQ(2, RegGetValueW(HKEY_CLASSES_ROOT, L"AppID\\" CORVANE_APPID, L"LocalService", RRF_RT_ANY, 0, 0, 0));
    EXPECT_EQ(told("RegSetValueExW LocalService failed: error 5: Access denied.\n"),
              Run(CommandSwitch::Service, L"LocalService"));
    EXPECT_EQ(S_FALSE, g_pModule->IsServiceInstalled(false));  // the service entry made before the refusal went again
    Point(__imp_OpenSCManagerW, +[](LPCWSTR, LPCWSTR, DWORD) { return SetLastError(5), SC_HANDLE(); });
    const std::string cause = "OpenSCManagerW failed: error 5: Access denied.\n";
    const std::string box = "Could not open Service Manager\n";
    EXPECT_EQ("0x80070005\nZetCorvane: " + cause + box, Run(CommandSwitch::UnregServerPerUser));  // no event per user
    EXPECT_EQ(told(cause) + box, Run(CommandSwitch::UnregServer));  // a look-up that failed is no "no"
}

TEST_F(ModuleTest, AServiceMarkedForDeletionFailsTheSwitchOnceTheWaitIsOver)
{
    ASSERT_EQ(S_OK, g_pModule->RunSwitch(CommandSwitch::Service));
    // Held open, as the services console holds a service that it shows, the deleted entry cannot go.
    SC_HANDLE hService = OpenServiceW(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT), L"ZetCorvane", DELETE);
    ASSERT_TRUE(DeleteService(hService));
    const std::string cause = "DeleteService failed: error 1072: Service marked for delete.\n";
    EXPECT_EQ("0x80070430\nZetCorvane: " + cause + "event: " + cause + "Could not delete service\n",
              Run(CommandSwitch::UnregServer));
    CloseServiceHandle(hService);  // the service manager's handle goes with the process
}
