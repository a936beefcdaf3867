// Data subpackets, the abort sequence and the attention string.
#include <cstring>

#include "serial/device/sync.h"
#include "serial/v24.h"
#include "transfer/crc.h"
#include "transfer/zm_frames.h"

namespace {

constexpr std::uint8_t kAttentionBreak = 0xDD;
constexpr std::uint8_t kAttentionPause = 0xDE;
constexpr int kAttentionPauseMs = 1000;

}  // namespace

int ZmSendDataSubpacket(int port, int format, int frameEnd, ZmBuffer& buffer) {
    const bool crc32 = format == ZBIN32;
    const std::uint32_t n = buffer.length > ZM_MAX_SUBPACKET ? ZM_MAX_SUBPACKET : buffer.length;
    std::uint16_t crc16 = 0;
    std::uint32_t crc = 0xFFFFFFFF;
    // The escaped bytes overwrite raw bytes already read: output i lies at most at 2i + 1,
    // below the raw byte i + 1 at 1024 + i + 1.
    const std::uint8_t* raw = buffer.Raw();
    std::uint8_t* out = buffer.data;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t b = raw[i];
        if (crc32) {
            crc = Crc32Update(crc, b);
        } else {
            crc16 = Crc16UpdateAugmented(crc16, b);
        }
        out += ZmEscapeByte(b, out);
    }
    if (out > buffer.data) V24WriteBuffer(port, buffer.data, static_cast<int>(out - buffer.data));

    std::uint8_t trailer[16];
    int t = 0;
    trailer[t++] = ZDLE;
    trailer[t++] = static_cast<std::uint8_t>(frameEnd);
    if (crc32) {
        crc = ~Crc32Update(crc, static_cast<std::uint8_t>(frameEnd));
        for (int i = 0; i < 4; ++i)
            t += ZmEscapeByte(static_cast<std::uint8_t>(crc >> (8 * i)), trailer + t);
    } else {
        crc16 = Crc16UpdateAugmented(crc16, static_cast<std::uint8_t>(frameEnd));
        crc16 = Crc16UpdateAugmented(crc16, 0);
        crc16 = Crc16UpdateAugmented(crc16, 0);
        t += ZmEscapeByte(static_cast<std::uint8_t>(crc16 >> 8), trailer + t);
        t += ZmEscapeByte(static_cast<std::uint8_t>(crc16), trailer + t);
    }
    if (frameEnd == ZCRCW) trailer[t++] = XON;
    return V24WriteBuffer(port, trailer, t);
}

int ZmReceiveDataSubpacket(int port, int format, ZmBuffer& buffer) {
    const bool crc32 = format == ZBIN32;
    std::uint16_t crc16 = 0;
    std::uint32_t crc = 0xFFFFFFFF;
    buffer.length = 0;
    for (;;) {
        int c = ZmReadEscaped(port);
        if (c == ZM_CANCELLED) return ZCAN;
        if (c < 0) return -1;
        if (c <= 0xFF) {
            if (buffer.length >= ZM_MAX_SUBPACKET) return -1;
            buffer.data[buffer.length++] = static_cast<std::uint8_t>(c);
            if (crc32) {
                crc = Crc32Update(crc, static_cast<std::uint8_t>(c));
            } else {
                crc16 = Crc16UpdateAugmented(crc16, static_cast<std::uint8_t>(c));
            }
            continue;
        }
        if ((c & ~0xFF) != ZM_FRAME_END) return -1;
        const int frameEnd = c & 0xFF;
        const int checkBytes = crc32 ? 4 : 2;
        std::uint8_t end = static_cast<std::uint8_t>(frameEnd);
        if (crc32) {
            crc = Crc32Update(crc, end);
        } else {
            crc16 = Crc16UpdateAugmented(crc16, end);
        }
        for (int i = 0; i < checkBytes; ++i) {
            c = ZmReadEscaped(port);
            if (c == ZM_CANCELLED) return ZCAN;
            if (c < 0 || c > 0xFF) return -1;
            if (crc32) {
                crc = Crc32Update(crc, static_cast<std::uint8_t>(c));
            } else {
                crc16 = Crc16UpdateAugmented(crc16, static_cast<std::uint8_t>(c));
            }
        }
        // Every CRC-16 subpacket is checked, the one after a hex header too: unchecked bytes
        // would reach the file as data.
        if (crc32 ? crc != Crc32Residue : crc16 != 0) return -1;
        return frameEnd;
    }
}

int ZmSendAbort(int port) {
    static const char kAbort[] = "\x18\x18\x18\x18\x18\x18\x18\x18\b\b\b\b\b\b\b\b";
    return V24WriteString(port, kAbort);
}

void ZmSendAttention(int port, const char* attention) {
    if (!attention) return;
    for (int i = 0; i < ZM_ATTENTION_MAX && attention[i]; ++i) {
        const auto b = static_cast<std::uint8_t>(attention[i]);
        if (b == kAttentionBreak) {
            V24PulseBreak(port);
        } else if (b == kAttentionPause) {
            qel::dev::Sleep(kAttentionPauseMs);
        } else {
            V24WriteByte(port, b);
        }
    }
}
