// Block numbers of a transfer: signed 16-bit on the server's side, the same 16 bits unsigned on the wire.
#pragma once
#include <cstdint>

// The number after nBlock: 32767 is followed by -32768 (0x8000 on the wire) and -1 (65535) by 0, so the
// counting rolls over from 65535 to 0 and goes on.
inline std::int16_t NextBlockNumber(std::int16_t nBlock)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint16_t>(nBlock) + 1u));
}

// An ACK that calls for the kept DATA packet again: the client acknowledges the block before the current
// one once more, which it does when the current block was lost. "Before" counts on all 16 bits, so ACK
// 32767 calls for DATA 32768 (-32768) and ACK 65535 for DATA 0 after the roll-over; a lost block there
// would otherwise stall the transfer for good. The one exception is the first DATA 1 of a transfer
// without an OACK: the client never sent an ACK 0 for it, so an ACK 0 then acknowledges nothing. After an
// OACK the client repeats the ACK 0 of the OACK when DATA 1 is lost, and that does bring DATA 1 again.
inline bool CallsForResend(std::int16_t nAck, std::int16_t nBlock, bool bFirstBlockWithoutOack)
{
    return NextBlockNumber(nAck) == nBlock && !bFirstBlockWithoutOack;
}
