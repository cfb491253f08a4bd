// CSocketAddress: comparing and printing an IPv4 socket address, whose layout both systems share.
#include <cstdio>
#include <cstring>

#include "tftp/Platform.h"

namespace
{
constexpr int PORT_OFFSET = 2, ADDRESS_OFFSET = 4;  // after the 16-bit family; both in network byte order
}

bool CSocketAddress::SameAs(const CSocketAddress& other) const
{
    return std::memcmp(m_rgBytes + PORT_OFFSET, other.m_rgBytes + PORT_OFFSET, 6) == 0;
}

bool CSocketAddress::SameHost(const CSocketAddress& other) const
{
    return std::memcmp(m_rgBytes + ADDRESS_OFFSET, other.m_rgBytes + ADDRESS_OFFSET, 4) == 0;
}

void CSocketAddress::Print(char* pszText) const
{
    const unsigned char* p = m_rgBytes + ADDRESS_OFFSET;
    std::snprintf(pszText, SOCKET_ADDRESS_TEXT_BYTES, "%u.%u.%u.%u:%u", unsigned(p[0]), unsigned(p[1]), unsigned(p[2]),
                  unsigned(p[3]), unsigned(m_rgBytes[PORT_OFFSET] << 8 | m_rgBytes[PORT_OFFSET + 1]));
}
