// Block numbers of a transfer: signed 16-bit on the server's side, the same 16 bits unsigned on the wire.
#pragma once
#include <cstdint>

// The number after nBlock: 32767 is followed by -32768 (0x8000 on the wire) and -1 (65535) by 0, so the
// counting rolls over from 65535 to 0 and goes on.
inline std::int16_t NextBlockNumber(std::int16_t nBlock)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint16_t>(nBlock) + 1u));
}

// An ACK that calls for the kept DATA packet again: it acknowledges the block before the current one,
// computed in a wider type (so after block -32768 no ACK does, and after a wrap to 0 an ACK of 65535 does).
// An ACK 0 while block 1 is out is a resend request only when the block size was negotiated: the client
// repeats the ACK 0 of the OACK when DATA 1 is lost. Without an OACK, ACK 0 was never an acknowledgement.
inline bool CallsForResend(std::int16_t nAck, std::int16_t nBlock, bool bOptionAcked)
{
    return static_cast<std::int32_t>(nAck) == static_cast<std::int32_t>(nBlock) - 1 && (nBlock != 1 || bOptionAcked);
}
