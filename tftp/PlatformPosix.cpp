// The TFTP server's platform on POSIX systems, all but the network half (PlatformPosixNet.cpp): POSIX threads,
// the executable's directory and the served files, opened beneath the boot directory.
#include "tftp/Platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/openat2.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "diag/Trace.h"

// The routine, its argument and the thread that runs it.
class CThread
{
public:
    pthread_t m_thread;
    void (*m_pfnRoutine)(void*);
    void* m_pArgument;
};

namespace
{
void* RunPosixThread(void* pThread)
{
    CThread* pSelf = static_cast<CThread*>(pThread);
    pSelf->m_pfnRoutine(pSelf->m_pArgument);
    return nullptr;
}
}

CThread* StartThread(void (*pfnRoutine)(void*), void* pArgument)
{
    CThread* pThread = new CThread{pthread_t(), pfnRoutine, pArgument};
    if (pthread_create(&pThread->m_thread, nullptr, RunPosixThread, pThread) != 0)
    {
        delete pThread;
        return nullptr;
    }
    return pThread;
}

bool JoinThread(CThread* pThread, std::uint32_t nMilliseconds)
{
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += static_cast<time_t>(nMilliseconds / 1000u);
    deadline.tv_nsec += static_cast<long>(nMilliseconds % 1000u) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L)
    {
        ++deadline.tv_sec;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(pThread->m_thread, nullptr, &deadline) != 0)
        return false;
    delete pThread;
    return true;
}

const int NAME_TOO_LONG_ERROR = ENAMETOOLONG;

bool ExecutableDirectory(std::string* pDirectory, CStartFailure* pFailure)
{
    std::string path(PATH_MAX, '\0');
    ssize_t nLength = readlink("/proc/self/exe", &path[0], path.size());
    if (nLength > 0 && static_cast<std::size_t>(nLength) < path.size())
    {
        path.resize(static_cast<std::size_t>(nLength));
        std::size_t nSlash = path.rfind('/');
        if (nSlash != std::string::npos)
        {
            path.resize(nSlash + 1);
            *pDirectory = path;
            return true;
        }
    }
    return StartFailed(pFailure, errno, "Boot directory cannot be found");
}

class CBootDirectory::COpened
{
public:
    explicit COpened(int nDirectory) : m_nDirectory(nDirectory) {}
    ~COpened() { close(m_nDirectory); }
    COpened(const COpened&) = delete;
    COpened& operator=(const COpened&) = delete;

    const int m_nDirectory;  // opened for path look-ups only: every file is opened relative to it
};

CBootDirectory::CBootDirectory() = default;
CBootDirectory::~CBootDirectory() = default;

bool CBootDirectory::Open(const char* pszPath, CStartFailure* pFailure)
{
    int nDirectory = open(pszPath, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (nDirectory < 0)
        return StartFailed(pFailure, errno, "Boot directory cannot be opened");
    m_pOpened.reset(new COpened(nDirectory));
    return true;
}

namespace
{
// The kernel resolves the whole name and refuses, with EXDEV, any step that leaves the directory: "..",
// an absolute link, a link that climbs out, /proc's magic links. A name swapped while it resolves cannot
// change that.
int OpenBeneathAtOnce(int nDirectory, const char* pszName, int nFlags)
{
    open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<std::uint64_t>(nFlags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(syscall(SYS_openat2, nDirectory, pszName, &how, sizeof how));
}

// For kernels without openat2: one component at a time, following no link at all, so links are refused
// even where they would stay inside. "." and ".." never get here (the name check refuses them) and are
// refused again.
int OpenBeneathByComponents(int nDirectory, const char* pszName, int nFlags)
{
    int nParent = dup(nDirectory);
    const char* pComponent = pszName;
    while (nParent >= 0)
    {
        const char* pEnd = std::strchr(pComponent, '/');
        std::string component(pComponent, pEnd != nullptr ? static_cast<std::size_t>(pEnd - pComponent)
                                                           : std::strlen(pComponent));
        int nNext = -1;
        if (component.empty() || component == "." || component == "..")
            errno = EXDEV;
        else
            nNext = openat(nParent, component.c_str(),
                           pEnd != nullptr ? O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC : nFlags | O_NOFOLLOW);
        int nError = errno;
        close(nParent);
        errno = nError;
        if (pEnd == nullptr)
            return nNext;
        nParent = nNext;
        pComponent = pEnd + 1;
    }
    return -1;
}
}

EServedOpen CBootDirectory::OpenFile(const char* pszName, int* pnFile) const
{
    // A client may name a subdirectory's file the Windows way, "fw\boot.bin": the server finds it as Windows would.
    std::string name(pszName);
    std::replace(name.begin(), name.end(), '\\', '/');
    // Non-blocking for the open itself, so that a FIFO cannot hold the server; no terminal is adopted.
    const int nFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int nFile = OpenBeneathAtOnce(m_pOpened->m_nDirectory, name.c_str(), nFlags);
    // Kernels before 5.6 lack openat2, and some sandboxes forbid system calls that they do not know.
    if (nFile < 0 && (errno == ENOSYS || errno == EPERM))
        nFile = OpenBeneathByComponents(m_pOpened->m_nDirectory, name.c_str(), nFlags);
    if (nFile < 0)
    {
        if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG)
            return EServedOpen::Missing;
        return errno == EXDEV || errno == ELOOP ? EServedOpen::Refused : EServedOpen::Failed;
    }
    struct stat info;
    bool bKnown = fstat(nFile, &info) == 0;
    if (bKnown && S_ISREG(info.st_mode))
    {
        fcntl(nFile, F_SETFL, fcntl(nFile, F_GETFL) & ~O_NONBLOCK);
        *pnFile = nFile;
        return EServedOpen::Opened;
    }
    close(nFile);
    // A directory beneath does not open as a file; anything else that is not a plain file is refused.
    return bKnown && S_ISDIR(info.st_mode) ? EServedOpen::Failed : EServedOpen::Refused;
}

int ReadServedFile(int nFile, unsigned char* pBuffer, int cbBuffer)
{
    // A plain file yields a short count only at its end; the loop covers interrupted and partial reads.
    int cbDone = 0;
    while (cbDone < cbBuffer)
    {
        ssize_t nRead = read(nFile, pBuffer + cbDone, static_cast<std::size_t>(cbBuffer - cbDone));
        if (nRead < 0)
        {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (nRead == 0)
            break;
        cbDone += static_cast<int>(nRead);
    }
    return cbDone;
}

bool ServedFileSize(int nFile, std::uint64_t* pnSize)
{
    struct stat info;
    if (fstat(nFile, &info) != 0)
        return false;
    *pnSize = static_cast<std::uint64_t>(info.st_size);
    return true;
}

void CloseServedFile(int nFile)
{
    close(nFile);
}
