// Waking and identifying the bootloader, and moving the link between baud rates: up for
// the transfer, and down again, one rate at a time, when the line proves too fast.
#include <cstring>

#include "download/download.h"
#include "download/link_protocol.h"
#include "serial/device/sync.h"
#include "serial/v24.h"

namespace {

void SendName(int port, const char* name) {
    V24WriteString(port, name);
    V24WriteByte(port, 0);
}

}  // namespace

void qel::link::BreakReset(int port) {
    V24SetBreak(port);
    qel::dev::Sleep(1000);
    V24Purge(port, V24_INPUT);
    V24Purge(port, V24_OUTPUT);
    qel::dev::Sleep(100);
    V24ClearBreak(port);
}

int CDownload::Connect(const char* name) {
    if (!name) name = "NUX_1000";
    m_baudRate = qel::link::LINK_BAUD;
    V24SetHandshake(m_port, V24_HANDSHAKE_NONE);
    V24SetLine(m_port, qel::link::LINK_BAUD, 8, 'N', 1);
    // A prompt the box sent at the rate before (after a refused block, say) must not pass
    // for its answer to the name: the next frame would go to a box still waiting for a
    // name, and on a line that carries no break nothing would bring the two together again.
    // Anything the box sends from now on at another rate arrives garbled.
    V24Purge(m_port, V24_INPUT);

    SendName(m_port, name);
    if (V24ReadByte(m_port) == qel::link::READY) {
        Observer().OnConnected(name, m_baudRate);
        return LINK_OK;
    }

    // Not listening: a break restarts the box into its bootloader.
    qel::dev::Sleep(100);
    V24Dtr(m_port, V24_ON);
    qel::link::BreakReset(m_port);

    // DTR is to drop with the next change of the line (the rate switch), not now: the box
    // is starting up. The next Connect raises it again through the handshake mode.
    if (qel::dev::DCB* settings = V24LineSettings(m_port)) {
        settings->fDtrControl = qel::dev::DTR_CONTROL_DISABLE;
    }

    bool ready = false;
    for (int i = 0; i < 10 && !ready; ++i) ready = V24ReadByte(m_port) == qel::link::READY;
    if (!ready) return LINK_FAILED;

    SendName(m_port, name);
    if (V24ReadByte(m_port) != qel::link::READY) return LINK_FAILED;
    Observer().OnConnected(name, m_baudRate);
    return LINK_OK;
}

int CDownload::SetPortBaud(int baud) {
    m_baudRate = baud;
    qel::dev::Sleep(10);
    if (V24SetLine(m_port, baud, 8, 'N', 1) != 0) return LINK_FAILED;
    V24Purge(m_port, V24_INPUT);
    V24Purge(m_port, V24_OUTPUT);
    qel::dev::Sleep(10);
    Observer().OnRateChange(baud);
    return LINK_OK;
}

int CDownload::SetBaudRate(int baud) {
    // Kept even when the switch fails: Resync steps down from the rate that was tried.
    m_baudRate = baud;
    NoteFault("rate switch failed");
    if (SendCommand("SBD", static_cast<std::uint32_t>(baud), 0) != LINK_OK) return LINK_FAILED;
    qel::dev::Sleep(10);
    if (V24SetLine(m_port, baud, 8, 'N', 1) != 0) return LINK_FAILED;
    qel::dev::Sleep(10);
    // The first prompt at the new rate may have been sent before the port followed; only
    // the second command tells whether the link works.
    SendCommand("NOP", 0, 0);
    if (SendCommand("NOP", 0, 0) != LINK_OK) return LINK_FAILED;
    Observer().OnRateChange(baud);
    return LINK_OK;
}

int CDownload::Resync() {
    const int previous = m_baudRate;
    Observer().OnRetry(m_fault, previous);
    if (ConnectDevice() != LINK_OK) return LINK_FAILED;
    static const int rates[] = {115200, 57600, 38400, 19200, 9600};
    for (int rate : rates) {
        if (previous <= rate) continue;
        if (SetBaudRate(rate) == LINK_OK) return LINK_OK;
        if (ConnectDevice() != LINK_OK) return LINK_FAILED;
    }
    if (previous > 4800 && SetBaudRate(4800) == LINK_OK) return LINK_OK;
    ConnectDevice();
    return LINK_FAILED;
}

int CDownload::ConnectDevice() {
    return Connect(m_deviceName[0] ? m_deviceName : nullptr);
}

void CDownload::SetDeviceName(const std::string& name) {
    std::strncpy(m_deviceName, name.c_str(), sizeof m_deviceName - 1);
    m_deviceName[sizeof m_deviceName - 1] = '\0';
}
