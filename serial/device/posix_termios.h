// Line settings between the DCB record and termios.
#pragma once
#include <termios.h>

#include "serial/device/dcb.h"

namespace qel::dev {

// The Bxxx constant for rate, or B0 when the rate has none (it then needs termios2).
speed_t PosixStandardSpeed(DWORD rate);
// The rate of a Bxxx constant; 0 for B0 or an unknown constant.
DWORD PosixSpeedRate(speed_t speed);

// Puts the framing and flow control of dcb into t (not the rate). false with
// ERROR_INVALID_PARAMETER in error for values a termios line cannot carry: data bits other
// than 5 to 8, 1.5 stop bits, an unknown parity.
bool PosixDcbToTermios(const DCB& dcb, termios& t, DWORD& error);

// Fills the members of dcb that termios holds (not the rate); the others stay as they are.
void PosixTermiosToDcb(const termios& t, DCB& dcb);

// Raw mode for a port: no line editing, echo, signals or output processing; the byte size,
// parity and stop bits the device already has are kept. A read returns at once with what
// is there; an empty non-blocking read gives EAGAIN, so that a read of 0 bytes can only
// mean a hang-up.
void PosixMakeRaw(termios& t);

}  // namespace qel::dev
