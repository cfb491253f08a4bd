// CTFTPServer: the read-only TFTP boot-file server on UDP port 6051, with its socket, thread and transfer engine.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "tftp/Platform.h"
#include "tftp/ServedFile.h"
#include "tftp/Transfer.h"
#include "tftp/WireFormat.h"

class CTFTPServer
{
public:
    CTFTPServer();
    // Stops the server first if it is still running, so the object never goes away under its thread.
    ~CTFTPServer();
    CTFTPServer(const CTFTPServer&) = delete;
    CTFTPServer& operator=(const CTFTPServer&) = delete;

    // Opens the directory of the running executable as the boot directory, starts the sockets layer and
    // the server thread. Returns the thread's handle (a HANDLE on Windows), or null when the server cannot
    // start.
    void* Start();
    // Sets the stop flag, closes the socket, waits until the server thread has ended and ends the use of
    // the sockets layer. Returns true.
    bool Stop();

    // Transfers served at once; one more slot than this lets a new request open its file before a full
    // table gives up its least recently active transfer, so a refused request never costs anyone theirs.
    static constexpr int MAX_TRANSFERS = 64;
    // A transfer whose client has sent nothing for this long is dropped the next time the table is looked at.
    static constexpr std::uint32_t IDLE_DROP_MS = 60000;
    // A repeated ACK of the previous block brings the kept block again only when that block went out at least
    // this long ago. Clients repeat their ACK after a time-out of 250 ms or more, so a real loss is always
    // answered; a duplicated datagram, or the client's ACK of a duplicated DATA, arrives well within it and is
    // not, so one duplicate never makes the rest of the transfer go out twice.
    static constexpr std::uint32_t RESEND_GAP_MS = 100;

private:
    // The boot directory, opened by Start.
    bool OpenBootDirectory();

    // Lifecycle, on the server thread.
    static void Entry(void* pServer);
    bool InitSocket();

    // Packet operations.
    void SendTo(const unsigned char* pPacket, int nLength, const CSocketAddress& to, int nToLength);
    void SendPacket(const unsigned char* pPacket, int nLength);
    void SendError(std::uint16_t nCode, const char* pszText);
    void ParseOptions(CTransfer& transfer, const unsigned char* pOptions, std::int16_t nLength);

    // The transfer engine.
    void ServeRequests();
    CTransfer* FindTransfer(const CSocketAddress& client);
    void DropIdleTransfers();
    void MakeRoomIfFull();
    void DropTransfer(CTransfer& transfer, const char* pszWhy, const char* pszText);
    void OnReadRequest(int nLength);
    bool OpenRequestedFile(const CReadRequest& request, CServedFile& file);
    void OnAck(int nLength);
    void OnError(int nLength);
    void SendBlock(CTransfer& transfer);

    static constexpr int TRANSFER_SLOTS = MAX_TRANSFERS + 1;
    static constexpr int BOOT_DIR_BYTES = 260;
    static constexpr std::size_t FULL_PATH_BYTES = 264;  // the boot directory and a requested name

    // The server object.
    void* m_hThread = nullptr;
    std::uint32_t m_nThreadId = 0;
    std::atomic<bool> m_bStop{false};
    std::uint16_t m_nPort = 6051;
    CSocketAddress m_addrLocal{};
    CSocketAddress m_addrPeer{};    // sender of the datagram being handled; every reply goes there
    // Exchanged for the invalid value by whoever closes it, so it is closed exactly once.
    std::atomic<SocketHandle> m_socket{INVALID_SOCKET_HANDLE};
    int m_nPeerAddrLen = 0;
    unsigned char m_packet[TFTP_PACKET_BYTES];
    char m_szBootDir[BOOT_DIR_BYTES];
    CBootDirectory m_bootDirectory;  // every served file is opened beneath it

    // Owned by the server thread: the transfer table, sized once.
    std::unique_ptr<CTransfer[]> m_pTransfers;
    std::uint32_t m_nNow = 0;       // tick count at the arrival of the datagram being handled
};
