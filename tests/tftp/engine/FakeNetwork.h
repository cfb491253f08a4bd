// The scripted network that the engine tests link in place of the POSIX network half (sockets and clock).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A datagram that the server sent, and the client (IPv4 address in host order, UDP port) it went to.
struct CSentDatagram { std::uint32_t m_nAddress; std::uint16_t m_nPort; std::string m_bytes; };

// Hands the server a datagram from a client and returns once the server has handled it and waits in its receive
// again (false after 10 s); meanwhile the buffer past the datagram's end is poisoned for AddressSanitizer. One
// longer than the buffer makes the receive fail with EMSGSIZE, as on a real socket.
bool FakeDeliver(std::uint16_t nPort, const std::string& bytes, std::uint32_t nHost = 0x7F000001);
std::vector<CSentDatagram> FakeTakeSent();   // everything sent since the last call, in order
// Moves the clock on (it starts shortly before its 32-bit wrap) and returns once the server has handled the
// time-outs that passed and waits in its receive again (false after 10 s).
bool FakeAdvanceClock(std::uint32_t nMs);
