// The name check made before any file is touched: climbing, roots, drives, streams and devices are refused.
#include <gtest/gtest.h>

#include "tftp/PathSafety.h"

TEST(PathSafety, NamesThatStayBelowAndNameNoDevicePassTheOthersAreRefused)
{
    for (const char* pszName : {"boot.bin", "fw/boot.bin", "fw\\boot.bin", "boot.bin.", "boot.bin ", ".hidden",
                                "..boot", "a%sb%n", "CONSOLE.txt", "nul2", "com10", "lpt", "CON$", "fw/COM1x"})
        EXPECT_TRUE(IsSafeRequestName(pszName)) << pszName;
    for (const char* pszName :
         {"", "..", "../x", "..\\x", "fw/../../x", "fw/..", ".", "./x", "...", " ", ". .", "fw/ /x", "fw//x", "fw/",
          "/etc/passwd", "\\windows\\win.ini", "C:\\boot.ini", "c:boot.ini", "boot.bin::$DATA", "fw/a:b", "CON",
          "NuL", "PRN", "AUX", "CONIN$", "conout$", "COM1", "com9", "COM0", "LPT1", "lpt9", "NUL.txt", "com1 .log",
          "CON .", "fw\\aux.bin", "fw/con/x", "COM\xB9", "LPT\xB2", "com\xB3.txt"})
        EXPECT_FALSE(IsSafeRequestName(pszName)) << pszName;
}
