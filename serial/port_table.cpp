#include "serial/port_table.h"

#include <algorithm>

#include "serial/device/sync.h"

namespace qel::serial {

namespace {
// The one process-wide table; slots are never allocated or freed, only claimed and cleared.
V24Port g_ports[V24_PORTS];
}  // namespace

V24Port* SlotAt(int handle) {
    if (handle < 0 || handle >= V24_PORTS) return nullptr;
    return &g_ports[handle];
}

V24Port* FindPort(int handle, int& result) {
    V24Port* port = SlotAt(handle);
    if (!port) {
        result = V24_BAD_HANDLE;
        return nullptr;
    }
    if (port->inUse.load() == 0) {
        result = V24_NOT_OPEN;
        return nullptr;
    }
    result = 0;
    return port;
}

DWORD ThreadReportWait() {
    return std::max<DWORD>(kThreadReportMs, kThreadReportFloorMs * dev::TimeScale());
}

}  // namespace qel::serial

using namespace qel::serial;

int V24PortCount() {
    return V24_PORTS;
}

qel::dev::DCB* V24LineSettings(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    return port ? &port->lineSettings : nullptr;
}

std::uint32_t V24LastError(int handle) {
    int result = 0;
    V24Port* port = FindPort(handle, result);
    return port ? port->lastError : 0;
}
