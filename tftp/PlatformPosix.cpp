// The TFTP server's platform on POSIX systems: BSD sockets, monotonic clock, POSIX threads, files beneath a directory.
#include "tftp/Platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "diag/Trace.h"

static_assert(sizeof(sockaddr_in) == sizeof(CSocketAddress), "an IPv4 socket address is 16 bytes");

namespace
{
int ToDescriptor(SocketHandle hSocket)
{
    return hSocket == INVALID_SOCKET_HANDLE ? -1 : static_cast<int>(hSocket);
}

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

// Nothing to start or end: the sockets layer of a POSIX system needs no set-up.
bool InitWinsock()
{
    return true;
}

void CleanupWinsock()
{
}

SocketHandle OpenUdpSocket()
{
    int nSocket = socket(AF_INET, SOCK_DGRAM, 0);
    return nSocket < 0 ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(nSocket);
}

void FillAnyAddress(CSocketAddress* pAddress, std::uint16_t nPort)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(nPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    std::memcpy(pAddress->m_rgBytes, &address, sizeof address);
}

bool BindSocket(SocketHandle hSocket, const CSocketAddress& address)
{
    sockaddr_in local;
    std::memcpy(&local, address.m_rgBytes, sizeof local);
    return bind(ToDescriptor(hSocket), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom,
                    int* pnFromLength)
{
    sockaddr_in from;
    std::memset(&from, 0, sizeof from);
    socklen_t nFromLength = sizeof from;
    // MSG_TRUNC reports a datagram's real length, so one longer than the buffer fails as it does on Windows
    // instead of arriving silently cut.
    ssize_t nReceived = recvfrom(ToDescriptor(hSocket), pBuffer, static_cast<std::size_t>(cbBuffer), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &nFromLength);
    if (nReceived < 0)
        return -1;
    // A socket shut down by CloseSocket wakes the receive with 0 bytes and no sender; a real empty
    // datagram always has one.
    if (nReceived == 0 && nFromLength == 0)
    {
        errno = ESHUTDOWN;
        return -1;
    }
    if (nReceived > cbBuffer)
    {
        errno = EMSGSIZE;
        return -1;
    }
    int cbFrom = static_cast<int>(nFromLength < sizeof from ? nFromLength : sizeof from);
    if (cbFrom > *pnFromLength)
        cbFrom = *pnFromLength < 0 ? 0 : *pnFromLength;
    std::memcpy(pFrom->m_rgBytes, &from, static_cast<std::size_t>(cbFrom));
    *pnFromLength = cbFrom;
    return static_cast<int>(nReceived);
}

bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to,
                  int nToLength)
{
    sockaddr_in peer;
    std::memcpy(&peer, to.m_rgBytes, sizeof peer);
    socklen_t nPeerLength = nToLength < 0 ? 0 : static_cast<socklen_t>(nToLength);
    if (nPeerLength > sizeof peer)
        nPeerLength = sizeof peer;
    return sendto(ToDescriptor(hSocket), pData, static_cast<std::size_t>(cbData), 0,
                  reinterpret_cast<const sockaddr*>(&peer), nPeerLength) == cbData;
}

void CloseSocket(SocketHandle hSocket)
{
    // Closing a descriptor does not wake a thread blocked in recvfrom on it; shutting it down does.
    int nSocket = ToDescriptor(hSocket);
    shutdown(nSocket, SHUT_RDWR);
    close(nSocket);
}

int LastSocketError()
{
    return errno;
}

std::uint32_t TickCount()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

void SleepMilliseconds(std::uint32_t nMilliseconds)
{
    timespec delay;
    delay.tv_sec = static_cast<time_t>(nMilliseconds / 1000u);
    delay.tv_nsec = static_cast<long>(nMilliseconds % 1000u) * 1000000L;
    while (nanosleep(&delay, &delay) != 0 && errno == EINTR)
    {
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

bool ExecutableDirectory(std::string* pDirectory)
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
    TraceA("TFTP: Boot directory cannot be found (error %d), server not started\n", errno);
    return false;
}

CBootDirectory::~CBootDirectory()
{
    if (m_nDirectory >= 0)
        close(m_nDirectory);
}

bool CBootDirectory::Open(const char* pszPath)
{
    m_nDirectory = open(pszPath, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_nDirectory >= 0)
        return true;
    TraceA("TFTP: Boot directory cannot be opened (error %d), server not started\n", errno);
    return false;
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
    // Non-blocking for the open itself, so that a FIFO cannot hold the server; no terminal is adopted.
    const int nFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int nFile = OpenBeneathAtOnce(m_nDirectory, pszName, nFlags);
    // Kernels before 5.6 lack openat2, and some sandboxes forbid system calls that they do not know.
    if (nFile < 0 && (errno == ENOSYS || errno == EPERM))
        nFile = OpenBeneathByComponents(m_nDirectory, pszName, nFlags);
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

void CloseServedFile(int nFile)
{
    close(nFile);
}
