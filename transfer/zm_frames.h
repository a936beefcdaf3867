// ZMODEM framing: hex and binary headers, data subpackets with their four frame ends, ZDLE
// escaping both ways, the abort sequence and the attention string. Every read is a single-byte
// read with the port time-out the caller has set.
#pragma once
#include <cstdint>

constexpr int ZPAD = 0x2A;
constexpr int ZDLE = 0x18;
constexpr int ZCANBYTE = 0x18;  // CAN has ZDLE's value; five in a row cancel
constexpr int XON = 0x11;
constexpr int XOFF = 0x13;

constexpr int ZBIN = 'A';    // binary header, CRC-16
constexpr int ZHEX = 'B';    // hex header, CRC-16
constexpr int ZBIN32 = 'C';  // binary header, CRC-32

constexpr int ZCRCE = 'h';  // end of frame, no reply
constexpr int ZCRCG = 'i';  // more follows, no reply
constexpr int ZCRCQ = 'j';  // more follows, reply ZACK
constexpr int ZCRCW = 'k';  // end of frame, reply ZACK
constexpr int ZRUB0 = 'l';
constexpr int ZRUB1 = 'm';

// What ZmReadEscaped returns besides data bytes.
constexpr int ZM_FRAME_END = 0x100;  // | the frame-end letter
constexpr int ZM_CANCELLED = 0x1818;

enum ZmFrameType {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
};

// ZRINIT capability flags (ZF0).
constexpr int CANFDX = 0x01;
constexpr int CANOVIO = 0x02;
constexpr int CANBRK = 0x04;
constexpr int CANFC32 = 0x20;

constexpr int ZM_MAX_SUBPACKET = 1024;
constexpr int ZM_ATTENTION_MAX = 32;

// A header's four bytes as one value: p0 is the least significant byte, and the flags run
// the other way (ZF0 is p3).
constexpr std::uint32_t ZmFlags(int zf0) {
    return static_cast<std::uint32_t>(zf0 & 0xFF) << 24;
}
constexpr int ZmZf0(std::uint32_t value) {
    return static_cast<int>(value >> 24);
}

// The subpacket buffer of one transfer. A sender puts its raw data in the upper half; the
// escaped output grows from the start over bytes already consumed. A receiver decodes into
// the start.
struct ZmBuffer {
    std::uint8_t data[2 * ZM_MAX_SUBPACKET];
    std::uint32_t length = 0;
    std::uint8_t* Raw() { return data + ZM_MAX_SUBPACKET; }
};

void ZmSendHeader(int port, int format, int type, std::uint32_t value);
// Frame type 0..18 (16 also when the peer cancels), -2 time-out, -1 error, or the format
// byte itself when it is none of 'A', 'B', 'C'. value and format may be null.
int ZmReceiveHeader(int port, std::uint32_t* value, int* format);
// The same with room for more line noise before the header, and scanning on past a ZPAD and
// ZDLE with an unknown format byte: a receiver that has asked for a new position must look
// past the subpackets the sender streamed before it heard the request.
int ZmReceiveHeaderWithin(int port, std::uint32_t* value, int* format, long maxGarbage);

// Returns the bytes written by the trailer write.
int ZmSendDataSubpacket(int port, int format, int frameEnd, ZmBuffer& buffer);
// The frame-end letter, ZCAN when cancelled, -1 on any error (a time-out included).
int ZmReceiveDataSubpacket(int port, int format, ZmBuffer& buffer);

int ZmSendAbort(int port);
// 0xDD sends a 500 ms break, 0xDE pauses a second; other bytes go out as they are.
void ZmSendAttention(int port, const char* attention);

// Data byte 0..255, a frame-end marker (ZM_FRAME_END | letter), ZM_CANCELLED, or negative.
int ZmReadEscaped(int port);
// 0..255; -2 when fewer than two characters came; -1 when they are not hex digits.
int ZmReadHexByte(int port);
int ZmReadByteNoXon(int port);

// Escapes one subpacket byte into out (one or two bytes); returns how many.
int ZmEscapeByte(std::uint8_t byte, std::uint8_t* out);
// Escapes one header byte straight to the port.
void ZmSendEscaped(int port, std::uint8_t byte);
