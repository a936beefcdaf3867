// The bootloader's 16-bit link checksum: nibble steps with the table factor 0x1081 (the
// reflected CCITT polynomial 0x8408), five steps per 16-bit value, the last with a zero
// nibble. Used over command frames and word blocks.
#pragma once
#include <cstdint>

namespace qel::sim {

inline std::uint16_t ChecksumNibble(std::uint16_t crc, unsigned nibble) {
    return static_cast<std::uint16_t>((crc >> 4) ^ (((crc ^ nibble) & 0xFu) * 0x1081u));
}

inline std::uint16_t ChecksumWord(std::uint16_t crc, std::uint16_t word) {
    for (unsigned shift = 0; shift < 16; shift += 4) crc = ChecksumNibble(crc, word >> shift);
    return ChecksumNibble(crc, 0);
}

inline std::uint16_t ChecksumByte(std::uint16_t crc, std::uint8_t byte) {
    return ChecksumWord(crc, byte);
}

}  // namespace qel::sim
