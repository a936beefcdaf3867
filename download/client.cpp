#include <string>

#include "download/download.h"
#include "serial/v24.h"

namespace {

constexpr int kClientTimeoutMs = 1000;

// In code order. Scripts compare these texts, so the padding and the spelling stay as they
// have always been.
const char* const kMessages[] = {
    "without failure         ",  // 0
    "",                          // 1
    "COM-Port not open       ",  // 2
    "no answwer              ",  // 3
    "file unknown            ",  // 4
    "file bad size           ",  // 5
    "error flash deleting    ",  // 6
    "error flash programming ",  // 7
    "verify failure          ",  // 8
    "read Flash failure      ",  // 9
    "targetadress bad        ",  // 10
    "",                          // 11
    "",                          // 12
    "",                          // 13
    "",                          // 14
    "",                          // 15
    "",                          // 16
    "",                          // 17
    "file identifier missed  ",  // 18
    "no Answer               ",  // 19
    "no Update necessary     ",  // 20
    "no space for FPGA-Data",    // 21
    "FPGA-Data CRC error",       // 22
    "VME_VERIFICATION_FAILURE",  // 23
    "VME_FILE_READ_FAILURE",     // 24
    "VME_VERSION_FAILURE",       // 25
    "VME_INVALID_FILE",          // 26
    "VME_ARGUMENT_FAILURE",      // 27
    "VME_CRC_FAILURE",           // 28
};
constexpr int kMessageCount = static_cast<int>(sizeof kMessages / sizeof kMessages[0]);
static_assert(kMessageCount == 29, "one message per result code 0..28");

}  // namespace

const CRuntimeClass CDownload::classCDownload = {"CDownload", sizeof(CDownload), 0xFFFF,
                                                 &CDownload::CreateObject, &CObject::classCObject};

CObject* CDownload::CreateObject() {
    return new CDownload;
}

const CRuntimeClass* CDownload::GetRuntimeClass() const {
    return &classCDownload;
}

CDownload::CDownload() : m_state(STATE_FAILED), m_result(RESULT_PORT_NOT_OPEN), m_port(0) {}

CDownload::CDownload(int port) : m_port(port) {
    m_sequence = 0;
    m_savedTimeout = V24GetTimeout(m_port);
    if (m_savedTimeout < 0) {
        // The operations reset the code when they start, so a later failure of the first
        // port access is what the user finally sees.
        m_state = STATE_FAILED;
        m_result = RESULT_PORT_NOT_OPEN;
        return;
    }
    V24GetLine(m_port, &m_savedBaud, &m_savedDataBits, &m_savedParity, &m_savedStopBits);
    m_savedHandshake = V24GetHandshake(m_port);
    V24SetTimeout(m_port, kClientTimeoutMs);
    m_state = STATE_STARTED;
    m_result = RESULT_OK;
}

CDownload::~CDownload() {
    // Results are ignored throughout: in the tool's own run the port is already closed here.
    V24Purge(m_port, V24_OUTPUT);
    if (m_restart != 0) ForceReset();
    V24Purge(m_port, V24_INPUT);
    if (m_savedTimeout < 0) return;
    V24SetTimeout(m_port, m_savedTimeout);
    V24SetLine(m_port, m_savedBaud, m_savedDataBits, m_savedParity, m_savedStopBits);
    V24SetHandshake(m_port, m_savedHandshake);
    V24Dtr(m_port, V24_OFF);
}

std::string CDownload::GetErrorText(int code) {
    // Codes outside the table (a box status above 28, an intermediate block code) have no
    // message of their own; they read like the unused codes, as an empty text.
    if (code < 0 || code >= kMessageCount) return std::string();
    return kMessages[code];
}
