// The platform beneath the TFTP server: sockets, clock, threads, the executable's directory and the served files.
// One implementation for Windows (PlatformWin.cpp) and one for POSIX systems (PlatformPosix.cpp, whose network
// half -- sockets, TickCount and SleepMilliseconds -- lies in PlatformPosixNet.cpp so that tests can replace it).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// --- Sockets layer ---------------------------------------------------------------------------------

// A socket handle wide enough for either system's kind; INVALID_SOCKET_HANDLE is the invalid value of both.
using SocketHandle = std::uintptr_t;
constexpr SocketHandle INVALID_SOCKET_HANDLE = ~SocketHandle(0);

// An IPv4 socket address in the sockets layer's own 16-byte layout (family, port, address, 8 zero bytes).
struct CSocketAddress
{
    alignas(4) unsigned char m_rgBytes[16];
};

// Starts the sockets layer (Winsock 2.2); false after reporting why it could not start.
bool InitWinsock();
// Ends the use of the sockets layer; a failure is traced.
void CleanupWinsock();

// An IPv4 datagram socket, or INVALID_SOCKET_HANDLE.
SocketHandle OpenUdpSocket();
// Fills an address for every IPv4 interface and the given port.
void FillAnyAddress(CSocketAddress* pAddress, std::uint16_t nPort);
bool BindSocket(SocketHandle hSocket, const CSocketAddress& address);
// Blocks for one datagram. Returns its length, or -1 when the receive fails: the socket was closed, or the
// datagram was longer than cbBuffer (it is then lost). *pnFromLength holds the space of *pFrom on entry.
int ReceiveDatagram(SocketHandle hSocket, unsigned char* pBuffer, int cbBuffer, CSocketAddress* pFrom,
                    int* pnFromLength);
bool SendDatagram(SocketHandle hSocket, const unsigned char* pData, int cbData, const CSocketAddress& to,
                  int nToLength);
// Closes the socket; a receive or bind blocked on it in another thread then fails.
void CloseSocket(SocketHandle hSocket);
// The sockets layer's last error number of the calling thread.
int LastSocketError();

// --- Clock and threads -----------------------------------------------------------------------------

// Milliseconds of a monotonic system clock, wrapping at 2^32.
std::uint32_t TickCount();
void SleepMilliseconds(std::uint32_t nMilliseconds);

// Starts pfnRoutine(pArgument) on a new thread. Returns its handle (a HANDLE on Windows), or null.
void* StartThread(void (*pfnRoutine)(void*), void* pArgument, std::uint32_t* pnThreadId);
// Waits until the thread has ended, then releases its handle.
void JoinThread(void* hThread);

// --- Files ----------------------------------------------------------------------------------------

// Directory of the running executable with its closing separator, in narrow text (on Windows converted
// with the calling thread's ANSI code page); empty when it cannot be found.
std::string ExecutableDirectory();

// Existence test: true for any existing entry, directories included.
bool FileExists(const char* pszPath);
// Opens a file read-only in binary mode, shared with other readers and writers. A directory does not open.
// Returns a descriptor, or -1.
int OpenServedFile(const char* pszPath);
// Reads up to cbBuffer bytes; returns the count (less only at the end of the file), or -1 on failure.
int ReadServedFile(int nFile, unsigned char* pBuffer, int cbBuffer);
// True when the open file is a plain file on disk (not a directory, device, pipe or socket).
bool IsPlainDiskFile(int nFile);
void CloseServedFile(int nFile);
// The absolute, normalised form of a path (GetFullPathName on Windows; realpath, links resolved, on
// POSIX systems). False when it cannot be formed or does not fit cbFullPath bytes with its NUL.
bool ResolveFullPath(const char* pszPath, char* pszFullPath, std::size_t cbFullPath);
