// Benchmark path: a UDP relay between one client and a server that delays every datagram and may send
// some twice. Usage: relay LISTEN-PORT SERVER-PORT DELAY-US DUPLICATE-SHARE SEED [ADDRESS]. Listens on
// ADDRESS (127.0.0.1 unless given; ::1 for IPv6) and reaches the server at the same address. Runs until
// SIGTERM, then prints "relayed N data D" (N datagrams forwarded, D of them DATA packets the server sent).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <random>
#include <vector>

namespace
{
volatile std::sig_atomic_t g_bStop = 0;
void OnStop(int) { g_bStop = 1; }

long long NowNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

struct SHeld
{
    long long nDueNs;
    int nSide;  // the socket it leaves by: 0 towards the client, 1 towards the server
    std::vector<char> bytes;
};

// The address (IPv4 or IPv6) with the given port; exits if the text is no address.
sockaddr_storage Address(const char* pText, unsigned nPort, socklen_t& nLength)
{
    sockaddr_storage address {};
    auto* p4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* p6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, pText, &p4->sin_addr) == 1) {
        p4->sin_family = AF_INET;
        p4->sin_port = htons(static_cast<uint16_t>(nPort));
        nLength = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, pText, &p6->sin6_addr) == 1) {
        p6->sin6_family = AF_INET6;
        p6->sin6_port = htons(static_cast<uint16_t>(nPort));
        nLength = sizeof(sockaddr_in6);
    } else {
        std::fprintf(stderr, "not an address: %s\n", pText);
        std::exit(2);
    }
    return address;
}

int BoundSocket(const char* pAddress, unsigned nPort)
{
    socklen_t nLocal = 0;
    sockaddr_storage local = Address(pAddress, nPort, nLocal);
    int s = socket(local.ss_family, SOCK_DGRAM, 0);
    int nOnly = 1;
    if (s >= 0 && local.ss_family == AF_INET6)
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &nOnly, sizeof nOnly);
    int nBuffer = 4 << 20;  // room for a few windows held at once
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&local), nLocal) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return s;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "usage: %s LISTEN-PORT SERVER-PORT DELAY-US DUPLICATE-SHARE SEED [ADDRESS]\n", argv[0]);
        return 2;
    }
    const char* pAddress = argc == 7 ? argv[6] : "127.0.0.1";
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    int sockets[2] = {BoundSocket(pAddress, static_cast<unsigned>(std::atoi(argv[1]))), BoundSocket(pAddress, 0)};
    socklen_t nAddress = 0;  // the length of every address on this relay's paths, all of one family
    const sockaddr_storage listener = Address(pAddress, static_cast<unsigned>(std::atoi(argv[2])), nAddress);
    sockaddr_storage peers[2] {{}, listener};  // the client (side 0) and the server (side 1), as last heard
    bool bClientKnown = false;
    const long long nDelayNs = std::atoll(argv[3]) * 1000;
    const double fDuplicate = std::atof(argv[4]);
    std::mt19937 random(static_cast<unsigned>(std::atoi(argv[5])));
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::deque<SHeld> held;  // in due order, as every datagram waits the same delay
    unsigned long long nRelayed = 0, nData = 0;
    static char packet[65536];
    while (!g_bStop) {
        long long nNow = NowNs();
        while (!held.empty() && held.front().nDueNs <= nNow) {
            SHeld& next = held.front();
            sendto(sockets[next.nSide], next.bytes.data(), next.bytes.size(), 0,
                   reinterpret_cast<sockaddr*>(&peers[next.nSide == 0 ? 0 : 1]), nAddress);
            ++nRelayed;
            held.pop_front();
        }
        pollfd fds[2] = {{sockets[0], POLLIN, 0}, {sockets[1], POLLIN, 0}};
        long long nWaitNs = held.empty() ? 100000000LL : std::max(0LL, held.front().nDueNs - NowNs());
        timespec wait {static_cast<time_t>(nWaitNs / 1000000000LL), static_cast<long>(nWaitNs % 1000000000LL)};
        if (ppoll(fds, 2, &wait, nullptr) <= 0)
            continue;
        for (int nSide = 0; nSide < 2; ++nSide) {
            if (!(fds[nSide].revents & POLLIN))
                continue;
            sockaddr_storage sender {};
            socklen_t nSender = sizeof sender;
            ssize_t n = recvfrom(sockets[nSide], packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&sender),
                                 &nSender);
            if (n < 0)
                continue;
            peers[nSide] = sender;  // a server may answer from a port of the transfer's own
            if (nSide == 0 && n >= 2 && packet[0] == 0 && packet[1] == 1)
                peers[1] = listener;  // a new transfer; the last one's port may have gone
            if (nSide == 0)
                bClientKnown = true;
            else if (!bClientKnown)
                continue;
            if (nSide == 1 && n >= 2 && packet[0] == 0 && packet[1] == 3)
                ++nData;
            int nCopies = uniform(random) < fDuplicate ? 2 : 1;
            for (int i = 0; i < nCopies; ++i)
                held.push_back({NowNs() + nDelayNs, 1 - nSide, std::vector<char>(packet, packet + n)});
        }
    }
    std::printf("relayed %llu data %llu\n", nRelayed, nData);
    return 0;
}
