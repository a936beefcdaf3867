// The file transfers of the port object, apart from the rest so that a program that never
// transfers a file does not link the protocols.
#include "serial/cv24/cv24.h"

int CV24::SendFile(int handle, const char* path, int use1k, XmProgressCallback progress) {
    return XmSend(handle, path, use1k, progress);
}

int CV24::ReceiveFile(int handle, const char* path, int crc, XmProgressCallback progress) {
    return XmReceive(handle, path, crc, progress);
}

int CV24::StreamReceiveFiles(int handle, ZmProgressCallback progress) {
    return ZmReceive(handle, progress);
}

int CV24::StreamSendFile(int handle, const char* path, int endOfBatch,
                         ZmProgressCallback progress) {
    return ZmSendFile(handle, path, endOfBatch, progress);
}
