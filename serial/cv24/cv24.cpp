#include "serial/cv24/cv24.h"

#include <algorithm>
#include <cstdarg>

#include "transfer/modem.h"

CV24::~CV24() = default;

void CV24::Serialize(CArchive&) {}

int CV24::Open(const char* name, int exclusive) {
    return V24Open(name, exclusive);
}
int CV24::Close(int handle) {
    return V24Close(handle);
}
int CV24::GetLineErrors(int handle) {
    return V24GetLineErrors(handle);
}
int CV24::WriteByte(int handle, unsigned char byte) {
    return V24WriteByte(handle, byte);
}
int CV24::WriteString(int handle, std::string text) {
    return V24WriteString(handle, text.c_str());
}
int CV24::WriteBuffer(int handle, const void* data, int count) {
    return V24WriteBuffer(handle, data, count);
}

int CV24::Printf(int handle, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int result = V24VPrintf(handle, format, args);
    va_end(args);
    return result;
}

int CV24::SetBreak(int handle) {
    return V24SetBreak(handle);
}
int CV24::ClearBreak(int handle) {
    return V24ClearBreak(handle);
}
int CV24::PulseBreak(int handle) {
    return V24PulseBreak(handle);
}
int CV24::ReadByteTimed(int handle, unsigned char* byte, int ms) {
    return V24ReadByteTimed(handle, byte, ms);
}
int CV24::PeekByte(int handle) {
    return V24PeekByte(handle);
}
int CV24::WaitByte(int handle) {
    return V24WaitByte(handle);
}
int CV24::ReadByte(int handle) {
    return V24ReadByte(handle);
}

int CV24::ReadLine(int handle, std::string& line, unsigned len, int terminator) {
    char area[kLineArea];
    const int count = V24ReadLine(handle, area, std::min<unsigned>(len, kLineArea - 1), terminator);
    if (count < 0) return count;
    area[count] = '\0';
    line = area;
    return count;
}

int CV24::ReadBuffer(int handle, CByteArray& data, int count) {
    unsigned char area[kBufferArea];
    const int got = V24ReadBuffer(handle, area, std::min(count, kBufferArea - 1));
    for (int i = 0; i < got; ++i) data.SetAtGrow(i, area[i]);
    return got;
}

int CV24::SetHandshake(int handle, int mode) {
    return V24SetHandshake(handle, mode);
}
int CV24::GetHandshake(int handle) {
    return V24GetHandshake(handle);
}
int CV24::SetTimeout(int handle, int ms) {
    return V24SetTimeout(handle, ms);
}
int CV24::GetTimeout(int handle) {
    return V24GetTimeout(handle);
}
int CV24::SetLine(int handle, int baud, int dataBits, int parity, int stopBits) {
    return V24SetLine(handle, baud, dataBits, parity, stopBits);
}
int CV24::GetLine(int handle, int* baud, int* dataBits, int* parity, int* stopBits) {
    return V24GetLine(handle, baud, dataBits, parity, stopBits);
}
int CV24::SetDefaultLine(int handle) {
    return V24SetDefaultLine(handle);
}
int CV24::GetRlsd(int handle) {
    return V24GetRlsd(handle);
}
int CV24::GetDsr(int handle) {
    return V24GetDsr(handle);
}
int CV24::GetCts(int handle) {
    return V24GetCts(handle);
}
int CV24::GetRing(int handle) {
    return V24GetRing(handle);
}
int CV24::Dtr(int handle, int operation) {
    return V24Dtr(handle, operation);
}
int CV24::Rts(int handle, int operation) {
    return V24Rts(handle, operation);
}
int CV24::SetQueueSize(int handle, int which, int size) {
    return V24SetQueueSize(handle, which, size);
}
int CV24::GetQueueSize(int handle, int which) {
    return V24GetQueueSize(handle, which);
}
int CV24::GetQueueCount(int handle, int which) {
    return V24GetQueueCount(handle, which);
}
int CV24::IsQueueEmpty(int handle, int which) {
    return V24IsQueueEmpty(handle, which);
}
int CV24::Purge(int handle, int which) {
    return V24Purge(handle, which);
}
int CV24::SetNotify(int handle, V24NotifyWindow window, unsigned message) {
    return V24SetNotify(handle, window, message);
}
unsigned CV24::GetNotifyMessage(int handle) {
    return V24GetNotifyMessage(handle);
}

int CV24::Dial(int handle, int tone, const char* number) {
    return ModemDial(handle, tone, number);
}
int CV24::HangUp(int handle) {
    return ModemHangUp(handle);
}
int CV24::Answer(int handle) {
    return ModemAnswer(handle);
}
int CV24::InitModem(int handle, const char* settings) {
    return ModemInit(handle, settings);
}
int CV24::SetModemModes(int handle, int echo, int quiet, int verbose) {
    return ModemSetEchoQuietVerbose(handle, echo, quiet, verbose);
}
int CV24::ResetModem(int handle) {
    return ModemReset(handle);
}
