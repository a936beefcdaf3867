// Check values of the two file-transfer protocols: the CRC-16 of the XMODEM family (direct
// form for block transfers, augmented form for streaming frames) and the reflected CRC-32.
// Each update takes the running value and one byte; initial values, appended bytes and the
// final complement belong to the callers.
#pragma once
#include <cstdint>

extern const std::uint16_t Crc16Table[256];
extern const std::uint32_t Crc32Table[256];

// Polynomial 0x1021, most significant bit first, no final XOR. Over data followed by its
// own check value (high byte first) the result is 0.
inline std::uint16_t Crc16Update(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>((crc << 8) ^ Crc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

// The byte enters below the register: over data followed by two zero bytes this gives what
// Crc16Update gives over the data alone.
inline std::uint16_t Crc16UpdateAugmented(std::uint16_t crc, std::uint8_t byte) {
    return static_cast<std::uint16_t>(Crc16Table[crc >> 8] ^ (crc << 8) ^ byte);
}

// Reflected, polynomial 0xEDB88320. Start from 0xFFFFFFFF; the complemented result is the
// usual CRC-32, and running on over that value (least significant byte first) ends at
// Crc32Residue.
inline std::uint32_t Crc32Update(std::uint32_t crc, std::uint8_t byte) {
    return Crc32Table[(crc ^ byte) & 0xFF] ^ (crc >> 8);
}

constexpr std::uint32_t Crc32Residue = 0xDEBB20E3;
