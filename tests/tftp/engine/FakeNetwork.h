// The scripted network that the engine tests link in place of the POSIX network half (sockets and clock).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A datagram that the server sent: the server's port it left by, and the client (its address as text, an IPv4-mapped
// one as IPv4, and its UDP port) it went to.
struct CSentDatagram { std::uint16_t m_nFrom; std::string m_host; std::uint16_t m_nPort; std::string m_bytes; };

// Hands the server a datagram from a client (an IPv4 or IPv6 address as text) to one of its ports, and returns once
// the server has handled it and waits again (false after 10 s); meanwhile the buffer past the datagram's end is poisoned
// for AddressSanitizer. One longer than the buffer makes the receive fail with EMSGSIZE, as on a real socket. A port
// without a socket loses it. The server's sockets are dual-stack: an IPv4 client arrives IPv4-mapped.
bool FakeDeliver(std::uint16_t nPort, const std::string& bytes, const std::string& host = "127.0.0.1", std::uint16_t nTo = 6051);
std::vector<CSentDatagram> FakeTakeSent();   // everything sent since the last call, in order
// Moves the clock on (it starts shortly before its 32-bit wrap) and returns once the server has handled the
// time-outs that passed and waits again (false after 10 s).
bool FakeAdvanceClock(std::uint32_t nMs);
// The server's sockets open now, port 6051 among them.
int FakeOpenSockets();
