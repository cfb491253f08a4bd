// The TFTP server's platform on POSIX systems, all but the network half: POSIX threads, the executable's
// directory and the served files' descriptors. (Sockets and the clock are in PlatformPosixNet.cpp.)
#include "tftp/Platform.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
struct CPosixThread
{
    pthread_t m_thread;
    void (*m_pfnRoutine)(void*);
    void* m_pArgument;
};

void* RunPosixThread(void* pThread)
{
    CPosixThread* pSelf = static_cast<CPosixThread*>(pThread);
    pSelf->m_pfnRoutine(pSelf->m_pArgument);
    return nullptr;
}
}

void* StartThread(void (*pfnRoutine)(void*), void* pArgument, std::uint32_t* pnThreadId)
{
    CPosixThread* pThread = new CPosixThread{pthread_t(), pfnRoutine, pArgument};
    if (pthread_create(&pThread->m_thread, nullptr, RunPosixThread, pThread) != 0)
    {
        delete pThread;
        return nullptr;
    }
    *pnThreadId = static_cast<std::uint32_t>(pThread->m_thread);
    return pThread;
}

void JoinThread(void* hThread)
{
    CPosixThread* pThread = static_cast<CPosixThread*>(hThread);
    pthread_join(pThread->m_thread, nullptr);
    delete pThread;
}

std::string ExecutableDirectory()
{
    std::string path(PATH_MAX, '\0');
    ssize_t nLength = readlink("/proc/self/exe", &path[0], path.size());
    if (nLength <= 0 || static_cast<std::size_t>(nLength) >= path.size())
        return std::string();
    path.resize(static_cast<std::size_t>(nLength));
    std::size_t nSlash = path.rfind('/');
    if (nSlash == std::string::npos)
        return std::string();
    path.resize(nSlash + 1);
    return path;
}

bool FileExists(const char* pszPath)
{
    return access(pszPath, F_OK) == 0;
}

int OpenServedFile(const char* pszPath)
{
    // Non-blocking only for the open itself, so that a FIFO cannot hold the server; the caller refuses
    // anything but a plain file before reading.
    int nFile = open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (nFile < 0)
        return -1;
    struct stat info;
    if (fstat(nFile, &info) != 0 || S_ISDIR(info.st_mode))
    {
        close(nFile);
        return -1;
    }
    fcntl(nFile, F_SETFL, fcntl(nFile, F_GETFL) & ~O_NONBLOCK);
    return nFile;
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

bool IsPlainDiskFile(int nFile)
{
    struct stat info;
    return fstat(nFile, &info) == 0 && S_ISREG(info.st_mode);
}

void CloseServedFile(int nFile)
{
    close(nFile);
}

bool ResolveFullPath(const char* pszPath, char* pszFullPath, std::size_t cbFullPath)
{
    char* pszResolved = realpath(pszPath, nullptr);
    if (pszResolved == nullptr)
        return false;
    std::size_t nLength = std::strlen(pszResolved);
    bool bFits = nLength < cbFullPath;
    if (bFits)
        std::memcpy(pszFullPath, pszResolved, nLength + 1);
    std::free(pszResolved);
    return bFits;
}
