// The data phase of a ZMODEM send, from the file's current position.
#pragma once
#include <cstdint>

#include "transfer/zm_frames.h"
#include "transfer/zmodem.h"

// 0 ZEOF sent; 1 ZRINIT came; 5 ZSKIP came; -1 failure.
int ZmSendFileData(int port, const char* path, int fd, std::uint32_t receiverBuffer, int format,
                   int receiverFlags, ZmProgressCallback progress, ZmBuffer& buffer);
