#include <cctype>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "serial/port_table.h"

namespace qel::serial {

using namespace qel::dev;

namespace {

const char kDevicePrefix[] = "\\\\.\\";
constexpr size_t kPrefixLength = 4;
// Enough for COM255.
constexpr size_t kPortPartLength = 6;

// The device path for a port name, or false when the name is neither a COM name nor a
// device path.
bool DevicePathFor(const char* name, std::string& path) {
    if (!name) return false;
    const char* portPart = nullptr;
    if (std::strlen(name) >= 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M') {
        portPart = name;
    } else if (std::strncmp(name, kDevicePrefix, kPrefixLength) == 0) {
        portPart = name + kPrefixLength;
    } else {
        return false;
    }
    path = kDevicePrefix;
    path.append(portPart, strnlen(portPart, kPortPartLength));
    for (char& c : path) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return true;
}

int OpenFailure(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            return V24_NO_DEVICE;
        case ERROR_ACCESS_DENIED:
            return V24_ACCESS_DENIED;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return V24_NO_MEMORY;
        default:
            return V24_DEVICE_FAILED;
    }
}

std::shared_ptr<Signal> NewSignal(bool manualReset) {
    try {
        return std::make_shared<Signal>(manualReset);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// Gives up an opening after the slot was marked in use. A receive thread that is still
// starting finds the device closed and the stop request set, and ends on its own.
void Abandon(V24Port& port) {
    port.inUse = 0;
    if (port.link) {
        port.link->running = false;
        if (port.link->resumeSignal) port.link->resumeSignal->Set();
    }
    port.device->Close();
    port.device.reset();
    port.threadSignal.reset();
    port.dataSignal.reset();
    port.resumeSignal.reset();
    port.link.reset();
}

// The slot of an opening in progress; given back on every way out but success.
struct SlotClaim {
    V24Port* port = nullptr;
    bool kept = false;
    ~SlotClaim() {
        if (port && !kept) port->claimed = false;
    }
};

}  // namespace

}  // namespace qel::serial

using namespace qel::serial;
using namespace qel::dev;

int V24Open(const char* name, int exclusive) {
    std::string path;
    if (!DevicePathFor(name, path)) return V24_NO_DEVICE;

    SlotClaim claim;
    int handle = 0;
    for (; handle < V24_PORTS; ++handle) {
        bool free = false;
        if (SlotAt(handle)->claimed.compare_exchange_strong(free, true)) {
            claim.port = SlotAt(handle);
            break;
        }
    }
    if (!claim.port) return V24_NO_SLOT;
    V24Port* port = claim.port;

    std::snprintf(port->deviceName, sizeof port->deviceName, "%s", path.c_str());
    port->timeout = 1000;
    port->handshake = V24_HANDSHAKE_NONE;
    port->lastError = 0;
    port->index = handle;
    port->notifyWindow = nullptr;
    port->notifyMessage = 0;
    // A fresh opening starts without the receive errors of the slot's previous one.
    port->lineErrors = 0;
    port->driverStatus = COMSTAT{};
    port->dtrState = 0;
    port->rtsState = 0;
    ClearStaging(*port);

    DWORD error = 0;
    std::shared_ptr<Device> device = OpenDevice(path, exclusive != 0, error);
    if (!device) {
        port->lastError = error;
        return OpenFailure(error);
    }

    port->inQueueSize = 4096;
    port->outQueueSize = 2048;
    port->xoffLevel = 3072;
    port->xonLevel = 1024;
    DCB dcb;
    dcb.DCBlength = sizeof dcb;
    bool configured = device->SetupComm(4096, 2048) && device->GetCommState(dcb);
    if (configured) {
        dcb.fBinary = 1;
        dcb.fParity = 1;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fAbortOnError = 0;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = static_cast<WORD>(port->xonLevel);
        dcb.XoffLim = static_cast<WORD>(port->inQueueSize - port->xoffLevel);
        dcb.EofChar = 0;
        dcb.EvtChar = 0;
        configured = device->SetCommState(dcb);
    }
    if (!configured) {
        port->lastError = device->LastError();
        device->Close();
        return V24_DEVICE_FAILED;
    }
    port->lineSettings = dcb;
    port->device = device;
    port->inUse = 1;

    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    device->SetCommTimeouts(timeouts);

    port->threadSignal = NewSignal(false);
    port->dataSignal = NewSignal(false);
    port->resumeSignal = NewSignal(false);
    std::shared_ptr<ReceiveLink> link;
    try {
        link = std::make_shared<ReceiveLink>();
    } catch (const std::bad_alloc&) {
    }
    if (!port->threadSignal || !port->dataSignal || !port->resumeSignal || !link) {
        Abandon(*port);
        return V24_NO_SIGNAL;
    }
    link->device = device;
    link->threadSignal = port->threadSignal;
    link->dataSignal = port->dataSignal;
    link->resumeSignal = port->resumeSignal;
    link->index = handle;
    port->link = link;

    if (!StartReceiveThread(link)) {
        Abandon(*port);
        return V24_DEVICE_FAILED;
    }
    if (!port->threadSignal->Wait(ThreadReportWait())) {
        if (std::int32_t threadError = link->threadError.load()) {
            port->lastError = static_cast<DWORD>(threadError);
        }
        Abandon(*port);
        return V24_THREAD_START;
    }

    V24Dtr(handle, V24_ON);
    V24Rts(handle, V24_ON);
    ClearStaging(*port);
    claim.kept = true;
    return handle;
}

int V24Close(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    if (!port) return result;

    port->inUse = 0;
    std::shared_ptr<ReceiveLink> link = std::move(port->link);
    link->running = false;
    port->device->Close();
    // A thread paused after a report would wait for a reader for ever; let it see the stop
    // request now.
    link->resumeSignal->Set();
    port->threadSignal->Wait(ThreadReportWait());

    port->device.reset();
    port->threadSignal.reset();
    port->dataSignal.reset();
    port->resumeSignal.reset();
    port->claimed = false;
    return 0;
}
