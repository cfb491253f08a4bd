// Opening beneath the boot directory: links out are refused, pipes never block, swapped names never lead out.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "tftp/AnsiName.h"
#include "tftp/ServedFile.h"
#ifndef _WIN32
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

using E = EServedOpen;

// What the open brought: "inside\n" from beneath the boot directory, "outside\n" from next to it.
static std::string Fetch(const CBootDirectory& directory, const char* pszName, E* peOpen)
{
    CServedFile file;
    unsigned char szText[16] = {};
    *peOpen = file.Open(directory, pszName);
    file.Read(szText, 15);
    return reinterpret_cast<char*>(szText);
}

// bByComponents: where the kernel lacks openat2, links are refused even when they stay inside.
static void ExpectOpens(bool bByComponents)
{
    CBootDirectory directory;
    CStartFailure failure;
    ASSERT_TRUE(directory.Open("tree/boot/", &failure));
    const struct { const char* pszName; E eAtOnce, eByComponents; } rgCases[] = {
        {"a", E::Opened, E::Opened}, {"sub/a", E::Opened, E::Opened}, {"sub\\a", E::Opened, E::Opened},
        {"alias", E::Opened, E::Refused},
        {"fileout", E::Refused, E::Refused}, {"dirout/a", E::Refused, E::Missing}, {"dirout", E::Refused, E::Refused},
        {"sub", E::Failed, E::Failed}, {"nosuch", E::Missing, E::Missing},
#ifndef _WIN32
        {"pipe", E::Refused, E::Refused},  // a Unix FIFO is nothing that a Windows boot directory holds
#endif
    };
    E eOpen = E::Missing;
    for (const auto& c : rgCases)
    {
        E eExpected = bByComponents ? c.eByComponents : c.eAtOnce;
        EXPECT_EQ(Fetch(directory, c.pszName, &eOpen), eExpected == E::Opened ? "inside\n" : "") << c.pszName;
        EXPECT_EQ(eOpen, eExpected) << c.pszName;
    }
#ifndef _WIN32
    std::atomic<bool> bDone{false};
    std::thread swapper([&bDone] {
        while (!bDone.load())
            ASSERT_EQ(renameat2(AT_FDCWD, "tree/boot/swap", AT_FDCWD, "tree/boot/swap2", RENAME_EXCHANGE) |
                          renameat2(AT_FDCWD, "tree/boot/d", AT_FDCWD, "tree/boot/d2", RENAME_EXCHANGE), 0);
    });
    for (int i = 0; i < 20000 && !testing::Test::HasFailure(); ++i)
        EXPECT_NE(Fetch(directory, i % 2 ? "swap" : "d/a", &eOpen), "outside\n") << "request " << i;
    bDone = true;
    swapper.join();
#endif
}

TEST(OpenBeneath, LinksOutAreRefusedAndSwappedNamesNeverLeadOutside)
{
    ExpectOpens(false);
#ifdef _WIN32
    std::string narrow;  // a boot directory's name converts exactly, or not at all: omicron, A with macron
    EXPECT_TRUE(NarrowAnsiName(L"Z:\\caf\u00e9\\", &narrow) && narrow == "Z:\\caf\xe9\\");
    EXPECT_FALSE(NarrowAnsiName(L"Z:\\b\u03bfot\\", &narrow) || NarrowAnsiName(L"Z:\\\u0100\\", &narrow));
#else
    // Again where a seccomp filter answers openat2 with ENOSYS, as a kernel before 5.6 does (this thread only).
    std::thread([] {
        sock_filter rgFilter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                                  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
                                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                                  BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
        sock_fprog program = {4, rgFilter};
        ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) | prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
        ExpectOpens(true);
    }).join();
#endif
}
