#include "serial/port_table.h"

using namespace qel::serial;
using namespace qel::dev;

namespace {

// Applies settings to the device; the platform error stays with the port on failure.
bool Apply(V24Port& port, const DCB& dcb) {
    if (port.device->SetCommState(dcb)) return true;
    port.lastError = port.device->LastError();
    return false;
}

bool Setup(V24Port& port, DWORD inQueue, DWORD outQueue) {
    if (port.device->SetupComm(inQueue, outQueue)) return true;
    port.lastError = port.device->LastError();
    return false;
}

bool Escape(V24Port& port, DWORD function) {
    if (port.device->EscapeCommFunction(function)) return true;
    port.lastError = port.device->LastError();
    return false;
}

bool Purge(V24Port& port, DWORD flags) {
    if (port.device->PurgeComm(flags)) return true;
    port.lastError = port.device->LastError();
    return false;
}

// Switches a modem output; shared by DTR and RTS.
int SwitchLine(V24Port& port, int operation, int& state, DWORD on, DWORD off) {
    switch (operation) {
        case V24_OFF:
            if (!Escape(port, off)) return V24_DEVICE_FAILED;
            state = 0;
            return 0;
        case V24_ON:
            if (!Escape(port, on)) return V24_DEVICE_FAILED;
            state = 1;
            return 1;
        case V24_ASK:
            return state;
        default:
            return V24_BAD_ARGUMENT;
    }
}

}  // namespace

int V24SetLine(int handle, int baud, int dataBits, int parity, int stopBits) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    DCB dcb = port->lineSettings;
    if (baud != 0) dcb.BaudRate = static_cast<DWORD>(baud);
    switch (dataBits) {
        case 0:
            break;
        case 5:
        case 6:
        case 7:
        case 8:
        case 16:
            dcb.ByteSize = static_cast<BYTE>(dataBits);
            break;
        default:
            return V24_BAD_ARGUMENT;
    }
    switch (parity) {
        case 0:
            break;
        case 'E':
            dcb.Parity = EVENPARITY;
            break;
        case 'N':
            dcb.Parity = NOPARITY;
            break;
        case 'O':
            dcb.Parity = ODDPARITY;
            break;
        default:
            return V24_BAD_ARGUMENT;
    }
    switch (stopBits) {
        case 0:
            break;
        case 1:
            dcb.StopBits = ONESTOPBIT;
            break;
        case 2:
            dcb.StopBits = TWOSTOPBITS;
            break;
        default:
            return V24_BAD_ARGUMENT;
    }
    if (!Apply(*port, dcb)) return V24_DEVICE_FAILED;
    port->lineSettings = dcb;
    return 0;
}

int V24GetLine(int handle, int* baud, int* dataBits, int* parity, int* stopBits) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    if (!port->device->GetCommState(dcb)) {
        port->lastError = port->device->LastError();
        return V24_BAD_HANDLE;
    }
    if (baud) *baud = static_cast<int>(dcb.BaudRate);
    if (dataBits) {
        if (dcb.ByteSize != 7 && dcb.ByteSize != 8) return V24_BAD_ARGUMENT;
        *dataBits = dcb.ByteSize;
    }
    if (parity) {
        switch (dcb.Parity) {
            case NOPARITY:
                *parity = 'N';
                break;
            case ODDPARITY:
                *parity = 'O';
                break;
            case EVENPARITY:
                *parity = 'E';
                break;
            default:
                return V24_BAD_ARGUMENT;
        }
    }
    if (stopBits) {
        switch (dcb.StopBits) {
            case ONESTOPBIT:
                *stopBits = 1;
                break;
            case TWOSTOPBITS:
                *stopBits = 2;
                break;
            default:
                return V24_BAD_ARGUMENT;
        }
    }
    port->lineSettings = dcb;
    return 0;
}

int V24SetDefaultLine(int handle) {
    return V24SetLine(handle, 2400, 8, 'N', 1);
}

int V24SetHandshake(int handle, int mode) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (mode < V24_HANDSHAKE_NONE || mode > V24_HANDSHAKE_RTSCTS) return V24_BAD_ARGUMENT;
    DCB& dcb = port->lineSettings;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    if (mode == V24_HANDSHAKE_XONXOFF || mode == V24_HANDSHAKE_XONXOFF_TOO) {
        dcb.fOutX = 1;
        dcb.fInX = 1;
    } else if (mode == V24_HANDSHAKE_RTSCTS) {
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    }
    if (!Apply(*port, dcb)) return V24_DEVICE_FAILED;
    port->handshake = mode;
    V24Rts(handle, V24_ON);
    V24Dtr(handle, V24_ON);
    return 0;
}

int V24GetHandshake(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    return port ? port->handshake : result;
}

int V24SetTimeout(int handle, int ms) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    port->timeout = ms;
    return 0;
}

int V24GetTimeout(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    return port ? port->timeout : result;
}

int V24SetQueueSize(int handle, int which, int size) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    const DWORD newSize = static_cast<DWORD>(size);
    if (which == V24_OUTPUT) {
        if (!Setup(*port, static_cast<DWORD>(port->inQueueSize), newSize)) {
            return V24_DEVICE_FAILED;
        }
        port->outQueueSize = size;
    } else if (which == V24_INPUT) {
        if (!Setup(*port, newSize, static_cast<DWORD>(port->outQueueSize))) {
            return V24_DEVICE_FAILED;
        }
        port->inQueueSize = size;
        port->xoffLevel = static_cast<int>((newSize * 3) / 4);
        port->xonLevel = static_cast<int>(newSize / 4);
        port->lineSettings.XonLim = static_cast<WORD>(newSize / 4);
        port->lineSettings.XoffLim = static_cast<WORD>(newSize - (newSize * 3) / 4);
        if (!Apply(*port, port->lineSettings)) return V24_DEVICE_FAILED;
    } else {
        return V24_BAD_ARGUMENT;
    }
    if (!Setup(*port, static_cast<DWORD>(port->inQueueSize),
               static_cast<DWORD>(port->outQueueSize))) {
        return V24_DEVICE_FAILED;
    }
    return 0;
}

int V24GetQueueSize(int handle, int which) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (which == V24_INPUT) return port->inQueueSize;
    if (which == V24_OUTPUT) return port->outQueueSize;
    return V24_BAD_ARGUMENT;
}

int V24Purge(int handle, int which) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    if (which == V24_OUTPUT) {
        if (!Purge(*port, PURGE_TXABORT) || !Purge(*port, PURGE_TXCLEAR)) {
            return V24_DEVICE_FAILED;
        }
        return 0;
    }
    if (which == V24_INPUT) {
        if (!Purge(*port, PURGE_RXABORT) || !Purge(*port, PURGE_RXCLEAR)) {
            return V24_DEVICE_FAILED;
        }
        ClearStaging(*port);
        return 0;
    }
    return V24_BAD_ARGUMENT;
}

int V24Dtr(int handle, int operation) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    return SwitchLine(*port, operation, port->dtrState, SETDTR, CLRDTR);
}

int V24Rts(int handle, int operation) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;
    // The driver owns RTS under hardware flow control.
    if (port->handshake == V24_HANDSHAKE_RTSCTS) return V24_RTS_HANDSHAKE;
    return SwitchLine(*port, operation, port->rtsState, SETRTS, CLRRTS);
}
