// CTFTPServer: the read-only TFTP boot-file server on UDP port 6051, with its socket, thread and transfer engine.
#pragma once
#include <atomic>
#include <cstdint>

#include "tftp/Platform.h"
#include "tftp/ServedFile.h"
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

private:
    // The boot directory, opened by Start.
    bool OpenBootDirectory();

    // Lifecycle, on the server thread.
    static void Entry(void* pServer);
    bool InitSocket();

    // Packet operations.
    void SendPacket(const unsigned char* pPacket, int nLength);
    void SendError(std::uint16_t nCode, const char* pszText);
    void ParseOptions(const unsigned char* pOptions, std::int16_t nLength);

    // The transfer engine.
    void ServeRequests();
    void OnReadRequest(int nLength);
    void OnAck(int nLength);
    void OnError(int nLength);
    void SendBlock();

    static constexpr int BOOT_DIR_BYTES = 260;
    static constexpr std::size_t FULL_PATH_BYTES = 264;  // the boot directory and a requested name

    // The server object.
    void* m_hThread = nullptr;
    std::uint32_t m_nThreadId = 0;
    std::atomic<bool> m_bStop{false};
    std::int16_t m_nBlockSize = TFTP_MIN_BLOCK_SIZE;
    std::uint16_t m_nPort = 6051;
    CSocketAddress m_addrLocal{};
    CSocketAddress m_addrPeer{};
    // Exchanged for the invalid value by whoever closes it, so it is closed exactly once.
    std::atomic<SocketHandle> m_socket{INVALID_SOCKET_HANDLE};
    int m_nPeerAddrLen = 0;
    bool m_bOptionAcked = false;
    unsigned char m_packet[TFTP_PACKET_BYTES];
    char m_szBootDir[BOOT_DIR_BYTES];
    CBootDirectory m_bootDirectory;  // every served file is opened beneath it

    // The state of the transfer, owned by the server thread.
    CServedFile m_file;
    std::int16_t m_nBlock = 0;
    bool m_bLastBlock = false;
    unsigned char m_dataPacket[TFTP_DATA_HEADER_BYTES + TFTP_PACKET_BYTES];
    int m_nDataLength = 0;          // 0 while no DATA packet is kept for a resend
    std::uint32_t m_nStartTick = 0;
    std::uint32_t m_nBlocksSent = 0;  // distinct DATA blocks of this transfer; resends do not count
};
