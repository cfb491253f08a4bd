// Benchmark path: a UDP relay between one client and a server that delays every datagram and may send
// some twice. Usage: relay LISTEN-PORT SERVER-PORT DELAY-US DUPLICATE-SHARE SEED. Runs until SIGTERM, then
// prints "relayed N data D" (N datagrams forwarded, D of them DATA packets that the server sent).
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

int BoundSocket(unsigned nPort)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(nPort));
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int nBuffer = 4 << 20;  // room for a few windows held at once
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &nBuffer, sizeof nBuffer);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return s;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s LISTEN-PORT SERVER-PORT DELAY-US DUPLICATE-SHARE SEED\n", argv[0]);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    int sockets[2] = {BoundSocket(static_cast<unsigned>(std::atoi(argv[1]))), BoundSocket(0)};
    sockaddr_in listener {};  // where every read request goes
    listener.sin_family = AF_INET;
    listener.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    listener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sockaddr_in peers[2] {{}, listener};  // the client (side 0) and the server (side 1), as last heard
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
                   reinterpret_cast<sockaddr*>(&peers[next.nSide == 0 ? 0 : 1]), sizeof peers[0]);
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
            sockaddr_in sender {};
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
