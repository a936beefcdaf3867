// Receives one file: start requests until the first block (or EOT) comes, then blocks until
// EOT. The file takes its name only when the whole of it has come.
#include <memory>
#include <new>

#include "serial/v24.h"
#include "transfer/receive_file.h"
#include "transfer/xmodem.h"
#include "transfer/xmodem_protocol.h"

using namespace qel::xm;
using qel::transfer::ReceiveFile;

namespace {

// Lets a sender finish the block it is sending, so that the NAK is not lost in its noise.
void DrainUntilQuiet(int handle) {
    for (int n = 0; n < kDrainLimit && V24ReadByte(handle) >= 0; ++n) {
    }
}

void Cancel(int handle) {
    V24Purge(handle, 0);
    V24WriteByte(handle, CAN);
}

enum class Start { Block, Refused, Empty, Failed };

// Start requests until the sender answers; after a refused first block the data phase
// takes over, still expecting block 1.
Start StartPhase(int handle, unsigned char* buffer, ReceiveFile& file, int& crc, int& bytes,
                 XmProgressCallback progress) {
    int errors = 0;
    for (;;) {
        V24Purge(handle, 0);
        V24WriteByte(handle, crc ? CRC_REQUEST : NAK);
        int result = -1;
        int length = 0;
        if (V24WaitByte(handle) >= 0) result = XmReceiveBlock(handle, buffer, 1, &length, crc);
        if (result == ACK) {
            if (!file.Write(buffer, static_cast<std::size_t>(length))) return Start::Failed;
            bytes = length;
            V24WriteByte(handle, ACK);
            if (progress) progress(crc, bytes, 0);
            return Start::Block;
        }
        if (result == NAK) {
            DrainUntilQuiet(handle);
            V24WriteByte(handle, NAK);
            if (progress) progress(crc, 0, 1);
            return Start::Refused;
        }
        if (result == EOT) {
            V24WriteByte(handle, ACK);
            return Start::Empty;
        }
        if (result == CAN) {
            errors = kStartRetries;
        } else {
            ++errors;
            // A sender that ignores one request may understand the other.
            if (errors >= kSwitchModeFrom) crc = !crc;
            DrainUntilQuiet(handle);
        }
        if (progress && progress(crc, 0, errors)) {
            Cancel(handle);
            errors = kStartRetries;
        }
        if (errors >= kStartRetries) return Start::Failed;
    }
}

}  // namespace

int XmReceive(int handle, const char* path, int crc, XmProgressCallback progress) {
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kBigBlockSize]);
    if (!buffer) return -3;
    ReceiveFile file;
    if (!file.Create(path)) return 4;
    V24SetTimeout(handle, kReceiveMs);
    crc = crc ? 1 : 0;
    int bytes = 0;

    const Start start = StartPhase(handle, buffer.get(), file, crc, bytes, progress);
    if (start == Start::Failed) return 2;
    if (start == Start::Empty) return file.Commit() ? 0 : 4;

    int expected = start == Start::Block ? 2 : 1;
    int errors = start == Start::Block ? 0 : 1;
    for (;;) {
        int length = 0;
        const int result = XmReceiveBlock(handle, buffer.get(), expected, &length, crc);
        if (result == ACK) {
            if (!file.Write(buffer.get(), static_cast<std::size_t>(length))) {
                errors = kWriteFailed;
                break;
            }
            errors = 0;
            expected = (expected + 1) & 0xFF;
            bytes += length;
            V24Purge(handle, 0);
            V24WriteByte(handle, ACK);
        } else if (result == EOT) {
            V24WriteByte(handle, ACK);
            // The sender has its answer: a cancel now would only lose a finished file.
            if (progress) progress(crc, bytes, 0);
            errors = 0;
            break;
        } else if (result == CAN) {
            errors = kReceiveRetries;
        } else if (result == REPEAT) {
            // Our ACK was lost and the sender repeats the block we already have.
            errors = 0;
            V24WriteByte(handle, ACK);
        } else {
            ++errors;
            DrainUntilQuiet(handle);
            V24WriteByte(handle, NAK);
        }
        if (progress && progress(crc, bytes, errors)) {
            Cancel(handle);
            errors = kReceiveRetries;
        }
        if (errors >= kReceiveRetries) break;
    }
    if (errors == 0) return file.Commit() ? 0 : 4;
    file.Discard();
    return errors == kWriteFailed ? 4 : 2;
}
