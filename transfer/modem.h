// Hayes AT modem control on an open port: dial and classify the answer, hang up, answer a
// call, initialise, set echo/quiet/verbose, reset. Commands are plain text ended by a CR;
// nothing is kept between calls. The calls read the port, so no other reader may use the
// port meanwhile.
#pragma once

// The answers ModemDial looks for, in the order it looks; a dial returns the index found.
constexpr int kModemResults = 6;
extern const char* const ModemResult[kModemResults];

enum ModemDialResult {
    MODEM_OK = 0,
    MODEM_NO_CARRIER = 1,
    MODEM_ERROR = 2,
    MODEM_BUSY = 3,
    MODEM_NO_DIALTONE = 4,
    MODEM_CONNECT = 5,
    MODEM_NO_ANSWER = -1,       // nothing came within two minutes
    MODEM_UNKNOWN_ANSWER = -2,  // an answer came, but none of the words
    MODEM_PORT_FAILED = -3,     // a read failed or the time-out could not be set
};

// Dials number by tone (tone non-zero) or pulse. Leaves the port time-out at 1000 or 5000 ms.
int ModemDial(int handle, int tone, const char* number);
// "+++" between two 2 s pauses, then ATH; the port time-out is put back. At least 4.5 s.
int ModemHangUp(int handle);
// ATA; the number of bytes written. The answer is not read.
int ModemAnswer(int handle);
// AT followed by the settings; the answer is discarded and the port time-out put back.
int ModemInit(int handle, const char* settings = "E1V1Q0S0=0");
// ATEnQnVn; the answer is discarded and the port time-out put back.
int ModemSetEchoQuietVerbose(int handle, int echo, int quiet, int verbose);
// ATZ; the number of bytes written. The answer is not read.
int ModemReset(int handle);
