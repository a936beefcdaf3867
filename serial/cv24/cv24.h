// The port object: every port function, the XMODEM and ZMODEM transfers and the modem
// commands as methods of one class, for programs written against the framework's objects.
// It holds no port: every method but Open takes the handle first, so one object serves any
// number of ports. Arguments and results pass through unchanged, except where a method
// takes a string or byte array in place of a C buffer.
#pragma once
#include <string>

#include "framework/byte_array.h"
#include "framework/cobject.h"
#include "serial/v24.h"
#include "transfer/xmodem.h"
#include "transfer/zmodem.h"

class CV24 : public CObject {
  public:
    // ReadLine reads into an area of this size, so a line holds at most kLineArea - 1
    // characters; ReadBuffer's area holds kBufferArea, of which it asks for one less.
    static constexpr int kLineArea = 52;
    static constexpr int kBufferArea = 80;

    CV24() = default;
    ~CV24() override;
    void Serialize(CArchive& archive) override;

    int Open(const char* name, int exclusive);
    int Close(int handle);
    int GetLineErrors(int handle);
    int WriteByte(int handle, unsigned char byte);
    int WriteString(int handle, std::string text);
    int WriteBuffer(int handle, const void* data, int count);
    int Printf(int handle, const char* format, ...) __attribute__((format(printf, 3, 4)));
    int SetBreak(int handle);
    int ClearBreak(int handle);
    int PulseBreak(int handle);
    int ReadByteTimed(int handle, unsigned char* byte, int ms);
    int PeekByte(int handle);
    int WaitByte(int handle);
    int ReadByte(int handle);
    // A line of at most kLineArea - 1 characters (a longer len is cut to that) up to the
    // terminator, which is taken but not kept; the count, or the port's error code, which
    // leaves line as it was.
    int ReadLine(int handle, std::string& line, unsigned len, int terminator);
    // Up to kBufferArea - 1 bytes (a larger count is cut to that) into elements 0.. of data,
    // which grows to hold them and never shrinks; the count, or the port's error code, which
    // leaves data as it was.
    int ReadBuffer(int handle, CByteArray& data, int count);
    int SetHandshake(int handle, int mode);
    int GetHandshake(int handle);
    int SetTimeout(int handle, int ms);
    int GetTimeout(int handle);
    int SetLine(int handle, int baud, int dataBits, int parity, int stopBits);
    int GetLine(int handle, int* baud, int* dataBits, int* parity, int* stopBits);
    int SetDefaultLine(int handle);
    int GetRlsd(int handle);
    int GetDsr(int handle);
    int GetCts(int handle);
    int GetRing(int handle);
    int Dtr(int handle, int operation);
    int Rts(int handle, int operation);
    int SetQueueSize(int handle, int which, int size);
    int GetQueueSize(int handle, int which);
    int GetQueueCount(int handle, int which);
    int IsQueueEmpty(int handle, int which);
    int Purge(int handle, int which);
    int SetNotify(int handle, V24NotifyWindow window, unsigned message);
    unsigned GetNotifyMessage(int handle);

    int SendFile(int handle, const char* path, int use1k, XmProgressCallback progress);
    int ReceiveFile(int handle, const char* path, int crc, XmProgressCallback progress);
    int StreamReceiveFiles(int handle, ZmProgressCallback progress);
    int StreamSendFile(int handle, const char* path, int endOfBatch, ZmProgressCallback progress);

    int Dial(int handle, int tone, const char* number);
    int HangUp(int handle);
    int Answer(int handle);
    int InitModem(int handle, const char* settings = "E1V1Q0S0=0");
    int SetModemModes(int handle, int echo, int quiet, int verbose);
    int ResetModem(int handle);
};
