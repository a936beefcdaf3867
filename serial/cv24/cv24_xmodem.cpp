// The port object's XMODEM transfers, apart from the rest so that a program links only the
// protocols it uses.
#include "serial/cv24/cv24.h"

int CV24::SendFile(int handle, const char* path, int use1k, XmProgressCallback progress) {
    return XmSend(handle, path, use1k, progress);
}

int CV24::ReceiveFile(int handle, const char* path, int crc, XmProgressCallback progress) {
    return XmReceive(handle, path, crc, progress);
}
