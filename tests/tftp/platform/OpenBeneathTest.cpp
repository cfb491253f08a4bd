// Opening beneath the boot directory: links out are refused, a pipe does not block, and a name swapped with
// a link while it is opened never brings a byte from outside.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tftp/Platform.h"
#ifdef _WIN32
#include "tftp/AnsiName.h"
#else
#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace
{
using E = EServedOpen;

// What the open brought: "inside\n" from beneath the boot directory, "outside\n" from next to it.
std::string Fetch(const CBootDirectory& directory, const char* pszName, E* peOpen)
{
    int nFile = -1;
    unsigned char rgBuffer[16];
    int cbRead = (*peOpen = directory.OpenFile(pszName, &nFile)) == E::Opened ? ReadServedFile(nFile, rgBuffer, 16) : 0;
    if (*peOpen == E::Opened)
        CloseServedFile(nFile);
    return std::string(reinterpret_cast<char*>(rgBuffer), cbRead > 0 ? static_cast<std::size_t>(cbRead) : 0);
}

// bByComponents: where the kernel lacks openat2, links are refused even when they stay inside.
void ExpectOpens(bool bByComponents)
{
    CBootDirectory directory;
    ASSERT_TRUE(directory.Open("tree/boot/"));
    const struct { const char* pszName; E eAtOnce, eByComponents; } rgCases[] = {
        {"a", E::Opened, E::Opened}, {"sub/a", E::Opened, E::Opened}, {"alias", E::Opened, E::Refused},
        {"fileout", E::Refused, E::Refused}, {"dirout/a", E::Refused, E::Missing}, {"dirout", E::Refused, E::Refused},
        {"sub", E::Failed, E::Failed}, {"nosuch", E::Missing, E::Missing}, {"pipe", E::Refused, E::Refused}};
    for (const auto& c : rgCases)
    {
        E eOpen = E::Missing;
#ifdef _WIN32
        if (c.pszName == std::string("pipe"))
            continue;  // a Unix FIFO is nothing a Windows boot directory can hold
#endif
        std::string content = Fetch(directory, c.pszName, &eOpen);
        EXPECT_EQ(content, eOpen == E::Opened ? "inside\n" : "") << c.pszName;
        EXPECT_EQ(eOpen, bByComponents ? c.eByComponents : c.eAtOnce) << c.pszName;
    }
#ifndef _WIN32
    std::atomic<bool> bDone{false};
    std::thread swapper([&bDone] {
        while (!bDone.load())
        {
            ASSERT_EQ(renameat2(AT_FDCWD, "tree/boot/swap", AT_FDCWD, "tree/boot/swapout", RENAME_EXCHANGE), 0);
            ASSERT_EQ(renameat2(AT_FDCWD, "tree/boot/d", AT_FDCWD, "tree/boot/dout", RENAME_EXCHANGE), 0);
        }
    });
    E eOpen = E::Missing;
    for (int i = 0; i < 20000 && !testing::Test::HasFailure(); ++i)
        EXPECT_NE(Fetch(directory, i % 2 ? "swap" : "d/a", &eOpen), "outside\n") << "request " << i;
    bDone = true;
    swapper.join();
#endif
}
}

TEST(OpenBeneath, AtOnce)
{
    ExpectOpens(false);
}

#ifdef _WIN32
TEST(AnsiName, OnlyNamesThatConvertBackUnchangedHaveANarrowForm)
{
    std::string narrow;
    EXPECT_TRUE(NarrowAnsiName(L"Z:\\caf\u00e9\\", &narrow) && narrow == "Z:\\caf\xe9\\");
    EXPECT_FALSE(NarrowAnsiName(L"Z:\\b\u03bfot\\", &narrow)) << "Greek small omicron";
    EXPECT_FALSE(NarrowAnsiName(L"Z:\\\u0100\\", &narrow)) << "A with macron, best fit A";
}
#else
// A seccomp filter in this thread only answers openat2 with ENOSYS, as a kernel before 5.6 does.
TEST(OpenBeneath, ByComponents)
{
    std::thread([] {
        sock_filter rgFilter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        sock_fprog program = {4, rgFilter};
        ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
        ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
        ExpectOpens(true);
    }).join();
}
#endif
