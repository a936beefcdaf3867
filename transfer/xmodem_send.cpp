// Sends one file: the receiver's start request picks CRC or checksum, then the file goes in
// 1024- or 128-byte blocks, each repeated until acknowledged, and EOT ends it.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "serial/v24.h"
#include "transfer/xmodem.h"
#include "transfer/xmodem_protocol.h"

using namespace qel::xm;

namespace {

// The callback's answer for one step; a cancel goes to the peer at once.
void Report(int handle, XmProgressCallback progress, int crc, int bytes, int& errors) {
    if (progress && progress(crc, bytes, errors)) {
        V24WriteByte(handle, CAN);
        errors = kSendRetries;
    }
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int XmSend(int handle, const char* path, int use1k, XmProgressCallback progress) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBigBlockSize]);
    if (!buffer) return -3;
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
    if (!file) return 1;
    int startByte = use1k ? STX : SOH;
    int length = use1k ? kBigBlockSize : kBlockSize;
    V24SetTimeout(handle, kSendReplyMs);
    int block = 1;
    int bytes = 0;
    int errors = 0;
    int crc = 0;

    do {
        const int request = V24ReadByte(handle);
        crc = request == CRC_REQUEST;
        if (request == CRC_REQUEST || request == NAK) {
            errors = 0;
        } else if (request == CAN) {
            errors = kSendRetries;
        } else {
            ++errors;
        }
        Report(handle, progress, crc, 0, errors);
    } while (errors > 0 && errors < kSendRetries);

    while (errors == 0) {
        std::memset(buffer.get(), 0, kBigBlockSize);
        const std::size_t n = std::fread(buffer.get(), 1, kBigBlockSize, file.get());
        if (std::ferror(file.get())) {
            // A file that cannot be read to its end must not go out as a shorter file that
            // the receiver then takes for whole.
            V24WriteByte(handle, CAN);
            errors = kSendRetries;
            break;
        }
        const int chunks = static_cast<int>((n + kBlockSize - 1) / kBlockSize);
        if (chunks == 0) break;
        if (chunks < kBigBlockSize / kBlockSize) {
            // The rest fits in seven small blocks or fewer: cheaper than one padded big one.
            startByte = SOH;
            length = kBlockSize;
        }
        const int end = length == kBigBlockSize ? kBigBlockSize : chunks * kBlockSize;
        for (int offset = 0; offset < end && errors == 0; offset += length) {
            do {
                const int reply =
                    XmSendBlock(handle, buffer.get() + offset, startByte, block, length, crc);
                if (reply == ACK) {
                    errors = 0;
                    bytes += length;
                    block = (block + 1) & 0xFF;
                } else if (reply == CAN) {
                    errors = kSendRetries;
                } else {
                    ++errors;
                }
                Report(handle, progress, crc, bytes, errors);
            } while (errors > 0 && errors < kSendRetries);
        }
    }
    file.reset();
    if (errors > 0) return 2;

    for (int tries = 0; tries < kSendRetries; ++tries) {
        V24Purge(handle, 0);
        V24WriteByte(handle, EOT);
        if (V24ReadByte(handle) == ACK) return 0;
    }
    return 3;
}
