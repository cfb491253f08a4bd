// CTFTPServer's lifecycle: boot directory, start and stop, the server thread and its socket.
#include "tftp/TFTPServer.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "diag/Trace.h"

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
    if (!OpenBootDirectory())
        return nullptr;
    if (m_pTransfers == nullptr)
        return nullptr;  // the transfer table could not be allocated
    if (!StartSocketsLayer())
        return nullptr;
    TraceW(L"Starting TFTP server\n");
    m_pThread = StartThread(&CTFTPServer::Entry, this);
    if (m_pThread == nullptr)
        EndSocketsLayer();  // the caller will not call Stop, which would end the use of the sockets layer
    return m_pThread;
}

// The directory of the executable, fixed once: a name that cannot be held exactly is refused with its
// reason, never served as another directory.
bool CTFTPServer::OpenBootDirectory()
{
    std::string bootDir;
    if (!ExecutableDirectory(&bootDir))
        return false;
    // A directory that does not fit would be cut, and a cut path names some other directory.
    if (bootDir.size() >= sizeof m_szBootDir)
    {
        char szWhy[TRACE_BUFFER_CHARS];
        std::snprintf(szWhy, sizeof szWhy, "Boot directory of %u bytes cannot be served (1 to %u bytes), server not started",
                      static_cast<unsigned>(bootDir.size()), static_cast<unsigned>(sizeof m_szBootDir - 1));
        TraceA("TFTP: %s\n", szWhy);
        ReportLongBootDirectory(szWhy);
        return false;
    }
    std::memcpy(m_szBootDir, bootDir.c_str(), bootDir.size() + 1);
    return m_bootDirectory.Open(m_szBootDir);
}

bool CTFTPServer::Stop()
{
    // The flag is set before the socket closes, so the failure that the close causes finds it set.
    m_bStop.store(true);
    SocketHandle hSocket = m_socket.exchange(INVALID_SOCKET_HANDLE);
    if (hSocket != INVALID_SOCKET_HANDLE)
        CloseSocket(hSocket);
    if (m_pThread != nullptr)
    {
        JoinThread(m_pThread);
        m_pThread = nullptr;
    }
    EndSocketsLayer();
    return true;
}

void CTFTPServer::Entry(void* pServer)
{
    CTFTPServer* pThis = static_cast<CTFTPServer*>(pServer);
    TraceA("Entering CTFTPServer::Entry().\n");
    if (pThis->InitSocket())
        pThis->ServeRequests();
    TraceA("CTFTPServer::Entry() is down!\n");
}

bool CTFTPServer::InitSocket()
{
    SocketHandle hSocket = OpenUdpSocket();
    if (hSocket == INVALID_SOCKET_HANDLE)
    {
        TraceA("TFTP: socket() failed with error %d\n", LastSocketError());
        return false;
    }
    m_socket.store(hSocket);
    // A stop that came before the socket existed had nothing to close: close it here, or the thread
    // would wait in its receive for ever.
    if (m_bStop.load())
    {
        hSocket = m_socket.exchange(INVALID_SOCKET_HANDLE);
        if (hSocket != INVALID_SOCKET_HANDLE)
            CloseSocket(hSocket);
        return false;
    }
    FillAnyAddress(&m_addrLocal, m_nPort);
    // Another program may hold the port: wait for it, silently, until bound or stopped.
    while (!BindSocket(m_socket.load(), m_addrLocal))
    {
        if (m_bStop.load())
            return false;
        SleepMilliseconds(500);
    }
    return true;
}
