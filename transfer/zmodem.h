// ZMODEM file transfer on an open port: one file sent, any number received, with resume.
#pragma once
#include <cstdint>

// Called with (file name, position or length, code); a non-zero answer asks to cancel where
// the code allows it. May be null.
//   4 a file starts (value: its length)     3 sender: data phase / subpacket acknowledged
//   9 a subpacket or header went wrong      11 sender: ZEOF sent
//  10 receiver: data written                -2 receiver: a header read timed out
//  -1 receiver: giving up                    8 receiver: ZFIN received
using ZmProgressCallback = int (*)(const char* name, std::uint32_t value, int code);

// 0 sent (and with endOfBatch the batch closed); 1 file cannot be opened; 2 failed or
// cancelled; 4 length or check value unreadable; -3 no memory; a negative port error when the
// port time-out cannot be set. An empty path with endOfBatch only closes the batch.
int ZmSendFile(int handle, const char* path, int endOfBatch, ZmProgressCallback progress);

// Receives files into the current folder until the sender ends the batch.
// 0 batch ended; 2 failed or cancelled; 4 a local file cannot be read, positioned or written;
// -3 no memory; a negative port error when the port time-out cannot be set.
int ZmReceive(int handle, ZmProgressCallback progress);
