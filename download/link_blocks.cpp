// Counted word blocks in both directions: a 16-bit count, the words low byte first and the
// link checksum over both, each count and checksum byte asked for with "*". Program and
// memory blocks go in bulk; text blocks ask for every byte.
#include <cstring>

#include "download/download.h"
#include "download/link_protocol.h"
#include "serial/v24.h"

int CDownload::SendBlock(const std::uint16_t* words, int count, bool bulk) {
    // The count goes out as 16 bits and the box holds at most one block: anything else
    // would announce a block the box cannot take.
    if (count < 0 || count > qel::link::MAX_BLOCK_WORDS || (count > 0 && !words))
        return LINK_FAILED;
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;
    m_state = STATE_STARTED;

    const std::uint8_t countBytes[2] = {static_cast<std::uint8_t>(count & 0xFF),
                                        static_cast<std::uint8_t>(count >> 8)};
    for (std::uint8_t b : countBytes) {
        if (V24ReadByte(m_port) != qel::link::NEXT) return LINK_FAILED;
        V24WriteByte(m_port, b);
        UpdateCrcByte(b, lo, hi);
    }

    if (bulk) {
        std::uint8_t data[2 * qel::link::MAX_BLOCK_WORDS];
        for (int i = 0; i < count; ++i) {
            data[2 * i] = static_cast<std::uint8_t>(words[i] & 0xFF);
            data[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
        }
        V24WriteBuffer(m_port, data, 2 * count);
    } else {
        for (int i = 0; i < count; ++i) {
            if (V24ReadByte(m_port) != qel::link::NEXT) return LINK_FAILED;
            V24WriteByte(m_port, words[i] & 0xFF);
            if (V24ReadByte(m_port) != qel::link::NEXT) return LINK_FAILED;
            V24WriteByte(m_port, words[i] >> 8);
        }
    }
    for (int i = 0; i < count; ++i) UpdateCrc(words[i], lo, hi);

    if (V24ReadByte(m_port) != qel::link::NEXT) return LINK_FAILED;
    V24WriteByte(m_port, lo);
    int answer = V24ReadByte(m_port);
    if (answer != qel::link::NEXT) {
        // The box's refusal (or the time-out) is kept for whoever asks why.
        m_state = answer;
        return LINK_FAILED;
    }
    V24WriteByte(m_port, hi);
    return V24ReadByte(m_port) == qel::link::ACK ? LINK_OK : LINK_FAILED;
}

int CDownload::ReceiveBlock(std::uint16_t* buffer, bool bulk) {
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;

    int countBytes[2];
    for (int& b : countBytes) {
        V24WriteByte(m_port, qel::link::NEXT);
        b = V24ReadByte(m_port);
        if (b < 0) return LINK_FAILED;
        UpdateCrcByte(static_cast<std::uint8_t>(b), lo, hi);
    }
    int count = countBytes[1] * 256 + countBytes[0];
    if (count > qel::link::MAX_BLOCK_WORDS) count = qel::link::MAX_BLOCK_WORDS;

    if (bulk) {
        // One timed read for the whole block: its time-out bounds every silence, as a read
        // per byte would, at a fraction of the calls.
        std::uint8_t data[2 * qel::link::MAX_BLOCK_WORDS];
        if (V24ReadBuffer(m_port, data, 2 * count) != 2 * count) return LINK_FAILED;
        for (int i = 0; i < count; ++i) {
            buffer[i] = static_cast<std::uint16_t>(data[2 * i + 1] << 8 | data[2 * i]);
        }
    } else {
        for (int i = 0; i < count; ++i) {
            V24WriteByte(m_port, qel::link::NEXT);
            int low = V24ReadByte(m_port);
            if (low < 0) return LINK_FAILED;
            V24WriteByte(m_port, qel::link::NEXT);
            int high = V24ReadByte(m_port);
            if (high < 0) return LINK_FAILED;
            buffer[i] = static_cast<std::uint16_t>(high << 8 | low);
        }
    }
    for (int i = 0; i < count; ++i) UpdateCrc(buffer[i], lo, hi);

    V24WriteByte(m_port, qel::link::NEXT);
    int b = V24ReadByte(m_port);
    if (b < 0) return LINK_FAILED;
    if (b != lo) {
        V24WriteByte(m_port, qel::link::NAK);
        return LINK_FAILED;
    }
    V24WriteByte(m_port, qel::link::NEXT);
    b = V24ReadByte(m_port);
    if (b < 0) return LINK_FAILED;
    if (b != hi) {
        V24WriteByte(m_port, qel::link::NAK);
        return LINK_FAILED;
    }
    V24WriteByte(m_port, qel::link::ACK);
    return count;
}

int CDownload::ReceiveString(char* buffer) {
    // Received into words first: the caller's text buffer need not be aligned for them.
    std::uint16_t words[qel::link::MAX_BLOCK_WORDS];
    int count = ReceiveBlock(words, false);
    if (count <= 0) return LINK_FAILED;
    // The box sends the earlier character as the high byte of each word.
    for (int i = 0; i < count; ++i) {
        buffer[2 * i] = static_cast<char>(words[i] >> 8);
        buffer[2 * i + 1] = static_cast<char>(words[i] & 0xFF);
    }
    // The box ends its text with a NUL inside the block; one more after the data, where the
    // buffer has room, keeps a box that forgets it from leaving an unterminated text.
    if (2 * count < 2 * qel::link::MAX_BLOCK_WORDS) buffer[2 * count] = '\0';
    return LINK_OK;
}

int CDownload::SendString(const char* text) {
    std::size_t length = std::strlen(text);
    int count = static_cast<int>(length / 2 + 1);
    if (length / 2 + 1 > static_cast<std::size_t>(qel::link::MAX_BLOCK_WORDS)) return LINK_FAILED;
    // The words cover the text and its NUL, and for an even length one byte beyond it: that
    // byte is sent as 0 from a copy instead of being read past the caller's text.
    std::uint16_t words[qel::link::MAX_BLOCK_WORDS];
    std::uint8_t bytes[2 * qel::link::MAX_BLOCK_WORDS] = {};
    std::memcpy(bytes, text, length);
    for (int i = 0; i < count; ++i) {
        words[i] = static_cast<std::uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    return SendBlock(words, count, false);
}
