// CSocketAddress: comparing and printing a socket address of either family, an IPv4-mapped one as its IPv4 client.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdio>
#include <cstring>

#include "tftp/Platform.h"

static_assert(sizeof(sockaddr_in6) <= sizeof(CSocketAddress::m_rgBytes), "either family fits");

namespace
{
// What names a client: its host's bytes (4 for IPv4, mapped or not; 16 for IPv6), its port and an IPv6 zone.
struct CClient
{
    unsigned char m_rgHost[16];
    int m_nHostBytes;
    std::uint16_t m_nPort;
    std::uint32_t m_nZone;
};

CClient ClientOf(const CSocketAddress& address)
{
    static const unsigned char rgMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    CClient client{};
    sockaddr_in6 v6;
    std::memcpy(&v6, address.m_rgBytes, sizeof v6);
    if (v6.sin6_family != AF_INET6)
    {
        sockaddr_in v4;
        std::memcpy(&v4, address.m_rgBytes, sizeof v4);
        std::memcpy(client.m_rgHost, &v4.sin_addr, 4);
        client.m_nHostBytes = 4;
        client.m_nPort = ntohs(v4.sin_port);
        return client;
    }
    const bool bMapped = std::memcmp(v6.sin6_addr.s6_addr, rgMapped, sizeof rgMapped) == 0;
    std::memcpy(client.m_rgHost, v6.sin6_addr.s6_addr + (bMapped ? 12 : 0), bMapped ? 4 : 16);
    client.m_nHostBytes = bMapped ? 4 : 16;
    client.m_nPort = ntohs(v6.sin6_port);
    client.m_nZone = bMapped ? 0 : v6.sin6_scope_id;
    return client;
}

// RFC 5952: groups in lower-case hex without leading zeros, the longest run of two or more zero groups (the first of
// equal ones) as "::".
void PrintIPv6(const unsigned char* pHost, char* pszText, std::size_t cbText)
{
    unsigned rgGroups[8];
    for (int i = 0; i < 8; ++i)
        rgGroups[i] = static_cast<unsigned>(pHost[2 * i] << 8 | pHost[2 * i + 1]);
    int nRun = -1, nRunLength = 1;
    for (int i = 0, j = 0; i < 8; i = j + 1)
    {
        for (j = i; j < 8 && rgGroups[j] == 0; ++j)
        {
        }
        if (j - i > nRunLength)
            nRun = i, nRunLength = j - i;
    }
    std::size_t nText = 0;
    for (int i = 0; i < 8 && nText < cbText; ++i)
    {
        if (i == nRun)
        {
            nText += static_cast<std::size_t>(std::snprintf(pszText + nText, cbText - nText, "::"));
            i += nRunLength - 1;
            continue;
        }
        nText += static_cast<std::size_t>(std::snprintf(pszText + nText, cbText - nText, "%s%x",
                                                        i > 0 && i != nRun + nRunLength ? ":" : "", rgGroups[i]));
    }
}
}  // namespace

bool CSocketAddress::SameAs(const CSocketAddress& other) const
{
    CClient mine = ClientOf(*this), theirs = ClientOf(other);
    return mine.m_nHostBytes == theirs.m_nHostBytes && mine.m_nPort == theirs.m_nPort && mine.m_nZone == theirs.m_nZone &&
           std::memcmp(mine.m_rgHost, theirs.m_rgHost, static_cast<std::size_t>(mine.m_nHostBytes)) == 0;
}

bool CSocketAddress::SameHost(const CSocketAddress& other) const
{
    CClient mine = ClientOf(*this), theirs = ClientOf(other);
    std::size_t nCompared = mine.m_nHostBytes == 4 ? 4 : 8;  // an IPv6 host by its /64
    return mine.m_nHostBytes == theirs.m_nHostBytes && std::memcmp(mine.m_rgHost, theirs.m_rgHost, nCompared) == 0;
}

bool CSocketAddress::IsIPv6() const
{
    return ClientOf(*this).m_nHostBytes == 16;
}

EFamily CSocketAddress::Family() const
{
    std::uint16_t nFamily;  // the first field of both layouts
    std::memcpy(&nFamily, m_rgBytes, sizeof nFamily);
    return nFamily == AF_INET6 ? EFamily::IPv6 : EFamily::IPv4;
}

void CSocketAddress::Print(char* pszText) const
{
    CClient client = ClientOf(*this);
    const unsigned char* p = client.m_rgHost;
    if (client.m_nHostBytes == 4)
    {
        std::snprintf(pszText, SOCKET_ADDRESS_TEXT_BYTES, "%u.%u.%u.%u:%u", unsigned(p[0]), unsigned(p[1]),
                      unsigned(p[2]), unsigned(p[3]), unsigned(client.m_nPort));
        return;
    }
    char szHost[40];  // eight groups of four digits and seven colons, and the NUL
    PrintIPv6(p, szHost, sizeof szHost);
    if (client.m_nZone != 0)
        std::snprintf(pszText, SOCKET_ADDRESS_TEXT_BYTES, "[%s%%%lu]:%u", szHost, static_cast<unsigned long>(client.m_nZone),
                      unsigned(client.m_nPort));
    else
        std::snprintf(pszText, SOCKET_ADDRESS_TEXT_BYTES, "[%s]:%u", szHost, unsigned(client.m_nPort));
}
