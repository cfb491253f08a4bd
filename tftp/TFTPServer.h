// CTFTPServer: the read-only TFTP boot-file server on UDP port 6051, with its socket, thread and transfer engine.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "tftp/Platform.h"
#include "tftp/Transfer.h"
#include "tftp/TransferRecord.h"
#include "tftp/WireFormat.h"

class CTFTPServer
{
public:
    CTFTPServer();
    // Stops the server first if it is still running, so the object never goes away under its thread.
    ~CTFTPServer();
    CTFTPServer(const CTFTPServer&) = delete;
    CTFTPServer& operator=(const CTFTPServer&) = delete;

    // Where each transfer's record goes as it ends (called before Start; a null routine keeps none).
    void SetRecordSink(PfnTransferRecord pfnRecord, void* pContext);
    // Opens the directory of the running executable as the boot directory, starts the sockets layer and
    // the server thread. Returns the thread, or null when the server cannot start.
    CThread* Start();
    // Sets the stop flag, wakes the server thread, which ends every transfer under way (each client is told and
    // each transfer recorded) and closes its sockets, waits until it has ended and ends the use of the sockets layer.
    void Stop();

    // Transfers served at once; one more slot than this lets a new request open its file before a full
    // table gives up a silent transfer, so a refused request never costs anyone theirs.
    static constexpr int MAX_TRANSFERS = 64;
    // A transfer whose client has sent nothing for this long is dropped, whatever its timeout option: a slow
    // instrument that takes seconds per block must not be dropped sooner.
    static constexpr std::uint32_t IDLE_DROP_MS = 60000;
    // The retransmission interval without a timeout option: far above a LAN's round trip, and a lost block
    // costs a second rather than the client's own time-out (5 s for atftp and tftp-hpa).
    static constexpr std::uint32_t DEFAULT_INTERVAL_MS = 1000;
    // A repeated ACK of the block before the first unacknowledged one, or a repeated request, brings the
    // outstanding packets again only when they went out at least this long ago. Clients repeat after a
    // time-out of 250 ms or more, so a real loss is answered at once; a duplicated datagram, or the client's
    // ACK of a duplicated DATA, arrives well within it and is not, so one duplicate never makes the rest of
    // the transfer go out twice.
    static constexpr std::uint32_t RESEND_GAP_MS = 100;
    // The timer sends a silent client's first answer again at most this often while the transfer is unconfirmed,
    // and the file's last block at most this often before it takes the last ACK as lost: a forged request costs
    // little, and a client that has every byte is not held for a minute.
    static constexpr std::uint32_t SILENT_RESENDS = 2;
    // Transfers at once for the clients of one host: a single host cannot keep every other one out.
    static constexpr int MAX_TRANSFERS_PER_HOST = 8;

private:
    // The boot directory, opened by Start, and the report of a start that failed.
    bool OpenBootDirectory(CStartFailure* pFailure);
    static void ReportStartFailure(const CStartFailure& failure);

    // Lifecycle, on the server thread.
    static void Entry(void* pServer);
    bool InitSocket();

    void WakeServerThread();

    // Packet operations: a windowed transfer's packets go out through its own socket, every other one from port 6051.
    SocketHandle SocketOf(const CTransfer& transfer) const;
    void SendTo(SocketHandle hSocket, const unsigned char* pPacket, int nLength, const CSocketAddress& to);
    void SendError(SocketHandle hSocket, std::uint16_t nCode, const char* pszText, const CSocketAddress& to);

    // The transfer engine. The handlers of datagrams and of the timer (the dispatcher) alone end transfers.
    void ServeRequests();
    void WaitAndDispatch(std::uint32_t nWaitMs);
    void OnListenerDatagram(int nLength);
    void OnTransferDatagram(CTransfer& transfer, int nLength);
    std::uint32_t RunTimers();
    CTransfer* FindTransfer(const CSocketAddress& client);
    void HearFrom(CTransfer& transfer);
    void OnReadRequest(int nLength);
    void AnswerRepeatedRequest(CTransfer& transfer);
    bool AdmitRequest(const CReadRequest& request, CTransfer** ppSlot, CTransfer** ppDisplace);
    bool OpenRequestedFile(const CReadRequest& request, CTransfer& transfer, CTransfer* pDisplace);
    void Refuse(const char* pszName, std::uint16_t nCode, const char* pszText);
    void OnAck(CTransfer& transfer, int nLength);
    void OnError(CTransfer& transfer, int nLength);

    // Sending blocks: false when the file could not be read, and the dispatcher then ends the transfer.
    bool SendWindow(CTransfer& transfer);
    bool SendBlocks(CTransfer& transfer, std::uint64_t nBlocks);
    bool SendBlock(CTransfer& transfer);
    bool ResendFirstAnswer(CTransfer& transfer);
    bool Resend(CTransfer& transfer, std::uint64_t nBlocks);
    void EndTransfer(CTransfer& transfer, ETransferEnd eEnd, std::uint16_t nCode, const char* pszText);
    void EndUnreadable(CTransfer& transfer);
    void Record(const CTransferRecord& record);

    static constexpr int TRANSFER_SLOTS = MAX_TRANSFERS + 1;
    static constexpr std::uint32_t STOP_WAKE_MS = 100;  // how long a stop waits for the thread before it wakes it again
    static constexpr std::uint32_t MAX_WAIT_MS = 1000;  // the longest wait of the thread for a datagram
    static constexpr int BOOT_DIR_BYTES = 260;
    static constexpr std::size_t FULL_PATH_BYTES = 264;  // the boot directory and a requested name

    // The server object.
    CThread* m_pThread = nullptr;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bListening{false};  // the socket is bound: a datagram to the port wakes the thread
    std::uint16_t m_nPort = 6051;
    CSocketAddress m_addrLocal{};
    CSocketAddress m_addrPeer{};    // sender of the datagram being handled
    SocketHandle m_socket = INVALID_SOCKET_HANDLE;  // port 6051; the server thread opens and closes it
    unsigned char m_packet[TFTP_PACKET_BYTES];
    unsigned char m_dataPacket[TFTP_DATA_HEADER_BYTES + TFTP_MAX_BLOCK_SIZE];  // each DATA is built here
    char m_szBootDir[BOOT_DIR_BYTES];
    CBootDirectory m_bootDirectory;  // every served file is opened beneath it

    // Owned by the server thread: the transfer table, sized once.
    std::unique_ptr<CTransfer[]> m_pTransfers;
    int m_nOwnSockets = 0;          // transfers with a socket of their own: while there are none, the thread
                                    // waits in the receive of port 6051 alone, one system call per datagram
    std::uint32_t m_nNow = 0;       // tick count at the arrival of the datagram being handled
    std::uint32_t m_nReceiveWaitMs = 0;  // the socket's receive time-out as last set
    PfnTransferRecord m_pfnRecord = nullptr;
    void* m_pRecordContext = nullptr;
};
