// Benchmark peer: an ideal lock-step TFTP server, one receive and one send per block, the files in memory.
// Usage: ideal-server PORT DIR [ADDRESS]. Listens on ADDRESS (127.0.0.1 unless given; ::1 for IPv6, on an
// IPv6-only socket) and serves read requests one at a time (blksize honoured up to 65464, every other
// option ignored) until SIGTERM; no time-outs, as the loopback path loses nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

namespace
{
volatile std::sig_atomic_t g_bStop = 0;
void OnStop(int) { g_bStop = 1; }

std::size_t Put16(char* p, unsigned nValue)
{
    p[0] = static_cast<char>(nValue >> 8 & 0xFF);
    p[1] = static_cast<char>(nValue & 0xFF);
    return 2;
}

// Reads the file named in a read request; returns the block size the request asks for (512 without one).
std::size_t ParseRequest(const char* pPacket, std::size_t nLength, std::string& name, bool& bOack)
{
    const char* pEnd = pPacket + nLength;
    const char* p = pPacket + 2;
    const char* pName = p;
    while (p < pEnd && *p) ++p;
    name.assign(pName, p);
    for (++p; p < pEnd && *p;) ++p;  // the mode
    bOack = false;
    std::size_t nBlock = 512;
    for (++p; p < pEnd;) {
        const char* pOption = p;
        while (p < pEnd && *p) ++p;
        const char* pValue = ++p;
        while (p < pEnd && *p) ++p;
        if (p >= pEnd) break;
        if (strcasecmp(pOption, "blksize") == 0) {
            nBlock = std::strtoul(pValue, nullptr, 10);
            nBlock = nBlock < 8 ? 8 : nBlock > 65464 ? 65464 : nBlock;
            bOack = true;
        }
        ++p;
    }
    return nBlock;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s PORT DIR [ADDRESS]\n", argv[0]);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnStop;  // no SA_RESTART: a blocked receive ends at once
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sockaddr_storage local {};
    socklen_t nLocal = 0;
    const char* pAddress = argc == 4 ? argv[3] : "127.0.0.1";
    const uint16_t nPort = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    auto* pLocal4 = reinterpret_cast<sockaddr_in*>(&local);
    auto* pLocal6 = reinterpret_cast<sockaddr_in6*>(&local);
    if (inet_pton(AF_INET, pAddress, &pLocal4->sin_addr) == 1) {
        pLocal4->sin_family = AF_INET;
        pLocal4->sin_port = nPort;
        nLocal = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, pAddress, &pLocal6->sin6_addr) == 1) {
        pLocal6->sin6_family = AF_INET6;
        pLocal6->sin6_port = nPort;
        nLocal = sizeof(sockaddr_in6);
    } else {
        std::fprintf(stderr, "not an address: %s\n", pAddress);
        return 2;
    }
    int s = socket(local.ss_family, SOCK_DGRAM, 0);
    int nOnly = 1;
    if (s >= 0 && local.ss_family == AF_INET6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &nOnly, sizeof nOnly);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&local), nLocal) != 0) {
        std::perror("bind");
        return 1;
    }
    std::map<std::string, std::string> files;
    static char packet[65536 + 4];
    static char reply[65536 + 4];
    while (!g_bStop) {
        sockaddr_storage peer {};
        socklen_t nPeer = sizeof peer;
        ssize_t n = recvfrom(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &nPeer);
        if (n < 4 || packet[1] != 1)
            continue;
        std::string name;
        bool bOack = false;
        std::size_t nBlock = ParseRequest(packet, static_cast<std::size_t>(n), name, bOack);
        std::string& file = files[name];
        if (file.empty()) {  // read once, before the first answer: the transfer itself never touches the disk
            std::ifstream in(std::string(argv[2]) + "/" + name, std::ios::binary | std::ios::ate);
            file.resize(static_cast<std::size_t>(std::max<std::streamoff>(0, in.tellg())));
            in.seekg(0);
            in.read(file.data(), static_cast<std::streamsize>(file.size()));
        }
        std::size_t nReply = 0;
        unsigned nNext = 1;  // the block the next ACK asks for
        if (bOack) {
            nReply = Put16(reply, 6);
            nReply += static_cast<std::size_t>(std::snprintf(reply + nReply, 32, "blksize%c%zu", 0, nBlock)) + 1;
            nNext = 0;
        }
        for (std::size_t nSent = 0;;) {
            if (nNext > 0) {  // DATA nNext
                std::size_t nOffset = (nNext - 1) * nBlock;
                nSent = nOffset >= file.size() ? 0 : std::min(nBlock, file.size() - nOffset);
                nReply = Put16(reply, 3) + Put16(reply + 2, nNext & 0xFFFF);
                std::memcpy(reply + 4, file.data() + std::min(nOffset, file.size()), nSent);
                nReply += nSent;
            }
            sendto(s, reply, nReply, 0, reinterpret_cast<sockaddr*>(&peer), nPeer);
            n = recvfrom(s, packet, sizeof packet, 0, nullptr, nullptr);
            if (g_bStop || n < 4 || packet[1] != 4)
                break;
            unsigned nAck = (static_cast<unsigned char>(packet[2]) << 8) | static_cast<unsigned char>(packet[3]);
            if (nAck != (nNext & 0xFFFF))
                continue;  // resend what went last
            if (nNext > 0 && nSent < nBlock)
                break;  // the last block is acknowledged
            ++nNext;
        }
    }
    return 0;
}
