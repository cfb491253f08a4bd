// CTFTPServer's lifecycle: boot directory, start and stop, the server thread and its socket.
#include "tftp/TFTPServer.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "diag/Trace.h"
#ifdef _WIN32
#include "diag/ErrorEvent.h"
#endif

CTFTPServer::CTFTPServer() : m_pTransfers(new (std::nothrow) CTransfer[TRANSFER_SLOTS])
{
    std::memset(m_packet, 0, sizeof m_packet);
    std::memset(m_szBootDir, 0, sizeof m_szBootDir);
}

CTFTPServer::~CTFTPServer()
{
    if (m_pThread != nullptr)
        Stop();
}

void CTFTPServer::SetRecordSink(PfnTransferRecord pfnRecord, void* pContext)
{
    m_pfnRecord = pfnRecord;
    m_pRecordContext = pContext;
}

CThread* CTFTPServer::Start()
{
    m_bStop.store(false);
    m_bListening.store(false);
    if (m_pTransfers == nullptr)
        return nullptr;  // the transfer table could not be allocated
    CStartFailure failure;
    if (!OpenBootDirectory(&failure) || !StartSocketsLayer(&failure))
    {
        ReportStartFailure(failure);
        return nullptr;
    }
    TraceW(L"Starting TFTP server\n");
    m_pThread = StartThread(&CTFTPServer::Entry, this);
    if (m_pThread == nullptr)
        EndSocketsLayer();  // the caller will not call Stop, which would end the use of the sockets layer
    return m_pThread;
}

// The directory of the executable, fixed once: a name that cannot be held exactly is refused with its
// reason, never served as another directory.
bool CTFTPServer::OpenBootDirectory(CStartFailure* pFailure)
{
    std::string bootDir;
    if (!ExecutableDirectory(&bootDir, pFailure))
        return false;
    // A directory that does not fit would be cut, and a cut path names some other directory.
    if (bootDir.size() >= sizeof m_szBootDir)
    {
        char szWhat[sizeof pFailure->m_szWhat];
        std::snprintf(szWhat, sizeof szWhat, "Boot directory of %u bytes is longer than %u",
                      static_cast<unsigned>(bootDir.size()), static_cast<unsigned>(sizeof m_szBootDir - 1));
        return StartFailed(pFailure, NAME_TOO_LONG_ERROR, szWhat);
    }
    std::memcpy(m_szBootDir, bootDir.c_str(), bootDir.size() + 1);
    return m_bootDirectory.Open(m_szBootDir, pFailure);
}

// The one report of a start that failed: its trace line and, on Windows, the error event with the same text.
void CTFTPServer::ReportStartFailure(const CStartFailure& failure)
{
    char szWhy[TRACE_BUFFER_CHARS];
    std::snprintf(szWhy, sizeof szWhy, "%s (error %d), server not started", failure.m_szWhat, failure.m_nError);
    TraceA("TFTP: %s\n", szWhy);
#ifdef _WIN32
    std::wstring why(szWhy, szWhy + std::strlen(szWhy));  // plain ASCII: the texts are the server's own
    WriteErrorEvent(failure.m_nError, why.c_str());
#endif
}

void CTFTPServer::Stop()
{
    m_bStop.store(true);
    if (m_pThread != nullptr)
    {
        // Woken again while it has not ended: it may still be binding its port, or the datagram may have been lost.
        do
            WakeServerThread();
        while (!JoinThread(m_pThread, STOP_WAKE_MS));
        m_pThread = nullptr;
    }
    EndSocketsLayer();
}

// An empty datagram from this host to the server's port wakes the thread from its wait, and it finds the stop flag.
// The thread keeps its sockets until it has ended every transfer, so that each client can still be told.
void CTFTPServer::WakeServerThread()
{
    if (!m_bListening.load())
        return;  // still binding: the thread looks at the flag between its tries
    SocketHandle hSocket = OpenUdpSocket(EFamily::IPv4);  // both kinds of socket on the port take IPv4
    if (hSocket == INVALID_SOCKET_HANDLE)
        return;
    CSocketAddress server;
    FillLoopbackAddress(&server, m_nPort);
    const unsigned char nothing = 0;
    SendDatagram(hSocket, &nothing, 0, server);
    CloseSocket(hSocket);
}

void CTFTPServer::Entry(void* pServer)
{
    CTFTPServer* pThis = static_cast<CTFTPServer*>(pServer);
    TraceA("Entering CTFTPServer::Entry().\n");
    if (pThis->InitSocket())
        pThis->ServeRequests();
    if (pThis->m_socket != INVALID_SOCKET_HANDLE)
        CloseSocket(pThis->m_socket);
    pThis->m_socket = INVALID_SOCKET_HANDLE;
    TraceA("CTFTPServer::Entry() is down!\n");
}

bool CTFTPServer::InitSocket()
{
    // One socket for both families where the system has IPv6: IPv4 clients reach it as IPv4-mapped addresses.
    EFamily eFamily = EFamily::IPv6;
    if (!HasIPv6() || (m_socket = OpenUdpSocket(EFamily::IPv6)) == INVALID_SOCKET_HANDLE)
    {
        TraceA("TFTP: IPv6 is not available (error %d), serving IPv4 only\n", LastSocketError());
        eFamily = EFamily::IPv4;
        m_socket = OpenUdpSocket(eFamily);
    }
    if (m_socket == INVALID_SOCKET_HANDLE)
    {
        TraceA("TFTP: socket() failed with error %d\n", LastSocketError());
        return false;
    }
    FillAnyAddress(&m_addrLocal, eFamily, m_nPort);
    // Another program may hold the port: wait for it, silently, until bound or stopped.
    while (!BindSocket(m_socket, m_addrLocal))
    {
        if (m_bStop.load())
            return false;
        SleepMilliseconds(500);
    }
    // A stop that came before this could not wake the thread with a datagram: the flag is looked at once more.
    m_bListening.store(true);
    return !m_bStop.load();
}
