// The switch scanner in-process: whole-word, case-blind matching of candidates after '-' or '/'.
#include <gtest/gtest.h>

#include "service/CommandLine.h"

TEST(CompareSwitchWord, MatchesWholeWordsInAnyCase)
{
    EXPECT_EQ(CompareSwitchWord(L"RegServer", L"RegServer"), 0);
    EXPECT_EQ(CompareSwitchWord(L"regserver", L"RegServer"), 0);
    EXPECT_EQ(CompareSwitchWord(L"REGSERVER", L"RegServer"), 0);
    EXPECT_EQ(CompareSwitchWord(L"RegServer more", L"RegServer"), 0);
    EXPECT_EQ(CompareSwitchWord(L"RegServer\tmore", L"RegServer"), 0);

    EXPECT_NE(CompareSwitchWord(L"RegServer:", L"RegServer"), 0);
    EXPECT_NE(CompareSwitchWord(L"RegServerX", L"RegServer"), 0);
    EXPECT_NE(CompareSwitchWord(L"RegServer,", L"RegServer"), 0);
    EXPECT_NE(CompareSwitchWord(L"RegServ", L"RegServer"), 0);
    EXPECT_NE(CompareSwitchWord(L"UnregServerPerUser", L"UnregServer"), 0);
    EXPECT_NE(CompareSwitchWord(L"", L"RegServer"), 0);
    EXPECT_NE(CompareSwitchWord(L"RegServer\"", L"RegServer"), 0);
}

TEST(FindNextSwitch, ReturnsTheTextAfterTheFirstSeparator)
{
    EXPECT_EQ(FindNextSwitch(nullptr, L"-/"), nullptr);
    EXPECT_EQ(FindNextSwitch(L"", L"-/"), nullptr);
    EXPECT_EQ(FindNextSwitch(L"Corvane.exe RegServer", L"-/"), nullptr);

    LPCWSTR pszLine = L"a/b-c";
    EXPECT_EQ(FindNextSwitch(pszLine, L"-/"), pszLine + 2);
    EXPECT_EQ(FindNextSwitch(pszLine + 2, L"-/"), pszLine + 4);
    EXPECT_EQ(FindNextSwitch(pszLine + 4, L"-/"), nullptr);
    // A separator as the last character leaves an empty candidate, not the end of the scan.
    LPCWSTR pszTrailing = L"x -";
    EXPECT_EQ(FindNextSwitch(pszTrailing, L"-/"), pszTrailing + 3);
}

TEST(FindRegistrationSwitch, ScansTheWholeLine)
{
    struct Case
    {
        LPCWSTR pszLine;
        CommandSwitch eExpected;
    };
    const Case cases[] = {
        { L"Corvane.exe", CommandSwitch::None },
        { L"\"C:\\Boot Files\\Corvane.exe\" /RegServer", CommandSwitch::RegServer },
        { L"Corvane.exe -unregserver", CommandSwitch::UnregServer },
        { L"Corvane.exe /RegServerPerUser", CommandSwitch::RegServerPerUser },
        { L"Corvane.exe /UnregServerPerUser", CommandSwitch::UnregServerPerUser },
        { L"Corvane.exe -SERVICE", CommandSwitch::Service },
        { L"Corvane.exe --RegServer", CommandSwitch::RegServer },
        { L"Corvane.exe /RegServer:", CommandSwitch::None },
        { L"Corvane.exe /RegServerX", CommandSwitch::None },
        { L"Corvane.exe /Unknown", CommandSwitch::None },
        { L"Corvane.exe \"/RegServer\"", CommandSwitch::None },
        // "Service" counts only when none of the four is anywhere on the line.
        { L"Corvane.exe /Service /RegServer", CommandSwitch::RegServer },
        // The first candidate that matches wins.
        { L"Corvane.exe /RegServer /UnregServer", CommandSwitch::RegServer },
        { L"Corvane.exe /UnregServer /RegServer", CommandSwitch::UnregServer },
        // A separator inside the program's own path starts a candidate too.
        { L"C:/Service Corvane.exe", CommandSwitch::Service },
        { L"C:/Tools/Corvane.exe x/RegServer", CommandSwitch::RegServer },
        { L"Corvane.exe /RegServer\t/x", CommandSwitch::RegServer },
    };
    for (const Case& c : cases)
        EXPECT_EQ(FindRegistrationSwitch(c.pszLine), c.eExpected) << testing::PrintToString(std::wstring(c.pszLine));
}
