// Bytes, sizes and waits of the bootloader link, shared by the link's source files.
#pragma once
#include <cstdint>

namespace qel::link {

constexpr int READY = 'r';    // ready prompt; also the acceptance of the device name
constexpr int ACK = '+';      // positive answer, both ways
constexpr int NAK = '-';      // the host rejects a frame or a received block
constexpr int NEXT = '*';     // asks for the next byte of a word block
constexpr int ECHO_LO = 'L';  // asks for the low byte of the box's frame checksum
constexpr int ECHO_HI = 'H';  // asks for the high byte
constexpr int CLOSE = 'n';    // the host's closing byte after the box's final "+"

constexpr int MAX_BLOCK_WORDS = 2048;

constexpr int LINK_BAUD = 19200;       // the bootloader always listens at this rate first
constexpr int TRANSFER_BAUD = 230400;  // asked for before blocks go either way
constexpr int PROMPT_WAIT_MS = 2000;
constexpr int ERASE_PERIOD_MS = 8200;
constexpr int PROGRAM_WAIT_MS = 5000;

// Holds a break on the line for a second, dropping what either queue holds, then ends it:
// the box restarts into its bootloader.
void BreakReset(int port);

}  // namespace qel::link
