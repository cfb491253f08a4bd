// The service event writer's console echo: only outside service mode, cut to 255 characters.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/Trace.h"
#include "service/Module.h"

namespace
{
// Runs one LogServiceEvent call with standard output sent to a text-mode file, as a console or a
// redirection would be, and returns the bytes written.
std::string CaptureEcho(BOOL bRunAsService, LPCWSTR pszFormat)
{
    const char* pszFile = "service_event_echo.txt";
    fflush(stdout);
    int fdSaved = _dup(1);
    int fdFile = _open(pszFile, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
    _dup2(fdFile, 1);
    _close(fdFile);

    BOOL bSaved = g_pModule->m_bRunAsService;
    g_pModule->m_bRunAsService = bRunAsService;
    g_pModule->LogServiceEvent(pszFormat);
    g_pModule->m_bRunAsService = bSaved;

    fflush(stdout);
    _dup2(fdSaved, 1);
    _close(fdSaved);
    std::ifstream in(pszFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    remove(pszFile);
    return text.str();
}
}  // namespace

TEST(LogServiceEvent, EchoesOnlyOutsideServiceMode)
{
    EXPECT_EQ(CaptureEcho(FALSE, L"Service started"), "Service started\r\n");
    EXPECT_EQ(CaptureEcho(TRUE, L"Service started"), "");
    // The echo follows the service-mode flag alone, not the trace switch.
    int nSavedQuiet = g_bTraceQuiet;
    g_bTraceQuiet = 1;
    EXPECT_EQ(CaptureEcho(FALSE, L"Bad service request"), "Bad service request\r\n");
    g_bTraceQuiet = 0;
    EXPECT_EQ(CaptureEcho(TRUE, L"Bad service request"), "");
    g_bTraceQuiet = nSavedQuiet;
}

TEST(LogServiceEvent, CutsLongTextsTo255Characters)
{
    std::wstring text(300, L'x');
    text.replace(250, 10, L"0123456789");
    std::string expected(250, 'x');
    expected += "01234\r\n";
    EXPECT_EQ(CaptureEcho(FALSE, text.c_str()), expected);
    EXPECT_EQ(CaptureEcho(FALSE, std::wstring(255, L'y').c_str()), std::string(255, 'y') + "\r\n");
}
