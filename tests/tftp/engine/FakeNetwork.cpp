// The scripted network half: receive plays queued datagrams, send records them, the clock moves on request.
#include "tests/tftp/engine/FakeNetwork.h"

#include <arpa/inet.h>
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "tftp/Platform.h"

namespace
{
std::mutex g_mutex;
std::condition_variable g_changed;
std::deque<std::pair<CSentDatagram, int>> g_queue;  // a datagram, or the error number of a failed receive
std::vector<CSentDatagram> g_sent;
SocketHandle g_hOpen = INVALID_SOCKET_HANDLE, g_hLast = 2;
bool g_bReceiving = false, g_bPortHeld = false;
int g_nBinds = 0, g_nLastError = 0;
std::atomic<std::uint32_t> g_nClock{0xFFFF0000u};  // so that tick arithmetic must survive the wrap

bool Queue(const CSentDatagram& datagram, int nError)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    g_queue.emplace_back(datagram, nError);
    g_changed.notify_all();
    return g_changed.wait_for(lock, std::chrono::seconds(10), [] { return g_queue.empty() && g_bReceiving; });
}
}

bool FakeDeliver(std::uint16_t nPort, const std::string& bytes, std::uint32_t nAddress)
{
    return Queue({nAddress, nPort, bytes}, 0);
}
bool FakeFailReceive(int nError) { return Queue({0, 0, ""}, nError); }
void FakeAdvanceClock(std::uint32_t nMilliseconds) { g_nClock += nMilliseconds; }
std::vector<CSentDatagram> FakeTakeSent()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::exchange(g_sent, {});
}
void FakeHoldPort(bool bHeld)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_bPortHeld = bHeld;
}
bool FakeWaitForBinds(int nCount)
{
    std::unique_lock<std::mutex> lock(g_mutex);
    int nTarget = g_nBinds + nCount;
    return g_changed.wait_for(lock, std::chrono::seconds(10), [nTarget] { return g_nBinds >= nTarget; });
}

// The network half of the platform, as the server sees it.
bool InitWinsock() { return true; }
void CleanupWinsock() {}
void FillAnyAddress(CSocketAddress*, std::uint16_t) {}
int LastSocketError() { return g_nLastError; }
std::uint32_t TickCount() { return g_nClock.load(); }
void SleepMilliseconds(std::uint32_t) { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
SocketHandle OpenUdpSocket()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_hOpen = ++g_hLast;
}
bool BindSocket(SocketHandle, const CSocketAddress&)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_nBinds;
    g_changed.notify_all();
    return !g_bPortHeld;
}
void CloseSocket(SocketHandle hSocket)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hOpen = hSocket == g_hOpen ? INVALID_SOCKET_HANDLE : g_hOpen;
    g_changed.notify_all();
}
int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom,
                    int* pnFromLength)
{
    ASAN_UNPOISON_MEMORY_REGION(pBuffer, cbBuffer);
    std::unique_lock<std::mutex> lock(g_mutex);
    g_bReceiving = true;
    g_changed.notify_all();
    g_changed.wait(lock, [hSocket] { return hSocket != g_hOpen || !g_queue.empty(); });
    g_bReceiving = false;
    if (hSocket != g_hOpen)
        return g_nLastError = EBADF, -1;
    std::pair<CSentDatagram, int> next = g_queue.front();
    g_queue.pop_front();
    const std::string& bytes = next.first.m_bytes;
    if ((g_nLastError = next.second) != 0 || static_cast<int>(bytes.size()) > cbBuffer)
        return -1;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(next.first.m_nPort);
    from.sin_addr.s_addr = htonl(next.first.m_nAddress);
    std::memcpy(pFrom->m_rgBytes, &from, *pnFromLength = sizeof from);
    std::memcpy(pBuffer, bytes.data(), bytes.size());
    ASAN_POISON_MEMORY_REGION(pBuffer + bytes.size(), cbBuffer - bytes.size());
    return static_cast<int>(bytes.size());
}
bool SendDatagram(SocketHandle, const unsigned char* pData, int cbData, const CSocketAddress& to, int)
{
    sockaddr_in peer;
    std::memcpy(&peer, to.m_rgBytes, sizeof peer);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_sent.push_back({ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port), std::string(pData, pData + cbData)});
    return true;
}
