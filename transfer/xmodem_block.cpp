// One block each way. The receiving step refuses a block that arrived short: the bytes that
// did not come would otherwise be judged by whatever the buffer or a failed read left there.
#include <cstdint>

#include "serial/v24.h"
#include "transfer/crc.h"
#include "transfer/xmodem.h"
#include "transfer/xmodem_protocol.h"

using namespace qel::xm;

int XmSendBlock(int handle, const unsigned char* data, int startByte, int blockNumber, int length,
                int crcMode) {
    V24WriteByte(handle, startByte);
    V24WriteByte(handle, blockNumber & 0xFF);
    V24WriteByte(handle, ~blockNumber & 0xFF);
    V24WriteBuffer(handle, data, length);

    unsigned char check[2];
    int checkLength = 1;
    if (crcMode) {
        std::uint16_t crc = 0;
        for (int i = 0; i < length; ++i) crc = Crc16Update(crc, data[i]);
        check[0] = static_cast<unsigned char>(crc >> 8);
        check[1] = static_cast<unsigned char>(crc);
        checkLength = 2;
    } else {
        unsigned sum = 0;
        for (int i = 0; i < length; ++i) sum += data[i];
        check[0] = static_cast<unsigned char>(sum);
    }
    // Whatever came while the block went out (noise, a second NAK) must not be taken for
    // the answer to this block.
    V24Purge(handle, 0);
    V24WriteBuffer(handle, check, checkLength);
    return V24ReadByte(handle);
}

int XmReceiveBlock(int handle, unsigned char* buffer, int expected, int* length, int crcMode) {
    int first = V24ReadByte(handle);
    for (int tries = 1; first < 0 && tries < kFirstByteTries; ++tries) first = V24ReadByte(handle);
    if (first != SOH && first != STX) return first & 0xFF;

    const int size = first == SOH ? kBlockSize : kBigBlockSize;
    *length = size;
    const int number = V24ReadByte(handle);
    const int complement = V24ReadByte(handle);
    const int got = V24ReadBuffer(handle, buffer, size);
    if (number < 0 || complement < 0 || got != size) return NAK;

    bool good;
    if (crcMode) {
        const int high = V24ReadByte(handle);
        const int low = high < 0 ? -1 : V24ReadByte(handle);
        if (low < 0) return NAK;
        std::uint16_t crc = 0;
        for (int i = 0; i < size; ++i) crc = Crc16Update(crc, buffer[i]);
        crc = Crc16Update(crc, static_cast<std::uint8_t>(high));
        crc = Crc16Update(crc, static_cast<std::uint8_t>(low));
        good = crc == 0;
    } else {
        const int check = V24ReadByte(handle);
        if (check < 0) return NAK;
        unsigned sum = 0;
        for (int i = 0; i < size; ++i) sum += buffer[i];
        good = (sum & 0xFF) == static_cast<unsigned>(check);
    }
    // The complement is only tested for a common set bit, as peers have long relied on.
    if (!good || (number & complement) != 0) return NAK;
    if (number == (expected & 0xFF)) return ACK;
    if (number == ((expected - 1) & 0xFF)) return REPEAT;
    return NAK;
}
