// The switch scanner in-process: whole-word, case-blind candidates after '-' or '/'.
#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <string>

TEST(CommandLine, FindRegistrationSwitch)
{
    using S = CommandSwitch;
    const std::pair<LPCWSTR, CommandSwitch> cases[] = {
        {L"Corvane.exe", S::None}, {L"\"C:\\Boot Files\\Corvane.exe\" /RegServer", S::RegServer},
        {L"Corvane.exe -unregserver", S::UnregServer}, {L"Corvane.exe /REGSERVERPERUSER", S::RegServerPerUser},
        {L"Corvane.exe /UnregServerPerUser", S::UnregServerPerUser}, {L"Corvane.exe -SERVICE", S::Service},
        {L"Corvane.exe --RegServer", S::RegServer}, {L"Corvane.exe x/RegServer\tmore", S::RegServer},
        {L"Corvane.exe /RegServer: /RegServerX /RegServer, /RegServ \"/RegServer\" /Unknown -", S::None},
        // "Service" counts only when none of the four is on the line; the first candidate that matches wins.
        {L"Corvane.exe /Service /RegServer", S::RegServer}, {L"Corvane.exe /RegServer /UnregServer", S::RegServer},
        {L"Corvane.exe /UnregServer /RegServer", S::UnregServer},
        // The program's own path is no argument, quoted or up to the first blank.
        {L"\"C:\\Lab-Service Kit\\Corvane.exe\"", S::None}, {L"C:\\Lab-Service Kit\\Corvane.exe", S::None},
        {L"\"C:\\x /RegServer y\\Corvane.exe\" -Service", S::Service}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, FindRegistrationSwitch(c.first)) << testing::PrintToString(std::wstring(c.first));
}
