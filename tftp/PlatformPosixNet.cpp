// The network half of the TFTP server's POSIX platform: BSD sockets, the monotonic clock and sleeping.
// Kept apart from the rest so that in-process tests can put a scripted network in its place at link time.
#include "tftp/Platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int ToDescriptor(SocketHandle hSocket)
{
    return hSocket == INVALID_SOCKET_HANDLE ? -1 : static_cast<int>(hSocket);
}

const sockaddr* AsSockaddr(const CSocketAddress& address)
{
    return reinterpret_cast<const sockaddr*>(address.m_rgBytes);
}

socklen_t LengthOf(const CSocketAddress& address)
{
    return address.Family() == EFamily::IPv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}
}  // namespace

// Nothing to start or end: the sockets layer of a POSIX system needs no set-up.
bool StartSocketsLayer(CStartFailure*)
{
    return true;
}

void EndSocketsLayer()
{
}

bool HasIPv6()
{
    int nSocket = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 loopback{};
    loopback.sin6_family = AF_INET6;
    loopback.sin6_addr = in6addr_loopback;
    bool bBound = nSocket >= 0 && bind(nSocket, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) == 0;
    int nError = errno;
    if (nSocket >= 0)
        close(nSocket);
    errno = nError;
    return bBound;
}

SocketHandle OpenUdpSocket(EFamily eFamily)
{
    int nSocket = socket(eFamily == EFamily::IPv6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    const int nOnly = 0;
    if (nSocket >= 0 && eFamily == EFamily::IPv6 && setsockopt(nSocket, IPPROTO_IPV6, IPV6_V6ONLY, &nOnly, sizeof nOnly) != 0)
    {
        int nError = errno;
        close(nSocket);
        errno = nError;
        nSocket = -1;
    }
    return nSocket < 0 ? INVALID_SOCKET_HANDLE : static_cast<SocketHandle>(nSocket);
}

void FillAnyAddress(CSocketAddress* pAddress, EFamily eFamily, std::uint16_t nPort)
{
    std::memset(pAddress->m_rgBytes, 0, sizeof pAddress->m_rgBytes);
    if (eFamily == EFamily::IPv6)
    {
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_port = htons(nPort);
        any.sin6_addr = in6addr_any;
        std::memcpy(pAddress->m_rgBytes, &any, sizeof any);
        return;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(nPort);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    std::memcpy(pAddress->m_rgBytes, &any, sizeof any);
}

void FillLoopbackAddress(CSocketAddress* pAddress, std::uint16_t nPort)
{
    FillAnyAddress(pAddress, EFamily::IPv4, nPort);
    const in_addr loopback{htonl(INADDR_LOOPBACK)};
    std::memcpy(pAddress->m_rgBytes + offsetof(sockaddr_in, sin_addr), &loopback, sizeof loopback);
}

bool BindSocket(SocketHandle hSocket, const CSocketAddress& address)
{
    return bind(ToDescriptor(hSocket), AsSockaddr(address), LengthOf(address)) == 0;
}

bool SetReceiveTimeout(SocketHandle hSocket, std::uint32_t nMilliseconds)
{
    timeval wait;
    wait.tv_sec = static_cast<time_t>(nMilliseconds / 1000u);
    wait.tv_usec = static_cast<suseconds_t>(nMilliseconds % 1000u) * 1000;
    return setsockopt(ToDescriptor(hSocket), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) == 0;
}

int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom)
{
    sockaddr_in6 from{};  // either family fits
    socklen_t nFromLength = sizeof from;
    // MSG_TRUNC reports a datagram's real length, so one longer than the buffer fails as it does on Windows
    // instead of arriving silently cut.
    ssize_t nReceived = recvfrom(ToDescriptor(hSocket), pBuffer, static_cast<std::size_t>(cbBuffer), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &nFromLength);
    if (nReceived < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? RECEIVE_TIMED_OUT : RECEIVE_FAILED;
    if (nReceived > cbBuffer)
    {
        errno = EMSGSIZE;
        return RECEIVE_FAILED;
    }
    std::memset(pFrom->m_rgBytes, 0, sizeof pFrom->m_rgBytes);
    std::memcpy(pFrom->m_rgBytes, &from, nFromLength < sizeof from ? nFromLength : sizeof from);
    return static_cast<int>(nReceived);
}

int WaitForDatagrams(const SocketHandle* rgSockets, bool* rgbReady, int nSockets, std::uint32_t nMilliseconds)
{
    if (nSockets > MAX_WAITED_SOCKETS)
        return DATAGRAM_WAIT_FAILED;
    pollfd rgWaits[MAX_WAITED_SOCKETS];
    for (int i = 0; i < nSockets; ++i)
        rgWaits[i] = {ToDescriptor(rgSockets[i]), POLLIN, 0};
    int nReady = poll(rgWaits, static_cast<nfds_t>(nSockets), nMilliseconds == 0 ? -1 : static_cast<int>(nMilliseconds));
    if (nReady < 0)
        return errno == EINTR ? 0 : DATAGRAM_WAIT_FAILED;
    for (int i = 0; i < nSockets; ++i)
        rgbReady[i] = rgWaits[i].revents != 0;
    return nReady;
}

bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to)
{
    return sendto(ToDescriptor(hSocket), pData, static_cast<std::size_t>(cbData), 0, AsSockaddr(to), LengthOf(to)) == cbData;
}

void CloseSocket(SocketHandle hSocket)
{
    close(ToDescriptor(hSocket));
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
