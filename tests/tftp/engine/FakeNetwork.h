// The scripted network that the engine tests link in place of the POSIX network half (sockets and clock).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// A datagram that the server sent, and the client (IPv4 address in host order, UDP port) it went to.
struct CSentDatagram { std::uint32_t m_nAddress; std::uint16_t m_nPort; std::string m_bytes; };

// Hands the server a datagram from a client; returns once the server has handled it and waits in its receive
// again (false after 10 s). Its buffer past the datagram's end is poisoned for AddressSanitizer meanwhile.
bool FakeDeliver(std::uint16_t nPort, const std::string& bytes, std::uint32_t nAddress = 0x7F000001);
bool FakeFailReceive(int nError);  // the next receive fails with this error number, as FakeDeliver
std::vector<CSentDatagram> FakeTakeSent();  // everything sent since the last call, in order
void FakeAdvanceClock(std::uint32_t nMilliseconds);  // the clock starts shortly before its 32-bit wrap
void FakeHoldPort(bool bHeld);  // while held every bind fails, as when another program has the port
bool FakeWaitForBinds(int nCount);  // waits for nCount more bind attempts; false after 10 s
