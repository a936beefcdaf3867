// The link checksum of the bootloader: a reflected CRC-16 (0x8408) fed a nibble at a time,
// with four extra zero bits after every word. It is not the CRC of the file transfers.
#include <cstdint>

#include "download/download.h"

namespace {

void NibbleStep(std::uint16_t& crc, unsigned nibble) {
    crc = static_cast<std::uint16_t>((crc >> 4) ^ (((crc ^ nibble) & 0xFu) * 0x1081u));
}

}  // namespace

void CDownload::UpdateCrc(std::uint16_t word, std::uint8_t& lo, std::uint8_t& hi) {
    std::uint16_t crc = static_cast<std::uint16_t>(lo | (hi << 8));
    NibbleStep(crc, word & 0xFu);
    NibbleStep(crc, (word >> 4) & 0xFu);
    NibbleStep(crc, (word >> 8) & 0xFu);
    NibbleStep(crc, (word >> 12) & 0xFu);
    NibbleStep(crc, 0);
    lo = static_cast<std::uint8_t>(crc & 0xFFu);
    hi = static_cast<std::uint8_t>(crc >> 8);
}

void CDownload::UpdateCrcByte(std::uint8_t byte, std::uint8_t& lo, std::uint8_t& hi) {
    UpdateCrc(byte, lo, hi);
}
