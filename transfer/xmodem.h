// XMODEM file transfer on an open port: 128-byte blocks with checksum or CRC-16, 1024-byte
// blocks when the sender is asked for them. One call moves one file.
#pragma once

// Called after each step with (CRC mode 1/0, bytes transferred so far, current error count);
// a non-zero answer asks to cancel. May be null.
using XmProgressCallback = int (*)(int crcMode, int bytes, int errors);

// 0 sent and EOT acknowledged; 1 file cannot be opened; 2 failed or cancelled; 3 EOT not
// acknowledged; -3 no memory.
int XmSend(int handle, const char* path, int use1k, XmProgressCallback progress);

// 0 received; 2 failed or cancelled (or the first block could not be written); 4 the file
// cannot be created or a later block cannot be written; -3 no memory. A failed receive
// never leaves a partial file behind.
int XmReceive(int handle, const char* path, int crc, XmProgressCallback progress);

// One block out; the reply byte (0..255) or the negative read result.
int XmSendBlock(int handle, const unsigned char* data, int startByte, int blockNumber, int length,
                int crcMode);

// One block in: 6 (ACK) good with the expected number, 22 a repeat of the previous one,
// 21 (NAK) bad, otherwise the first byte when it did not start a block, or the low 8 bits of
// a failed read. buffer holds 1024 bytes.
int XmReceiveBlock(int handle, unsigned char* buffer, int expected, int* length, int crcMode);
