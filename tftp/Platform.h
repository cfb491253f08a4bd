// The platform beneath the TFTP server: sockets, clock, threads, the executable's directory and the served files.
// One implementation for Windows (PlatformWin.cpp) and one for POSIX systems (PlatformPosix.cpp, whose network
// half -- sockets, TickCount and SleepMilliseconds -- lies in PlatformPosixNet.cpp so that tests can replace it).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Why the server cannot start: the system's error code and a short text that names what failed. The server
// reports it, once, in its trace line (and on Windows in the error event).
struct CStartFailure
{
    int m_nError = 0;
    char m_szWhat[128] = "";
};
// Fills *pFailure; returns false, for the failing call to return.
inline bool StartFailed(CStartFailure* pFailure, int nError, const char* pszWhat)
{
    pFailure->m_nError = nError;
    std::snprintf(pFailure->m_szWhat, sizeof pFailure->m_szWhat, "%s", pszWhat);
    return false;
}

// --- Sockets layer ---------------------------------------------------------------------------------

// A socket handle wide enough for either system's kind; INVALID_SOCKET_HANDLE is the invalid value of both.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle INVALID_SOCKET_HANDLE = ~SocketHandle(0);

// The families of sockets. An IPv6 socket is dual-stack: IPv4 clients reach it too, as IPv4-mapped addresses.
enum class EFamily : std::uint8_t
{
    IPv4,
    IPv6,
};

// A socket address of either family in the sockets layer's own layout (an IPv4 or an IPv6 socket address), as a
// socket delivered it. The engine never reads its bytes: it asks the address to compare or print itself, and an
// IPv4-mapped address is the IPv4 client that it maps.
struct CSocketAddress
{
    // The same client: address and UDP port (and the zone of a scoped IPv6 address).
    bool SameAs(const CSocketAddress& other) const;
    // The same host, whatever the port: the IPv4 address; for IPv6 the /64, which one host may fill with addresses.
    bool SameHost(const CSocketAddress& other) const;
    // A client that speaks IPv6 itself, not an IPv4 client of a dual-stack socket.
    bool IsIPv6() const;
    // The family of the socket that the address came through, and so of the sockets that answer it.
    EFamily Family() const;
    // "A.B.C.D:PORT" for an IPv4 client, "[2001:db8::20]:PORT" for an IPv6 one (RFC 5952, with "%ZONE" for a scoped
    // address), into a buffer of SOCKET_ADDRESS_TEXT_BYTES.
    void Print(char* pszText) const;

    alignas(8) unsigned char m_rgBytes[28];
};
constexpr int SOCKET_ADDRESS_TEXT_BYTES = 64;

// Starts the sockets layer where the system has one to start (Winsock 2.2); false with what failed.
bool StartSocketsLayer(CStartFailure* pFailure);
// Ends the use of the sockets layer; a failure is traced.
void EndSocketsLayer();

// True when the system has IPv6: an IPv6 socket binds to its loopback address ::1. Where IPv6 is disabled, a
// dual-stack socket would still serve IPv4, but the server says so and keeps to IPv4 alone.
bool HasIPv6();
// A datagram socket of the family (an IPv6 one takes IPv4 clients too), or INVALID_SOCKET_HANDLE. On Windows a
// send to a closed port does not make a later receive fail, and no other program may bind the same port beside it.
SocketHandle OpenUdpSocket(EFamily eFamily);
// Fills an address for every interface of the family and the given port (0: a free port that the system picks).
void FillAnyAddress(CSocketAddress* pAddress, EFamily eFamily, std::uint16_t nPort);
// Fills the loopback address 127.0.0.1 and the given port.
void FillLoopbackAddress(CSocketAddress* pAddress, std::uint16_t nPort);
bool BindSocket(SocketHandle hSocket, const CSocketAddress& address);

constexpr int RECEIVE_FAILED = -1;
constexpr int RECEIVE_TIMED_OUT = -2;
// How long later receives on the socket wait for a datagram, in milliseconds; 0 waits without end.
bool SetReceiveTimeout(SocketHandle hSocket, std::uint32_t nMilliseconds);
// Waits for one datagram. Returns its length, RECEIVE_TIMED_OUT when the socket's time-out passed without
// one, or RECEIVE_FAILED: the socket was closed, or the datagram was longer than cbBuffer (it is then lost).
int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom);
// The most sockets that one wait takes.
constexpr int MAX_WAITED_SOCKETS = 80;
constexpr int DATAGRAM_WAIT_FAILED = -1;
// Waits until at least one of nSockets sockets has a datagram to receive, or nMilliseconds pass (0: without
// end). Sets rgbReady[i] for each socket that has one and returns how many do (0 when the time passed), or
// DATAGRAM_WAIT_FAILED.
int WaitForDatagrams(const SocketHandle* rgSockets, bool* rgbReady, int nSockets, std::uint32_t nMilliseconds);
bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to);
void CloseSocket(SocketHandle hSocket);
// The sockets layer's last error number of the calling thread.
int LastSocketError();

// --- Clock and threads -----------------------------------------------------------------------------

// Milliseconds of a monotonic system clock, wrapping at 2^32.
std::uint32_t TickCount();
void SleepMilliseconds(std::uint32_t nMilliseconds);

// A running thread, known only to the platform that started it.
class CThread;
// Starts pfnRoutine(pArgument) on a new thread; null when it cannot.
CThread* StartThread(void (*pfnRoutine)(void*), void* pArgument);
// Waits until the thread has ended, at most nMilliseconds, and then releases it; false (the thread still
// running and held) when the time passed first.
bool JoinThread(CThread* pThread, std::uint32_t nMilliseconds);

// --- Files ----------------------------------------------------------------------------------------

// Directory of the running executable with its closing separator, in narrow text. On Windows the name is
// converted with the calling thread's ANSI code page and must convert back unchanged: a character outside
// the code page would become a near or a default character and name another directory, or none. False
// with what failed.
bool ExecutableDirectory(std::string* pDirectory, CStartFailure* pFailure);
// The system's error code for a name too long.
extern const int NAME_TOO_LONG_ERROR;

// What became of opening a requested name beneath the boot directory.
enum class EServedOpen
{
    Opened,   // a plain file beneath the directory, now open
    Missing,  // nothing of that name beneath the directory
    Refused,  // the name leads outside the directory (through a link, junction or mount point), or to
              // something that is not a plain file: a pipe, a device
    Failed,   // it lies beneath the directory but does not open: a directory, no access
};

// The boot directory, fixed when the server starts: every served file is opened beneath it, and what the
// opened file turns out to be decides, so no link and no name swapped after a check can lead outside.
class CBootDirectory
{
public:
    CBootDirectory();
    ~CBootDirectory();
    CBootDirectory(const CBootDirectory&) = delete;
    CBootDirectory& operator=(const CBootDirectory&) = delete;

    // Opens the directory pszPath (narrow text with its closing separator). False with what failed.
    bool Open(const char* pszPath, CStartFailure* pFailure);
    // Opens pszName, a request name taken in the ANSI code page, read-only in binary mode and shared with
    // other readers and writers. When it returns Opened, *pnFile holds the descriptor.
    EServedOpen OpenFile(const char* pszName, int* pnFile) const;

private:
    class COpened;  // what the platform keeps of the opened directory
    std::unique_ptr<COpened> m_pOpened;
};

// Reads up to cbBuffer bytes; returns the count (less only at the end of the file), or -1 on failure.
int ReadServedFile(int nFile, unsigned char* pBuffer, int cbBuffer);
// The file's size in bytes, files past 4 GiB included; false when the system cannot tell.
bool ServedFileSize(int nFile, std::uint64_t* pnSize);
void CloseServedFile(int nFile);
