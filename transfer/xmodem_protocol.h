// Bytes and limits of the XMODEM exchange, shared by the block, send and receive steps.
#pragma once

namespace qel::xm {

constexpr int SOH = 0x01;  // starts a 128-byte block
constexpr int STX = 0x02;  // starts a 1024-byte block
constexpr int EOT = 0x04;
constexpr int ACK = 0x06;
constexpr int NAK = 0x15;  // block refused; also the request for checksum mode
constexpr int CAN = 0x18;
constexpr int CRC_REQUEST = 'C';
// What XmReceiveBlock answers for a good copy of the block before the expected one.
constexpr int REPEAT = 0x16;

constexpr int kBlockSize = 128;
constexpr int kBigBlockSize = 1024;

// The receiver answers every block at once; ten seconds is a dead line, not a slow one.
constexpr int kSendReplyMs = 10000;
// The receiver's pace: one start request a second, and a second of silence ends a block.
constexpr int kReceiveMs = 1000;
// Reads of a block's first byte before the receiver counts the block as missed.
constexpr int kFirstByteTries = 10;
// Consecutive failures after which each side gives up.
constexpr int kSendRetries = 10;
constexpr int kReceiveRetries = 10;
constexpr int kStartRetries = 20;
// From this failure of the start request on, the receiver alternates CRC and checksum.
constexpr int kSwitchModeFrom = 5;
// Error count that marks a failed write of the received file.
constexpr int kWriteFailed = 255;
// Input dropped after a bad block before the NAK goes anyway: a peer that never falls
// silent must not hold the receiver forever (a few whole blocks' worth).
constexpr int kDrainLimit = 8 * (kBigBlockSize + 5);

}  // namespace qel::xm
