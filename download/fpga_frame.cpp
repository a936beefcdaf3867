#include "download/fpga_frame.h"

#include <cstdio>
#include <cstring>

namespace fpga {

std::size_t BuildRequest(std::uint8_t* frame, std::uint8_t operation, const std::uint8_t* data,
                         int n) {
    if (n < 0) n = 0;
    if (n > MAX_DATA) n = MAX_DATA;
    const int length = n + 9;
    std::size_t i = 0;
    frame[i++] = FRAME_START;
    frame[i++] = static_cast<std::uint8_t>(length >> 8);
    frame[i++] = static_cast<std::uint8_t>(length & 0xFF);
    frame[i++] = 0x00;
    frame[i++] = 0x00;
    frame[i++] = 0x00;  // sequence number, filled in when sent
    frame[i++] = TYPE_REQUEST;
    frame[i++] = 0x80;
    frame[i++] = operation;
    if (n > 0) {
        std::memcpy(frame + i, data, static_cast<std::size_t>(n));
        i += static_cast<std::size_t>(n);
    }
    frame[i++] = 0x00;
    frame[i++] = 0x00;
    frame[i++] = FRAME_END;
    return i;
}

std::size_t BuildHandshake(std::uint8_t* frame, std::uint8_t sequence) {
    const std::uint8_t bytes[] = {FRAME_START, 0x00,           0x07, sequence, 0x00,
                                  0x00,        TYPE_HANDSHAKE, 0x00, 0x00,     FRAME_END};
    std::memcpy(frame, bytes, sizeof bytes);
    return sizeof bytes;
}

std::size_t FrameLength(const std::uint8_t* frame) {
    return 3u + (static_cast<std::size_t>(frame[1]) << 8) + frame[2];
}

int FileVersion(const std::uint8_t* header) {
    // The header is not terminated in the file; five characters after the prefix cannot
    // overflow an int.
    char text[HEADER_SIZE + 1] = {};
    std::memcpy(text, header, HEADER_SIZE);
    int version = 0;
    if (std::sscanf(text, "coVersion %d", &version) != 1) version = 0;
    return version;
}

int BoxVersion(std::uint8_t byte9, std::uint8_t byte10) {
    const int nibbles[] = {byte9 & 0xF, byte10 >> 4, byte10 & 0xF};
    int version = 0;
    for (int nibble : nibbles) {
        if (nibble > 9) break;
        version = version * 10 + nibble;
    }
    return version;
}

}  // namespace fpga
