// Frames of the box firmware's FPGA protocol and the two version numbers the update compares.
// Kept apart from the exchange itself so that the byte layout can be checked without a line.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fpga {

constexpr std::uint8_t FRAME_START = 0x04;
constexpr std::uint8_t FRAME_END = 0x03;
constexpr std::uint8_t TYPE_REQUEST = 0x1C;
constexpr std::uint8_t TYPE_REQUEST_REPLY = 0x9C;
constexpr std::uint8_t TYPE_HANDSHAKE = 0x09;

constexpr std::uint8_t OP_VERSION = 0x00;
constexpr std::uint8_t OP_START = 0x02;
constexpr std::uint8_t OP_DATA = 0x03;
constexpr std::uint8_t OP_END = 0x04;

constexpr int MAX_DATA = 512;
// Start byte, two length bytes, frame header up to the operation, data, two zeros, end byte.
constexpr int MAX_FRAME = 3 + 6 + MAX_DATA + 3;

// The receive area holds the start byte, the two length bytes and this many body bytes.
constexpr int REPLY_AREA = 255;
constexpr int MAX_REPLY_BODY = REPLY_AREA - 3;

constexpr int HEADER_SIZE = 14;
constexpr long MIN_FILE_SIZE = 0x10000;
constexpr long MAX_FILE_SIZE = 0x60000;

// Builds a request (version query, start, data or end) into frame, which holds MAX_FRAME
// bytes; the sequence number is left 0 for the exchange to fill in. n is the number of data
// bytes (0 for everything but data requests, at most MAX_DATA). Returns the frame's length.
std::size_t BuildRequest(std::uint8_t* frame, std::uint8_t operation, const std::uint8_t* data,
                         int n);

// Builds the handshake that follows every request, carrying the sequence number in byte 3.
std::size_t BuildHandshake(std::uint8_t* frame, std::uint8_t sequence);

// The whole length of a frame as announced by its length field.
std::size_t FrameLength(const std::uint8_t* frame);

// The version in a file header ("coVersion" and a decimal number, 14 bytes), 0 when no
// number follows. The caller has checked the "coVersion" prefix.
int FileVersion(const std::uint8_t* header);

// The version carried by reply bytes 9 and 10: three decimal digits taken from the low
// nibble of the first and both nibbles of the second, read up to the first nibble that is
// not a digit.
int BoxVersion(std::uint8_t byte9, std::uint8_t byte10);

}  // namespace fpga
