// Frame headers in their three encodings.
#include <cstdio>

#include "serial/v24.h"
#include "transfer/crc.h"
#include "transfer/zm_frames.h"

namespace {

// How long the scanner looks ahead for the byte after a ZPAD.
constexpr int kLookAheadMs = 1000;
// Line noise longer than this is no header on the way.
constexpr long kMaxGarbage = 4097;

void Body(int type, std::uint32_t value, std::uint8_t out[5]) {
    out[0] = static_cast<std::uint8_t>(type);
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint16_t Crc16Of(const std::uint8_t* bytes, int n) {
    std::uint16_t crc = 0;
    for (int i = 0; i < n; ++i) crc = Crc16UpdateAugmented(crc, bytes[i]);
    crc = Crc16UpdateAugmented(crc, 0);
    return Crc16UpdateAugmented(crc, 0);
}

// Whether the byte after a ZPAD (not taken) makes a header start here.
bool HeaderStartsAfterPad(int port) {
    const int saved = V24GetTimeout(port);
    V24SetTimeout(port, kLookAheadMs);
    const int next = V24WaitByte(port);
    V24SetTimeout(port, saved);
    return next < 0 || next == ZDLE || next == ZPAD;
}

// Type and p0..p3 of a binary body, the check already compared; -2 time-out, -1 error.
int ReadBinaryBody(int port, bool crc32, std::uint8_t body[5]) {
    std::uint16_t crc16 = 0;
    std::uint32_t crc = 0xFFFFFFFF;
    const int checkBytes = crc32 ? 4 : 2;
    for (int i = 0; i < 5 + checkBytes; ++i) {
        int c = ZmReadEscaped(port);
        if (c == V24_TIMEOUT) return -2;
        // A frame end or cancel inside a header body is no header.
        if (c < 0 || c > 0xFF) return -1;
        if (i < 5) body[i] = static_cast<std::uint8_t>(c);
        if (crc32) {
            crc = Crc32Update(crc, static_cast<std::uint8_t>(c));
        } else {
            crc16 = Crc16UpdateAugmented(crc16, static_cast<std::uint8_t>(c));
        }
    }
    if (crc32 ? crc != Crc32Residue : crc16 != 0) return -1;
    return 0;
}

int ReadHexBody(int port, std::uint8_t body[5]) {
    std::uint16_t crc = 0;
    for (int i = 0; i < 7; ++i) {
        int c = ZmReadHexByte(port);
        if (c < 0) return c;
        if (i < 5) body[i] = static_cast<std::uint8_t>(c);
        crc = Crc16UpdateAugmented(crc, static_cast<std::uint8_t>(c));
    }
    if (crc != 0) return -1;
    // CR LF (the peer may set the LF's high bit); the XON after it is dropped by the next scan.
    if ((V24ReadByte(port) & 0x7F) == '\r') V24ReadByte(port);
    return 0;
}

}  // namespace

void ZmSendHeader(int port, int format, int type, std::uint32_t value) {
    std::uint8_t body[5];
    Body(type, value, body);
    if (format == ZHEX) {
        const std::uint16_t crc = Crc16Of(body, 5);
        char text[32];
        int n = std::snprintf(text, sizeof text, "%c%c%c%c%02x%02x%02x%02x%02x%02x%02x\r\n", ZPAD,
                              ZPAD, ZDLE, ZHEX, body[0], body[1], body[2], body[3], body[4],
                              crc >> 8, crc & 0xFF);
        // The closing ZFIN and ZACK go without XON, the others resume a stopped sender.
        if (type != ZFIN && type != ZACK) text[n++] = XON;
        V24WriteBuffer(port, text, n);
        return;
    }
    const std::uint8_t lead[3] = {ZPAD, ZDLE, static_cast<std::uint8_t>(format)};
    V24WriteBuffer(port, lead, 3);
    for (auto b : body) ZmSendEscaped(port, b);
    if (format == ZBIN32) {
        std::uint32_t crc = 0xFFFFFFFF;
        for (auto b : body) crc = Crc32Update(crc, b);
        crc = ~crc;
        for (int i = 0; i < 4; ++i) ZmSendEscaped(port, static_cast<std::uint8_t>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = Crc16Of(body, 5);
        ZmSendEscaped(port, static_cast<std::uint8_t>(crc >> 8));
        ZmSendEscaped(port, static_cast<std::uint8_t>(crc));
    }
}

namespace {

// Scans for a header. A lenient scan takes a ZPAD, ZDLE and unknown format byte for what it is
// inside streamed data (an '*' before an escaped byte) and scans on.
int ScanHeader(int port, std::uint32_t* value, int* format, long maxGarbage, bool lenient) {
    int cans = 0;
    long seen = 0;
    int kind;
    for (;;) {
        int c = ZmReadByteNoXon(port);
        if (c < 0) return -2;
        if (c == ZCANBYTE) {
            if (++cans == 5) return ZCAN;
        } else {
            cans = 0;
        }
        if (++seen >= maxGarbage) return -1;
        if (c != ZPAD || !HeaderStartsAfterPad(port)) continue;
        c = ZmReadByteNoXon(port);
        if (c < 0) return -2;
        if (c == ZPAD) {
            c = ZmReadByteNoXon(port);
            if (c < 0) return -2;
        }
        if (c != ZDLE) {
            if (lenient) continue;
            return -1;
        }
        kind = ZmReadByteNoXon(port);
        if (kind < 0) return -2;
        if (format) *format = kind;
        if (kind == ZBIN || kind == ZBIN32 || kind == ZHEX) break;
        if (!lenient) return kind;
    }

    std::uint8_t body[5];
    int r = kind == ZHEX ? ReadHexBody(port, body) : ReadBinaryBody(port, kind == ZBIN32, body);
    if (r < 0) return r;
    if (value) {
        *value = static_cast<std::uint32_t>(body[1]) | static_cast<std::uint32_t>(body[2]) << 8 |
                 static_cast<std::uint32_t>(body[3]) << 16 |
                 static_cast<std::uint32_t>(body[4]) << 24;
    }
    return body[0];
}

}  // namespace

int ZmReceiveHeader(int port, std::uint32_t* value, int* format) {
    return ScanHeader(port, value, format, kMaxGarbage, false);
}

int ZmReceiveHeaderWithin(int port, std::uint32_t* value, int* format, long maxGarbage) {
    return ScanHeader(port, value, format, maxGarbage, true);
}
