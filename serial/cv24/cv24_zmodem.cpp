// The port object's ZMODEM transfers, apart from the rest so that a program links only the
// protocols it uses.
#include "serial/cv24/cv24.h"

int CV24::StreamReceiveFiles(int handle, ZmProgressCallback progress) {
    return ZmReceive(handle, progress);
}

int CV24::StreamSendFile(int handle, const char* path, int endOfBatch,
                         ZmProgressCallback progress) {
    return ZmSendFile(handle, path, endOfBatch, progress);
}
