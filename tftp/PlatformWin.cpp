// The TFTP server's platform on Windows: Winsock 2, the system tick count, Win32 threads, files beneath a directory.
#include <winsock2.h>
#include <mswsock.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <cstring>
#include <vector>

#include "diag/Trace.h"
#include "tftp/AnsiName.h"
#include "tftp/Platform.h"

static_assert(INVALID_SOCKET_HANDLE == INVALID_SOCKET, "one invalid socket value");

// The routine, its argument and the handle of the thread that runs it.
class CThread
{
public:
    void (*m_pfnRoutine)(void*);
    void* m_pArgument;
    HANDLE m_hThread;
};

namespace
{
const sockaddr* AsSockaddr(const CSocketAddress& address)
{
    return reinterpret_cast<const sockaddr*>(address.m_rgBytes);
}

int LengthOf(const CSocketAddress& address)
{
    return address.Family() == EFamily::IPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

DWORD WINAPI RunWin32Thread(LPVOID pThread)
{
    CThread* pSelf = static_cast<CThread*>(pThread);
    pSelf->m_pfnRoutine(pSelf->m_pArgument);
    return 0;
}

// Owns one file handle and closes it on every path.
class CFileHandle
{
public:
    explicit CFileHandle(HANDLE hFile) : m_hFile(hFile) {}
    ~CFileHandle()
    {
        if (IsValid())
            CloseHandle(m_hFile);
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;

    bool IsValid() const { return m_hFile != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_hFile; }
    void Release() { m_hFile = INVALID_HANDLE_VALUE; }

private:
    HANDLE m_hFile;
};

// A handle of any entry, directories included, good for asking its final path and nothing else.
HANDLE OpenEntry(const std::wstring& path)
{
    return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The path of an open file or directory as the system names it: links, junctions and mount points
// resolved, in the \\?\ form.
bool FinalPath(HANDLE hFile, std::wstring* pPath)
{
    DWORD nSize = GetFinalPathNameByHandleW(hFile, nullptr, 0, FILE_NAME_NORMALIZED);
    if (nSize == 0)
        return false;
    std::vector<wchar_t> path(nSize, L'\0');
    DWORD nLength = GetFinalPathNameByHandleW(hFile, path.data(), nSize, FILE_NAME_NORMALIZED);
    if (nLength == 0 || nLength >= nSize)
        return false;
    pPath->assign(path.data(), nLength);
    return true;
}

// True when an open file's final path lies below the directory's: the directory's path, compared without
// regard to case as Windows compares names, then a backslash, then at least one character. Nothing lies
// below a directory that was never opened.
bool LiesBeneath(HANDLE hFile, const std::wstring& directory)
{
    std::wstring path;
    int nDirectory = static_cast<int>(directory.size());
    return nDirectory > 0 && FinalPath(hFile, &path) && path.size() > directory.size() + 1 &&
           path[directory.size()] == L'\\' &&
           CompareStringOrdinal(path.data(), nDirectory, directory.data(), nDirectory, TRUE) == CSTR_EQUAL;
}

}

bool StartSocketsLayer(CStartFailure* pFailure)
{
    WSADATA wsaData;
    // WSAStartup returns its error itself; the sockets layer's last error is not set when it fails.
    int nError = WSAStartup(MAKEWORD(2, 2), &wsaData);
    return nError == 0 || StartFailed(pFailure, nError, "WSAStartup fails");
}

void EndSocketsLayer()
{
    if (WSACleanup() != 0)
        TraceW(L"Error %d calling WSACleanup\n", WSAGetLastError());
}

bool HasIPv6()
{
    SOCKET hSocket = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    bool bBound = hSocket != INVALID_SOCKET && bind(hSocket, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) == 0;
    int nError = WSAGetLastError();
    if (hSocket != INVALID_SOCKET)
        closesocket(hSocket);
    WSASetLastError(nError);
    return bBound;
}

SocketHandle OpenUdpSocket(EFamily eFamily)
{
    SOCKET hSocket = socket(eFamily == EFamily::IPv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    if (hSocket == INVALID_SOCKET)
        return INVALID_SOCKET_HANDLE;
    // Without this, a send to a client that has gone (an ICMP "port unreachable") makes the next receive
    // fail with WSAECONNRESET, and one vanished client would cost every other client that datagram.
    BOOL bReport = FALSE;
    DWORD cbReturned = 0;
    // No other program may bind the port beside the server and read its clients' datagrams.
    BOOL bExclusive = TRUE;
    // An IPv6 socket takes IPv4 clients too.
    DWORD dwOnly = FALSE;
    if (WSAIoctl(hSocket, SIO_UDP_CONNRESET, &bReport, sizeof bReport, nullptr, 0, &cbReturned, nullptr, nullptr) != 0 ||
        setsockopt(hSocket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&bExclusive),
                   sizeof bExclusive) != 0 ||
        (eFamily == EFamily::IPv6 &&
         setsockopt(hSocket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&dwOnly), sizeof dwOnly) != 0))
    {
        int nError = WSAGetLastError();
        closesocket(hSocket);
        WSASetLastError(nError);
        return INVALID_SOCKET_HANDLE;
    }
    return hSocket;
}

void FillAnyAddress(CSocketAddress* pAddress, EFamily eFamily, std::uint16_t nPort)
{
    ZeroMemory(pAddress->m_rgBytes, sizeof pAddress->m_rgBytes);
    if (eFamily == EFamily::IPv6)
    {
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_port = htons(nPort);
        any.sin6_addr = in6addr_any;
        CopyMemory(pAddress->m_rgBytes, &any, sizeof any);
        return;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(nPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    CopyMemory(pAddress->m_rgBytes, &any, sizeof any);
}

void FillLoopbackAddress(CSocketAddress* pAddress, std::uint16_t nPort)
{
    FillAnyAddress(pAddress, EFamily::IPv4, nPort);
    reinterpret_cast<sockaddr_in*>(pAddress->m_rgBytes)->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
}

bool BindSocket(SocketHandle hSocket, const CSocketAddress& address)
{
    return bind(hSocket, AsSockaddr(address), LengthOf(address)) == 0;
}

bool SetReceiveTimeout(SocketHandle hSocket, std::uint32_t nMilliseconds)
{
    DWORD dwWait = nMilliseconds;
    return setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwWait), sizeof dwWait) == 0;
}

int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom)
{
    sockaddr_in6 from{};  // either family fits
    int nFromLength = sizeof from;
    int nReceived = recvfrom(hSocket, reinterpret_cast<char*>(pBuffer), cbBuffer, 0,
                             reinterpret_cast<sockaddr*>(&from), &nFromLength);
    if (nReceived == SOCKET_ERROR)
        return WSAGetLastError() == WSAETIMEDOUT ? RECEIVE_TIMED_OUT : RECEIVE_FAILED;
    ZeroMemory(pFrom->m_rgBytes, sizeof pFrom->m_rgBytes);
    CopyMemory(pFrom->m_rgBytes, &from, nFromLength < static_cast<int>(sizeof from) ? nFromLength : sizeof from);
    return nReceived;
}

int WaitForDatagrams(const SocketHandle* rgSockets, bool* rgbReady, int nSockets, std::uint32_t nMilliseconds)
{
    if (nSockets > MAX_WAITED_SOCKETS)
        return DATAGRAM_WAIT_FAILED;
    WSAPOLLFD rgWaits[MAX_WAITED_SOCKETS];
    for (int i = 0; i < nSockets; ++i)
        rgWaits[i] = {static_cast<SOCKET>(rgSockets[i]), POLLRDNORM, 0};
    int nReady = WSAPoll(rgWaits, static_cast<ULONG>(nSockets), nMilliseconds == 0 ? -1 : static_cast<INT>(nMilliseconds));
    if (nReady == SOCKET_ERROR)
        return DATAGRAM_WAIT_FAILED;
    for (int i = 0; i < nSockets; ++i)
        rgbReady[i] = rgWaits[i].revents != 0;
    return nReady;
}

bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to)
{
    return sendto(hSocket, reinterpret_cast<const char*>(pData), cbData, 0, AsSockaddr(to), LengthOf(to)) == cbData;
}

void CloseSocket(SocketHandle hSocket)
{
    closesocket(hSocket);
}

int LastSocketError()
{
    return WSAGetLastError();
}

std::uint32_t TickCount()
{
    return GetTickCount();
}

void SleepMilliseconds(std::uint32_t nMilliseconds)
{
    Sleep(nMilliseconds);
}

CThread* StartThread(void (*pfnRoutine)(void*), void* pArgument)
{
    CThread* pThread = new CThread{pfnRoutine, pArgument, nullptr};
    pThread->m_hThread = CreateThread(nullptr, 0, RunWin32Thread, pThread, 0, nullptr);
    if (pThread->m_hThread == nullptr)
    {
        delete pThread;
        return nullptr;
    }
    return pThread;
}

bool JoinThread(CThread* pThread, std::uint32_t nMilliseconds)
{
    if (WaitForSingleObject(pThread->m_hThread, nMilliseconds) != WAIT_OBJECT_0)
        return false;
    CloseHandle(pThread->m_hThread);
    delete pThread;
    return true;
}

const int NAME_TOO_LONG_ERROR = ERROR_FILENAME_EXCED_RANGE;

bool ExecutableDirectory(std::string* pDirectory, CStartFailure* pFailure)
{
    // Paths of up to 32767 characters exist on Windows; the caller decides what length it can serve.
    std::vector<wchar_t> path(32768, L'\0');
    DWORD nLength = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring directory(path.data(), nLength < path.size() ? nLength : 0);
    std::size_t nBackslash = directory.rfind(L'\\');
    if (nBackslash == std::wstring::npos)
        return StartFailed(pFailure, static_cast<int>(GetLastError()), "Boot directory cannot be found");
    directory.resize(nBackslash + 1);
    return NarrowAnsiName(directory, pDirectory) ||
           StartFailed(pFailure, ERROR_NO_UNICODE_TRANSLATION, "Boot directory name has characters outside the ANSI code page");
}

class CBootDirectory::COpened
{
public:
    std::string m_path;         // as opened: the served names follow it
    std::wstring m_finalPath;   // as the system names it, links resolved, without a closing backslash
};

CBootDirectory::CBootDirectory() = default;
CBootDirectory::~CBootDirectory() = default;

bool CBootDirectory::Open(const char* pszPath, CStartFailure* pFailure)
{
    std::wstring path;
    if (!WidenAnsiName(pszPath, &path))
        return StartFailed(pFailure, ERROR_NO_UNICODE_TRANSLATION, "Boot directory cannot be opened");
    // Opened for listing, as reading its files needs: a directory that the service's account (LOCAL SERVICE) may
    // not read fails here, at the start, rather than at every request.
    CFileHandle directory(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::unique_ptr<COpened> pOpened(new COpened{pszPath, L""});
    if (!directory.IsValid() || !FinalPath(directory.Get(), &pOpened->m_finalPath))
    {
        int nError = static_cast<int>(GetLastError());
        return StartFailed(pFailure, nError, nError == ERROR_ACCESS_DENIED
                                                 ? "Boot directory cannot be opened: this account may not read it (a "
                                                   "service runs as LOCAL SERVICE, which needs read access)"
                                                 : "Boot directory cannot be opened");
    }
    // Only a root directory's final path ends with its backslash.
    if (pOpened->m_finalPath.back() == L'\\')
        pOpened->m_finalPath.pop_back();
    m_pOpened = std::move(pOpened);
    return true;
}

EServedOpen CBootDirectory::OpenFile(const char* pszName, int* pnFile) const
{
    std::wstring path;
    if (!WidenAnsiName(m_pOpened->m_path + pszName, &path))
        return EServedOpen::Missing;
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        // What is there but does not open (a directory, a file without access) is told apart from what is
        // missing only when it lies beneath the directory.
        CFileHandle entry(OpenEntry(path));
        if (!entry.IsValid())
            return EServedOpen::Missing;
        return LiesBeneath(entry.Get(), m_pOpened->m_finalPath) ? EServedOpen::Failed : EServedOpen::Refused;
    }
    if (!LiesBeneath(file.Get(), m_pOpened->m_finalPath) || GetFileType(file.Get()) != FILE_TYPE_DISK)
        return EServedOpen::Refused;
    int nFile = _open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_RDONLY | _O_BINARY);
    if (nFile < 0)
        return EServedOpen::Failed;
    file.Release();  // the descriptor owns it now
    *pnFile = nFile;
    return EServedOpen::Opened;
}

int ReadServedFile(int nFile, unsigned char* pBuffer, int cbBuffer)
{
    return _read(nFile, pBuffer, static_cast<unsigned>(cbBuffer));
}

bool ServedFileSize(int nFile, std::uint64_t* pnSize)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(nFile)), &size))
        return false;
    *pnSize = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

void CloseServedFile(int nFile)
{
    _close(nFile);
}
