// The service event writer's console echo: only outside service mode, cut to 255 characters.
#include "service/Module.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <fstream>
#include <sstream>

TEST(LogServiceEvent, EchoesOnlyOutsideServiceModeCutTo255Characters)
{
    // Standard output goes to a text-mode file, as to a console or a redirection.
    auto echo = [](BOOL bRunAsService, const std::wstring& text) {
        fflush(stdout);
        const int fdSaved = _dup(1), fdFile = _open("echo.txt", _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, 0600);
        _dup2(fdFile, 1);
        _close(fdFile);
        g_pModule->m_bRunAsService = bRunAsService;
        g_pModule->LogServiceEvent(text.c_str());
        fflush(stdout);
        _dup2(fdSaved, 1);
        _close(fdSaved);
        std::stringstream bytes;
        bytes << std::ifstream("echo.txt", std::ios::binary).rdbuf();
        return bytes.str();
    };
    EXPECT_EQ("Service started\r\n", echo(FALSE, L"Service started"));
    EXPECT_EQ("", echo(TRUE, L"Service started"));
    EXPECT_EQ(std::string(255, 'y') + "\r\n", echo(FALSE, std::wstring(300, L'y')));
    remove("echo.txt");
}
