// Tests of path safety: which requested names are refused, and the inside-the-boot-directory check.
#include <string>

#include <gtest/gtest.h>

#include "tftp/PathSafety.h"

TEST(PathSafety, NamesBelowTheBootDirectoryPass)
{
    for (const char* pszName : {"boot.bin", "fw/boot.bin", "fw\\boot.bin", "a/b/c/d.img", "boot.bin.", "boot.bin ",
                                ".hidden", "..boot", "boot..bin", "a%sb%n", "CONSOLE.txt", "nul2", "com10",
                                "lpt", "auxiliary", "CON$", "fw/COM1x"})
        EXPECT_TRUE(IsSafeRequestName(pszName)) << pszName;
}

TEST(PathSafety, NamesThatClimbOrStartAtARootAreRefused)
{
    for (const char* pszName : {"..", "../x", "..\\x", "fw/../../x", "fw\\..\\..\\x", "fw/..", ".", "./x",
                                "...", "fw/.../x", " ", ". .", "fw/ /x", "fw/. ./x", "fw//x", "fw/", "/etc/passwd",
                                "\\windows\\win.ini", "\\\\server\\share\\x", "//server/x"})
        EXPECT_FALSE(IsSafeRequestName(pszName)) << pszName;
}

TEST(PathSafety, DrivesAndStreamsAreRefused)
{
    for (const char* pszName : {"C:\\boot.ini", "c:boot.ini", "boot.bin:secret", "boot.bin::$DATA", "fw/a:b"})
        EXPECT_FALSE(IsSafeRequestName(pszName)) << pszName;
}

TEST(PathSafety, DeviceNamesAreRefusedInAnyCaseWithExtensionOrTrailingSpaces)
{
    for (const char* pszName : {"CON", "con", "PRN", "AUX", "NUL", "nul", "NuL", "CONIN$", "conout$", "COM1", "com9",
                                "COM0", "LPT1", "lpt9", "NUL.txt", "nul.tar.gz", "COM1 ", "com1 .log", "CON .",
                                "fw/NUL", "fw\\aux.bin", "fw/con/x", "COM\xB9", "LPT\xB2", "com\xB3.txt"})
        EXPECT_FALSE(IsSafeRequestName(pszName)) << pszName;
}

TEST(PathSafety, ResolvedPathMustLieBelowTheBootDirectory)
{
    EXPECT_TRUE(IsInsideDirectory("/srv/boot/a.bin", "/srv/boot/"));
    EXPECT_TRUE(IsInsideDirectory("/srv/boot/fw/a.bin", "/srv/boot/"));
    EXPECT_TRUE(IsInsideDirectory("C:\\Tools\\Boot\\fw\\a.bin", "C:\\Tools\\Boot\\"));
    EXPECT_FALSE(IsInsideDirectory("/srv/boot", "/srv/boot/")) << "the directory itself";
    EXPECT_FALSE(IsInsideDirectory("/srv/boot/", "/srv/boot/"));
    EXPECT_FALSE(IsInsideDirectory("/srv/bootleg/a.bin", "/srv/boot/"));
    EXPECT_FALSE(IsInsideDirectory("/srv/a.bin", "/srv/boot/"));
    EXPECT_FALSE(IsInsideDirectory("/etc/passwd", "/srv/boot/"));
    EXPECT_FALSE(IsInsideDirectory("C:\\Tools\\a.bin", "C:\\Tools\\Boot\\"));
    EXPECT_FALSE(IsInsideDirectory("/a.bin", "")) << "no directory, nothing inside";
}
