// Where an image file sits in the box's flash and how its bytes become the link's words: one
// place for the download, the verify, the read-back and the image texts.
#pragma once
#include <cstddef>
#include <cstdint>

#include "download/link_protocol.h"

namespace qel::image {

constexpr std::uint32_t LOAD_ADDRESS = 0x8000;  // where an image goes unless told otherwise
constexpr long MIN_SIZE = 2;                    // one word
constexpr long MAX_SIZE = 0xF8000;              // from LOAD_ADDRESS to the end of the flash
// The part of a file that travels in one link block.
constexpr int BLOCK_BYTES = 2 * link::MAX_BLOCK_WORDS;

inline bool SizeFits(long size) {
    return size >= MIN_SIZE && size <= MAX_SIZE;
}

// An odd-sized piece ends in half a word, which the erased flash completes: bytes gets the
// filler, and the even length comes back. bytes must have room for one more byte.
inline std::size_t CompleteWord(std::uint8_t* bytes, std::size_t n) {
    if (n % 2 != 0) bytes[n++] = 0xFF;
    return n;
}

// An image holds each word high byte first; the link carries words as numbers.
inline void ToWords(const std::uint8_t* bytes, std::size_t count, std::uint16_t* words) {
    for (std::size_t i = 0; i < count; ++i)
        words[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
}
inline void ToBytes(const std::uint16_t* words, std::size_t count, std::uint8_t* bytes) {
    for (std::size_t i = 0; i < count; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(words[i] & 0xFF);
    }
}

}  // namespace qel::image
