// The scripted network half: receive plays queued datagrams, send records them, the clock moves on request.
// CloseSocket wakes a blocked receive, which then fails, as a real close does.
#include "tests/tftp/engine/FakeNetwork.h"

#include <arpa/inet.h>
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "tftp/Platform.h"

using std::string;

namespace
{
using CLock = std::unique_lock<std::mutex>;
std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<CSentDatagram> g_queue;
std::vector<CSentDatagram> g_sent;
bool g_bOpen = false, g_bReceiving = false;  // one socket at a time: tests run one server after another
int g_nLastError = 0;
std::atomic<std::uint32_t> g_nClock{0xFFFF0000u};  // so that tick arithmetic must survive the wrap

std::uint32_t g_nWaitMs = 0, g_nWaitFrom = 0;  // the receive's time-out and the clock when it began to wait
bool Settled() { return g_queue.empty() && g_bReceiving && (g_nWaitMs == 0 || g_nClock - g_nWaitFrom < g_nWaitMs); }
}

bool FakeDeliver(std::uint16_t nPort, const string& bytes, std::uint32_t nHost)
{
    CLock lock(g_mutex);
    g_queue.push_back({nHost, nPort, bytes});
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

bool StartSocketsLayer() { return true; }
void EndSocketsLayer() {}
void FillAnyAddress(CSocketAddress*, std::uint16_t) {}
bool BindSocket(SocketHandle, const CSocketAddress&) { return true; }
void SleepMilliseconds(std::uint32_t) {}  // binds never fail here
int LastSocketError() { return g_nLastError; }
std::uint32_t TickCount() { return g_nClock; }
SocketHandle OpenUdpSocket() { CLock lock(g_mutex); g_bOpen = true; g_nWaitMs = 0; return 3; }
void CloseSocket(SocketHandle) { CLock lock(g_mutex); g_bOpen = false; g_changed.notify_all(); }
bool SetReceiveTimeout(SocketHandle, std::uint32_t nMs) { CLock lock(g_mutex); g_nWaitMs = nMs; return true; }
int ReceiveDatagram(SocketHandle, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom)
{
    ASAN_UNPOISON_MEMORY_REGION(pBuffer, cbBuffer);
    CLock lock(g_mutex);
    g_bReceiving = true;
    g_nWaitFrom = g_nClock;
    g_changed.notify_all();
    g_changed.wait(lock, [] { return !g_bOpen || !g_queue.empty() || !Settled(); });
    g_bReceiving = false;
    if (!g_bOpen)
        return RECEIVE_FAILED;
    if (g_queue.empty())
        return RECEIVE_TIMED_OUT;
    CSentDatagram datagram = g_queue.front();
    g_queue.pop_front();
    std::size_t cbData = datagram.m_bytes.size();
    if (cbData > static_cast<std::size_t>(cbBuffer))  // lost, and the receive fails, as on a real socket
        return g_nLastError = EMSGSIZE, RECEIVE_FAILED;
    sockaddr_in from{AF_INET, htons(datagram.m_nPort), {htonl(datagram.m_nAddress)}, {}};
    std::memcpy(pFrom->m_rgBytes, &from, sizeof from);
    std::memcpy(pBuffer, datagram.m_bytes.data(), cbData);
    ASAN_POISON_MEMORY_REGION(pBuffer + cbData, cbBuffer - cbData);
    return static_cast<int>(cbData);
}
bool SendDatagram(SocketHandle, const unsigned char* pData, int cbData, const CSocketAddress& to)
{
    sockaddr_in peer;
    std::memcpy(&peer, to.m_rgBytes, sizeof peer);
    CLock lock(g_mutex);
    g_sent.push_back({ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), string(pData, pData + cbData)});
    return true;
}
