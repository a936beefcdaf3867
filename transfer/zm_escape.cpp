// ZDLE escaping. The two encoders keep the last byte they produced for the life of the
// process, because a CR is escaped only after an '@' (the Telenet escape) and the '@' may end
// the previous subpacket or header.
#include "serial/v24.h"
#include "transfer/zm_frames.h"

namespace {

std::uint8_t lastHeaderByte = 0;
std::uint8_t lastDataByte = 0;

bool NeedsEscape(std::uint8_t byte, std::uint8_t previous) {
    switch (byte & 0x7F) {
        case 0x10:
        case 0x11:
        case 0x13:
        case 0x18:
            return true;
        case 0x0D:
            return previous == '@';
        default:
            return false;
    }
}

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsFlowControl(int c) {
    return (c & 0x7F) == XON || (c & 0x7F) == XOFF;
}

}  // namespace

int ZmEscapeByte(std::uint8_t byte, std::uint8_t* out) {
    if (NeedsEscape(byte, lastDataByte)) {
        lastDataByte = static_cast<std::uint8_t>(byte ^ 0x40);
        out[0] = ZDLE;
        out[1] = lastDataByte;
        return 2;
    }
    lastDataByte = byte;
    out[0] = byte;
    return 1;
}

void ZmSendEscaped(int port, std::uint8_t byte) {
    if (NeedsEscape(byte, lastHeaderByte)) {
        lastHeaderByte = static_cast<std::uint8_t>(byte ^ 0x40);
        const std::uint8_t pair[2] = {ZDLE, lastHeaderByte};
        V24WriteBuffer(port, pair, 2);
        return;
    }
    lastHeaderByte = byte;
    V24WriteByte(port, byte);
}

int ZmReadByteNoXon(int port) {
    for (;;) {
        int c = V24ReadByte(port);
        if (c < 0 || !IsFlowControl(c)) return c;
    }
}

int ZmReadEscaped(int port) {
    int c;
    // Both encoders escape XON and XOFF, so a bare one is flow control from the line, never
    // data: taking it as data would put it into a file whose check is not compared.
    do {
        c = V24ReadByte(port);
        if (c < 0) return c;
    } while (IsFlowControl(c));
    if (c != ZDLE) return c;

    int cans = 0;
    for (;;) {
        c = V24ReadByte(port);
        if (c < 0) return c;
        if (c != ZCANBYTE) break;
        if (++cans == 4) return ZM_CANCELLED;
    }
    switch (c) {
        case ZCRCE:
        case ZCRCG:
        case ZCRCQ:
        case ZCRCW:
            return ZM_FRAME_END | c;
        case ZRUB0:
            return 0x7F;
        case ZRUB1:
            return 0xFF;
        default:
            if ((c & 0x60) == 0x40) return c ^ 0x40;
            return -1;
    }
}

int ZmReadHexByte(int port) {
    char digits[2];
    if (V24ReadBuffer(port, digits, 2) != 2) return -2;
    int high = HexValue(static_cast<unsigned char>(digits[0]));
    int low = HexValue(static_cast<unsigned char>(digits[1]));
    if (high < 0 || low < 0) return -1;
    return high << 4 | low;
}
