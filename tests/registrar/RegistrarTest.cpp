// The registrar object, its variables, script resources, and the module-path variables of a real executable.
#include "registrar/Registrar.h"
#include "service/Module.h"
#include "tests/registrar/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
std::wstring OwnPath()
{
    WCHAR szPath[MAX_PATH];
    GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    return szPath;
}

std::wstring OwnDirectory()
{
    std::wstring path = OwnPath();
    return path.substr(0, path.find_last_of(L'\\'));
}

// Runs a program with one argument and returns its exit code; gives it at most 60 seconds.
DWORD RunProgram(const std::wstring& program, LPCWSTR pszArgument)
{
    std::wstring commandLine = L"\"" + program + L"\" " + pszArgument;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
    {
        ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
        return MAXDWORD;
    }
    DWORD dwExitCode = MAXDWORD;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &dwExitCode);
    else
    {
        ADD_FAILURE() << program << " did not end";
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return dwExitCode;
}

std::wstring Doubled(const std::wstring& text)
{
    std::wstring doubled;
    for (wchar_t ch : text)
        doubled += ch == L'\'' ? L"''" : std::wstring(1, ch);
    return doubled;
}
}  // namespace

TEST(Registrar, HandsOutNoInterfaceAndCountsNoReferences)
{
    CRegistrar registrar;
    const IID iidUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    void* pInterface = &registrar;
    EXPECT_EQ(E_NOTIMPL, registrar.QueryInterface(iidUnknown, &pInterface));
    EXPECT_EQ(nullptr, pInterface);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(1u, registrar.AddRef());
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(0u, registrar.Release());
    EXPECT_EQ(S_OK, registrar.AddVariable(L"Still", L"usable")) << "Release frees nothing";
    EXPECT_STREQ(L"usable", registrar.FindVariable(L"still"));
}

TEST(Registrar, VariablesAreOwnedCopiesAndTheFirstOfAName)
{
    CRegistrar registrar;
    IScriptRegistrar* pRegistrar = &registrar;
    EXPECT_EQ(E_INVALIDARG, pRegistrar->AddVariable(nullptr, L"x"));
    EXPECT_EQ(E_INVALIDARG, pRegistrar->AddVariable(L"x", nullptr));
    EXPECT_EQ(nullptr, registrar.FindVariable(L"x"));

    WCHAR szName[] = L"APPID";
    WCHAR szValue[] = L"first";
    ASSERT_EQ(S_OK, pRegistrar->AddVariable(szName, szValue));
    szName[0] = L'X';
    szValue[0] = L'F';
    EXPECT_STREQ(L"first", registrar.FindVariable(L"appid"));
    ASSERT_EQ(S_OK, pRegistrar->AddVariable(L"AppId", L"second"));
    EXPECT_STREQ(L"first", registrar.FindVariable(L"APPID"));
    EXPECT_EQ(nullptr, registrar.FindVariable(L"APPI"));

    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(S_OK, pRegistrar->AddVariable((L"V" + std::to_wstring(i)).c_str(), std::to_wstring(i * 7).c_str()));
    for (int i = 0; i < 500; i += 49)
        EXPECT_STREQ(std::to_wstring(i * 7).c_str(), registrar.FindVariable((L"v" + std::to_wstring(i)).c_str()));

    EXPECT_EQ(S_OK, pRegistrar->ClearVariables());
    EXPECT_EQ(nullptr, registrar.FindVariable(L"APPID"));
    EXPECT_EQ(nullptr, registrar.FindVariable(L"V0"));
}

TEST(Registrar, DoubleSingleQuotesStaysWithinTheBuffer)
{
    WCHAR szBuffer[600];
    DoubleSingleQuotes(szBuffer, 20, L"C:\\it's\\x.exe");
    EXPECT_STREQ(L"C:\\it''s\\x.exe", szBuffer);
    DoubleSingleQuotes(szBuffer, 3, L"a'b");
    EXPECT_STREQ(L"a'", szBuffer) << "no room for the second quote before the limit";
    DoubleSingleQuotes(szBuffer, 4, L"''");
    EXPECT_STREQ(L"'''", szBuffer);
    DoubleSingleQuotes(szBuffer, 1, L"abc");
    EXPECT_STREQ(L"", szBuffer);
    szBuffer[0] = L'#';
    DoubleSingleQuotes(szBuffer, 0, L"abc");
    EXPECT_EQ(L'#', szBuffer[0]) << "a size of 0 writes nothing";

    // The longest module path, all quotes, still fits the registrar's 520 code units.
    DoubleSingleQuotes(szBuffer, 520, std::wstring(259, L'\'').c_str());
    EXPECT_EQ(std::wstring(518, L'\''), szBuffer);
}

TEST(ScriptResource, MissingResourceOrModuleFailsWithThePlatformError)
{
    // ERROR_RESOURCE_NAME_NOT_FOUND (1814) and ERROR_RESOURCE_TYPE_NOT_FOUND (1813) as HRESULTs.
    EXPECT_EQ(static_cast<HRESULT>(0x80070716), RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 999, TRUE, nullptr, false));
    CRegistrar registrar;
    EXPECT_EQ(static_cast<HRESULT>(0x80070715),
              registrar.ApplyScriptResource(OwnPath().c_str(), 101, L"NOSUCHTYPE", TRUE, false));
    // Which code a missing file gives is the loader's business; it arrives as an HRESULT of a Win32 code.
    const HRESULT hrNoModule =
        registrar.ApplyScriptResource((OwnDirectory() + L"\\no-such-module.dll").c_str(), 101, L"REGISTRY", TRUE, false);
    EXPECT_EQ(0x80070000u, static_cast<ULONG>(hrNoModule) & 0xFFFF0000u) << std::hex << hrNoModule;
    EXPECT_NE(0x80070000u, static_cast<ULONG>(hrNoModule));
}

TEST(ScriptResource, ScriptLongerThanTheFixedBufferIsConvertedAndRun)
{
    CTestRoot root;
    CRegistrar registrar;
    ASSERT_EQ(S_OK, registrar.AddVariable(L"ROOT", root.Name().c_str()));
    ASSERT_EQ(S_OK, registrar.ApplyScriptResource(OwnPath().c_str(), 202, L"REGISTRY", TRUE, false));
    const std::wstring alphabet = L"abcdefghijklmnopqrstuvwxyz0123456789";
    for (int i = 0; i < 12; ++i)
    {
        WCHAR szName[8];
        swprintf(szName, 8, L"Line%02d", i);
        RegValue value = ReadValue(HKEY_CURRENT_USER, root.Path(L"Long"), szName);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.dwType) << szName;
        EXPECT_EQ(StringBytes(alphabet.substr(i) + std::wstring(40, L'-')), value.data) << szName;
    }
    EXPECT_EQ(12, CountValues(HKEY_CURRENT_USER, root.Path(L"Long")));
    EXPECT_EQ(S_OK, registrar.ApplyScriptResource(OwnPath().c_str(), 202, L"REGISTRY", FALSE, false));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root.Path(L"Long")));
}

// Module_Raw carries the path with its quote doubled, which a quoted token turns back into one quote;
// Module, for the executable itself, is that escaped path in double quotes.
TEST(ScriptResource, ModulePathWithASingleQuote)
{
    const std::wstring directory = OwnDirectory() + L"\\it's-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring probe = directory + L"\\registrar_path_probe.exe";
    const std::wstring probeKey = L"Software\\CorvaneModulePathProbe";
    DeleteTestTree(HKEY_CURRENT_USER, probeKey);
    ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileW((OwnDirectory() + L"\\registrar_path_probe.exe").c_str(), probe.c_str(), FALSE));

    EXPECT_EQ(static_cast<DWORD>(S_OK), RunProgram(probe, L"register"));
    EXPECT_EQ(StringBytes(probe), ReadValue(HKEY_CURRENT_USER, probeKey, L"Raw").data);
    EXPECT_EQ(StringBytes(L"\"" + Doubled(probe) + L"\""), ReadValue(HKEY_CURRENT_USER, probeKey, L"Module").data);
    EXPECT_EQ(StringBytes(CORVANE_APPID), ReadValue(HKEY_CURRENT_USER, probeKey, L"AppID").data)
        << "the module's common variable";

    EXPECT_EQ(static_cast<DWORD>(S_OK), RunProgram(probe, L"unregister"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, probeKey));

    DeleteTestTree(HKEY_CURRENT_USER, probeKey);
    DeleteFileW(probe.c_str());
    RemoveDirectoryW(directory.c_str());
}
