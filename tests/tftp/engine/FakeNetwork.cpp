// The scripted network half: each socket has a port and a queue; receives and waits play the queued datagrams, sends
// are recorded, the clock moves on request. A socket bound to port 0 gets the next of 50001, 50002, ...
#include "tests/tftp/engine/FakeNetwork.h"

#include <arpa/inet.h>
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "tftp/Platform.h"

using std::string;

namespace
{
using CLock = std::unique_lock<std::mutex>;
// A queued datagram's m_nFrom is 1 for a test's, whose buffer's rest is poisoned, and 0 for the server's own wake-up,
// which may come last before the server object goes: a stack object must not leave poisoned bytes behind.
struct CSocket { std::uint16_t m_nPort = 0; std::deque<CSentDatagram> m_queue; };
std::mutex g_mutex;
std::condition_variable g_changed;
std::map<SocketHandle, CSocket> g_sockets;
std::vector<CSentDatagram> g_sent;
SocketHandle g_nNextHandle = 3;
std::uint16_t g_nNextPort = 50001;
bool g_bWaiting = false;
int g_nLastError = 0;
std::atomic<std::uint32_t> g_nClock{0xFFFF0000u};  // so that tick arithmetic must survive the wrap
std::uint32_t g_nReceiveMs = 0, g_nWaitMs = 0, g_nWaitFrom = 0;  // port 6051's time-out; the wait's, and its start

bool Queued() { for (auto& [h, s] : g_sockets) if (!s.m_queue.empty()) return true; return false; }
bool Settled() { return !Queued() && g_bWaiting && (g_nWaitMs == 0 || g_nClock - g_nWaitFrom < g_nWaitMs); }
CSocket* ByPort(std::uint16_t nPort) { for (auto& [h, s] : g_sockets) if (s.m_nPort == nPort) return &s; return nullptr; }
sockaddr_in Address(std::uint32_t nHost, std::uint16_t nPort) { return {AF_INET, htons(nPort), {htonl(nHost)}, {}}; }
// As the server thread: waits until one of the sockets has a datagram, or the time-out passed on the clock.
int Wait(CLock& lock, const SocketHandle* rgSockets, bool* rgbReady, int nSockets, std::uint32_t nMs)
{
    auto ready = [&] { int n = 0; for (int i = 0; i < nSockets; ++i) n += rgbReady[i] = !g_sockets[rgSockets[i]].m_queue.empty(); return n; };
    g_bWaiting = true, g_nWaitMs = nMs, g_nWaitFrom = g_nClock;
    g_changed.notify_all();
    g_changed.wait(lock, [&] { return ready() || !Settled(); });
    g_bWaiting = false;
    return ready();
}
}  // namespace

bool FakeDeliver(std::uint16_t nPort, const string& bytes, std::uint32_t nHost, std::uint16_t nTo)
{
    CLock lock(g_mutex);
    if (CSocket* pSocket = ByPort(nTo))
        pSocket->m_queue.push_back({1, nHost, nPort, bytes});
    g_changed.notify_all();
    return g_changed.wait_for(lock, std::chrono::seconds(10), Settled);
}
bool FakeAdvanceClock(std::uint32_t nMs)
{
    CLock lock(g_mutex);
    g_nClock += nMs;
    g_changed.notify_all();
    return g_changed.wait_for(lock, std::chrono::seconds(10), Settled);
}
std::vector<CSentDatagram> FakeTakeSent() { CLock lock(g_mutex); return std::exchange(g_sent, {}); }
int FakeOpenSockets() { CLock lock(g_mutex); return static_cast<int>(g_sockets.size()); }

bool StartSocketsLayer(CStartFailure*) { return true; }
void EndSocketsLayer() {}
void FillAnyAddress(CSocketAddress* pAddress, std::uint16_t nPort) { *reinterpret_cast<sockaddr_in*>(pAddress) = Address(INADDR_ANY, nPort); }
void FillLoopbackAddress(CSocketAddress* pAddress, std::uint16_t nPort) { *reinterpret_cast<sockaddr_in*>(pAddress) = Address(INADDR_LOOPBACK, nPort); }
bool BindSocket(SocketHandle hSocket, const CSocketAddress& address)
{
    CLock lock(g_mutex);
    std::uint16_t nPort = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    g_nNextPort = nPort == 6051 ? 50001 : g_nNextPort;  // each server's transfers get the same ports
    g_sockets[hSocket].m_nPort = nPort != 0 ? nPort : g_nNextPort++;
    return true;
}
void SleepMilliseconds(std::uint32_t) {}  // binds never fail here
int LastSocketError() { return g_nLastError; }
std::uint32_t TickCount() { return g_nClock; }
SocketHandle OpenUdpSocket() { CLock lock(g_mutex); g_sockets[g_nNextHandle]; return g_nNextHandle++; }
void CloseSocket(SocketHandle hSocket) { CLock lock(g_mutex); g_sockets.erase(hSocket); }
bool SetReceiveTimeout(SocketHandle, std::uint32_t nMs) { CLock lock(g_mutex); g_nReceiveMs = nMs; return true; }
int WaitForDatagrams(const SocketHandle* rgSockets, bool* rgbReady, int nSockets, std::uint32_t nMs)
{
    CLock lock(g_mutex);
    return Wait(lock, rgSockets, rgbReady, nSockets, nMs);
}
int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom)
{
    ASAN_UNPOISON_MEMORY_REGION(pBuffer, cbBuffer);
    CLock lock(g_mutex);
    bool bReady = false;
    std::deque<CSentDatagram>& queue = g_sockets[hSocket].m_queue;
    if (queue.empty() && !Wait(lock, &hSocket, &bReady, 1, g_nReceiveMs))
        return RECEIVE_TIMED_OUT;
    CSentDatagram datagram = queue.front();
    queue.pop_front();
    std::size_t cbData = datagram.m_bytes.size();
    if (cbData > static_cast<std::size_t>(cbBuffer))  // lost, and the receive fails, as on a real socket
        return g_nLastError = EMSGSIZE, RECEIVE_FAILED;
    *reinterpret_cast<sockaddr_in*>(pFrom) = Address(datagram.m_nAddress, datagram.m_nPort);
    std::memcpy(pBuffer, datagram.m_bytes.data(), cbData);
    if (datagram.m_nFrom != 0)
        ASAN_POISON_MEMORY_REGION(pBuffer + cbData, cbBuffer - cbData);
    return static_cast<int>(cbData);
}
// A datagram to 127.0.0.1:6051 is the server waking itself: it is queued there; everything else is recorded.
bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to)
{
    const sockaddr_in& peer = reinterpret_cast<const sockaddr_in&>(to);
    CLock lock(g_mutex);
    CSentDatagram datagram{g_sockets[hSocket].m_nPort, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), string(pData, pData + cbData)};
    bool bWake = datagram.m_nAddress == INADDR_LOOPBACK && datagram.m_nPort == 6051 && ByPort(6051) != nullptr;
    if (bWake)
        ByPort(6051)->m_queue.push_back({0, INADDR_LOOPBACK, datagram.m_nFrom, datagram.m_bytes});
    else
        g_sent.push_back(datagram);
    g_changed.notify_all();
    return true;
}
