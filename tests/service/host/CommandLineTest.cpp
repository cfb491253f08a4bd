// The switch scanner in-process: whole-word, case-blind candidates after '-' or '/' that follow the program name.
#include "service/CommandLine.h"

#include <gtest/gtest.h>

#include <string>

TEST(CommandLine, FindRegistrationSwitch)
{
    using S = CommandSwitch;
    const std::pair<LPCWSTR, CommandSwitch> cases[] = {
        {L"Corvane.exe -unregserver", S::UnregServer}, {L"Corvane.exe /REGSERVERPERUSER", S::RegServerPerUser},
        {L"Corvane.exe /UnregServerPerUser", S::UnregServerPerUser}, {L"Corvane.exe -SERVICE", S::Service},
        {L"Corvane.exe --RegServer", S::RegServer}, {L"Corvane.exe x/RegServer\tmore", S::RegServer},
        {L"Corvane.exe /RegServer: /RegServerX /RegServer, /RegServ \"/RegServer\" /Unknown -", S::None},
        {L"Corvane.exe RegServer Service UnregServer", S::None},  // a bare word is no switch
        // "Service" counts only when none of the four is on the line; the first candidate that matches wins.
        {L"Corvane.exe /Service /RegServer", S::RegServer}, {L"Corvane.exe /RegServer /UnregServer", S::RegServer},
        {L"Corvane.exe /UnregServer /RegServer", S::UnregServer},
        // The program name is quoted, or ends at the first blank: a separator in it starts no candidate.
        {L"\"C:\\Lab-Service Kit\\Corvane.exe\"", S::None}, {L"C:\\Lab-Service Kit\\Corvane.exe", S::None},
        {L"\"C:\\x /RegServer y\\x.exe\" -Service", S::Service}, {L"\"C:\\Boot Files\\x\" /RegServer", S::RegServer}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, FindRegistrationSwitch(c.first)) << testing::PrintToString(std::wstring(c.first));
}
