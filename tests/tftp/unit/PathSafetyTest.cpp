// The name check made before any file is touched: climbing, roots, drives, streams and devices are refused.
#include <gtest/gtest.h>

#include "tftp/PathSafety.h"

TEST(PathSafety, NamesThatStayBelowAndNameNoDevicePassTheOthersAreRefused)
{
    for (const char* pszName : {"boot.bin", "fw/boot.bin", "fw\\boot.bin", "boot.bin. ", ".hidden", "..boot",
                                "CONSOLE.txt", "nul2", "com10", "comx", "lpt", "fw/COM1x"})
        EXPECT_TRUE(IsSafeRequestName(pszName)) << pszName;
    for (const char* pszName : {"", "..", "../x", "fw\\..\\..\\x", "fw/..", ".", "...", " ", ". .", "fw//x", "fw/",
                                "/etc/passwd", "\\win.ini", "c:boot.ini", "a::$DATA", "CON", "NuL", "PRN", "AUX",
                                "CONIN$", "conout$", "com9", "COM0", "LPT1", "NUL.txt", "com1 .log", "fw\\aux.bin",
                                "COM\xB9", "LPT\xB2", "com\xB3"})
        EXPECT_FALSE(IsSafeRequestName(pszName)) << pszName;
}
