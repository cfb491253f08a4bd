// CUdpTestPeer: a UDP socket on 127.0.0.1 that talks to the server on port 6051, with bounded waits;
// bound to the wildcard address on 6051 instead, it holds the server's port.
#pragma once
#include <string>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

class CUdpTestPeer
{
public:
    enum EBinding
    {
        ANY_LOCAL_PORT,
        HOLD_SERVER_PORT,
    };

    explicit CUdpTestPeer(EBinding binding = ANY_LOCAL_PORT)
    {
#ifdef _WIN32
        WSADATA wsaData;
        m_bStarted = WSAStartup(MAKEWORD(2, 2), &wsaData) == 0;
#endif
        m_socket = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local = Address(binding == HOLD_SERVER_PORT ? INADDR_ANY : INADDR_LOOPBACK,
                                    binding == HOLD_SERVER_PORT ? 6051 : 0);
        m_bBound = bind(m_socket, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }

    ~CUdpTestPeer()
    {
#ifdef _WIN32
        closesocket(m_socket);
        if (m_bStarted)
            WSACleanup();
#else
        close(m_socket);
#endif
    }

    CUdpTestPeer(const CUdpTestPeer&) = delete;
    CUdpTestPeer& operator=(const CUdpTestPeer&) = delete;

    bool IsBound() const { return m_bBound; }

    bool Send(const std::string& datagram)
    {
        sockaddr_in server = Address(INADDR_LOOPBACK, 6051);
        return sendto(m_socket, datagram.data(), static_cast<int>(datagram.size()), 0,
                      reinterpret_cast<sockaddr*>(&server), sizeof server) == static_cast<int>(datagram.size());
    }

    // One datagram, or false after waiting nMilliseconds for none.
    bool Receive(std::string* pDatagram, int nMilliseconds = 2000)
    {
#ifdef _WIN32
        DWORD nTimeout = static_cast<DWORD>(nMilliseconds);
#else
        timeval nTimeout = {nMilliseconds / 1000, (nMilliseconds % 1000) * 1000};
#endif
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&nTimeout), sizeof nTimeout);
        char buffer[4096];
        int nReceived = static_cast<int>(recv(m_socket, buffer, sizeof buffer, 0));
        if (nReceived < 0)
            return false;
        pDatagram->assign(buffer, static_cast<std::size_t>(nReceived));
        return true;
    }

    // Sends the datagram until a reply comes, at most nTries times, each time waiting nMilliseconds for it;
    // false when none came.
    bool Exchange(const std::string& datagram, std::string* pReply, int nTries = 1, int nMilliseconds = 2000)
    {
        for (int i = 0; i < nTries; ++i)
        {
            if (Send(datagram) && Receive(pReply, nMilliseconds))
                return true;
        }
        return false;
    }

private:
    static sockaddr_in Address(unsigned long nHostAddress, unsigned short nPort)
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(nPort);
        address.sin_addr.s_addr = htonl(nHostAddress);
        return address;
    }

#ifdef _WIN32
    SOCKET m_socket;
    bool m_bStarted = false;
#else
    int m_socket;
#endif
    bool m_bBound = false;
};
