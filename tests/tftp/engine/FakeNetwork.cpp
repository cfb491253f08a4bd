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
struct CSocket { std::uint16_t m_nPort = 0; bool m_bIPv6 = false; std::deque<CSentDatagram> m_queue; };
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
// A client's address as a socket of the family delivers it: an IPv4 one to an IPv6 socket as IPv4-mapped.
void Fill(CSocketAddress* pAddress, bool bIPv6, const string& host, std::uint16_t nPort)
{
    std::memset(pAddress, 0, sizeof *pAddress);
    std::size_t nZone = host.find('%');  // "fe80::1%3": a link-local address and its zone
    sockaddr_in6 v6{AF_INET6, htons(nPort), 0, {}, nZone == host.npos ? 0u : static_cast<std::uint32_t>(std::stoul(host.substr(nZone + 1)))};
    sockaddr_in v4{AF_INET, htons(nPort), {}, {}};
    if (inet_pton(AF_INET6, host.substr(0, nZone).c_str(), &v6.sin6_addr) == 1 || (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1 && bIPv6 &&
        inet_pton(AF_INET6, ("::ffff:" + host).c_str(), &v6.sin6_addr) == 1))
        std::memcpy(pAddress, &v6, sizeof v6);
    else
        std::memcpy(pAddress, &v4, sizeof v4);
}
string HostText(const CSocketAddress& address)
{
    char szText[SOCKET_ADDRESS_TEXT_BYTES];
    address.Print(szText);
    string text(szText);
    return text[0] == '[' ? text.substr(1, text.rfind(']') - 1) : text.substr(0, text.rfind(':'));
}
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

bool FakeDeliver(std::uint16_t nPort, const string& bytes, const string& host, std::uint16_t nTo)
{
    CLock lock(g_mutex);
    if (CSocket* pSocket = ByPort(nTo))
        pSocket->m_queue.push_back({1, host, nPort, bytes});
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
bool HasIPv6() { return true; }
void FillAnyAddress(CSocketAddress* pAddress, EFamily eFamily, std::uint16_t nPort) { Fill(pAddress, eFamily == EFamily::IPv6, "::", nPort); }
void FillLoopbackAddress(CSocketAddress* pAddress, std::uint16_t nPort) { Fill(pAddress, false, "127.0.0.1", nPort); }
bool BindSocket(SocketHandle hSocket, const CSocketAddress& address)
{
    CLock lock(g_mutex);
    std::uint16_t nPort = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);  // where both families keep it
    g_nNextPort = nPort == 6051 ? 50001 : g_nNextPort;  // each server's transfers get the same ports
    g_sockets[hSocket].m_nPort = nPort != 0 ? nPort : g_nNextPort++;
    return true;
}
void SleepMilliseconds(std::uint32_t) {}  // binds never fail here
int LastSocketError() { return g_nLastError; }
std::uint32_t TickCount() { return g_nClock; }
SocketHandle OpenUdpSocket(EFamily eFamily) { CLock lock(g_mutex); g_sockets[g_nNextHandle].m_bIPv6 = eFamily == EFamily::IPv6; return g_nNextHandle++; }
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
    Fill(pFrom, g_sockets[hSocket].m_bIPv6, datagram.m_host, datagram.m_nPort);
    std::memcpy(pBuffer, datagram.m_bytes.data(), cbData);
    if (datagram.m_nFrom != 0)
        ASAN_POISON_MEMORY_REGION(pBuffer + cbData, cbBuffer - cbData);
    return static_cast<int>(cbData);
}
// A datagram to 127.0.0.1:6051 is the server waking itself: it is queued there; everything else is recorded.
bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to)
{
    CLock lock(g_mutex);
    CSentDatagram datagram{g_sockets[hSocket].m_nPort, HostText(to), ntohs(reinterpret_cast<const sockaddr_in&>(to).sin_port),
                           string(pData, pData + cbData)};
    bool bWake = datagram.m_host == "127.0.0.1" && datagram.m_nPort == 6051 && ByPort(6051) != nullptr;
    if (bWake)
        ByPort(6051)->m_queue.push_back({0, datagram.m_host, datagram.m_nFrom, datagram.m_bytes});
    else
        g_sent.push_back(datagram);
    g_changed.notify_all();
    return true;
}
