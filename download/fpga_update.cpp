// The FPGA update talks to the box's running firmware, not to its bootloader: framed requests,
// each answered by a reply and followed by a handshake, the data at 57600 baud.
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "download/fpga_frame.h"
#include "download/stdio_file.h"
#include "serial/device/sync.h"
#include "serial/device/unshared_file.h"
#include "serial/v24.h"

namespace {

constexpr int START_WAITS = 50;
constexpr int RATE_FAST = 57600;
constexpr int RATE_SLOW = 19200;

// Waiting periods for the reply's start byte; the end request covers the box's programming.
constexpr int WAIT_VERSION_MS = 10;
constexpr int WAIT_HANDSHAKE_MS = 50;
constexpr int WAIT_START_MS = 100;
constexpr int WAIT_DATA_MS = 300;
constexpr int WAIT_END_MS = 4500;
constexpr int PAUSE_BEFORE_DATA_MS = 100;

}  // namespace

int CDownload::FpgaRequest(std::uint8_t* frame, int rateSwitch, int waitMs, bool progress) {
    std::memset(m_fpgaBuffer, '0', sizeof m_fpgaBuffer);
    frame[5] = m_sequence++;

    const std::size_t length = fpga::FrameLength(frame);
    for (std::size_t i = 0; i < length; ++i) V24WriteByte(m_port, frame[i]);

    const std::uint8_t expected =
        frame[6] == fpga::TYPE_HANDSHAKE ? fpga::TYPE_HANDSHAKE : fpga::TYPE_REQUEST_REPLY;

    // The box answers at the new rate, so the switch must follow the frame at once.
    if (rateSwitch == 1) SetPortBaud(RATE_FAST);
    if (rateSwitch == 2) SetPortBaud(RATE_SLOW);

    bool started = false;
    for (int wait = 0; wait < START_WAITS; ++wait) {
        V24ReadByteTimed(m_port, &m_fpgaBuffer[0], waitMs);
        if (progress)
            ReportProgress(ProgressKind::FpgaProgramming, 0, wait, wait + 1, START_WAITS, wait);
        if (m_fpgaBuffer[0] == fpga::FRAME_START) {
            started = true;
            break;
        }
    }
    if (!started) {
        ReportReplyFault(Observer(), 101, m_fpgaBuffer[0], 0, nullptr);
        m_result = RESULT_FPGA_NO_ANSWER;
        return m_result;
    }

    // A length byte that times out counts as the low byte of the time-out result, as the
    // box's users have always seen it in the error line; it is never used to read.
    const int high = V24ReadByte(m_port);
    const int low = V24ReadByte(m_port);
    m_fpgaBuffer[1] = static_cast<std::uint8_t>(high);
    m_fpgaBuffer[2] = static_cast<std::uint8_t>(low);
    const int bodyLength = m_fpgaBuffer[1] * 256 + m_fpgaBuffer[2];
    const bool fits = high >= 0 && low >= 0 && bodyLength <= fpga::MAX_REPLY_BODY;
    if (!fits || V24ReadBuffer(m_port, m_fpgaBuffer + 3, bodyLength) < bodyLength) {
        ReportReplyFault(Observer(), 102, bodyLength, 0, nullptr);
        m_result = RESULT_FPGA_NO_ANSWER;
        return m_result;
    }

    // Follow the box's count, whatever the reply says otherwise.
    m_sequence = static_cast<std::uint8_t>(m_fpgaBuffer[5] + 1);

    const std::uint8_t* reply = m_fpgaBuffer;
    if (reply[6] != expected) {
        ReportReplyFault(Observer(), 103, 0, expected, reply + 6);
        m_result = RESULT_FPGA_NO_ANSWER;
        return m_result;
    }
    if (reply[8] == 0 || reply[6] == fpga::TYPE_HANDSHAKE) return 0;

    ReportReplyFault(Observer(), 104, 0, expected, reply + 6);
    m_result = reply[8];
    return m_result;
}

int CDownload::FpgaHandshake() {
    std::uint8_t frame[fpga::MAX_FRAME];
    fpga::BuildHandshake(frame, m_sequence);
    return FpgaRequest(frame, 0, WAIT_HANDSHAKE_MS, false);
}

int CDownload::UpdateFpga(const std::string& path, const std::string& target) {
    (void)target;  // accepted for the command line's sake; the firmware needs no name
    m_baudRate = RATE_SLOW;
    V24SetHandshake(m_port, V24_HANDSHAKE_NONE);
    V24SetLine(m_port, RATE_SLOW, 8, 'N', 1);

    stdio_file::File file(qel::dev::OpenFileShared(path));
    if (!file) {
        m_result = RESULT_FILE_UNKNOWN;
        return m_result;
    }
    const long size = stdio_file::Size(file.get());
    if (size < fpga::MIN_FILE_SIZE || size > fpga::MAX_FILE_SIZE) {
        m_result = RESULT_FILE_BAD_SIZE;
        return m_result;
    }
    std::uint8_t header[fpga::HEADER_SIZE] = {};
    if (std::fread(header, 1, sizeof header, file.get()) != sizeof header ||
        std::memcmp(header, "coVersion", 9) != 0) {
        m_result = RESULT_NO_FILE_ID;
        return m_result;
    }
    const int fileVersion = fpga::FileVersion(header);

    std::uint8_t frame[fpga::MAX_FRAME];
    V24Purge(m_port, V24_INPUT);
    fpga::BuildRequest(frame, fpga::OP_VERSION, nullptr, 0);
    if (int rc = FpgaRequest(frame, 0, WAIT_VERSION_MS, false)) return rc;
    const int boxVersion = fpga::BoxVersion(m_fpgaBuffer[9], m_fpgaBuffer[10]);
    if (int rc = FpgaHandshake()) return rc;
    if (boxVersion == fileVersion) {
        m_result = RESULT_NO_UPDATE_NEEDED;
        return m_result;
    }

    V24Purge(m_port, V24_INPUT);
    fpga::BuildRequest(frame, fpga::OP_START, nullptr, 0);
    if (int rc = FpgaRequest(frame, 1, WAIT_START_MS, false)) return rc;
    if (int rc = FpgaHandshake()) return rc;

    long sent = 0;
    long frames = 0;
    std::uint8_t data[fpga::MAX_DATA];
    for (;;) {
        const std::size_t n = std::fread(data, 1, sizeof data, file.get());
        if (n == 0) break;
        V24Purge(m_port, V24_INPUT);
        V24Purge(m_port, V24_OUTPUT);
        qel::dev::Sleep(PAUSE_BEFORE_DATA_MS);
        fpga::BuildRequest(frame, fpga::OP_DATA, data, static_cast<int>(n));
        if (int rc = FpgaRequest(frame, 0, WAIT_DATA_MS, false)) return rc;
        if (int rc = FpgaHandshake()) return rc;
        ReportProgress(ProgressKind::FpgaData, 0, sent, sent + static_cast<long>(n), size,
                       static_cast<int>(frames));
        sent += static_cast<long>(n);
        ++frames;
    }
    // A file that cannot be read to its end must not be declared complete to the box.
    if (std::ferror(file.get())) {
        m_result = RESULT_FILE_UNKNOWN;
        return m_result;
    }

    fpga::BuildRequest(frame, fpga::OP_END, nullptr, 0);
    if (int rc = FpgaRequest(frame, 2, WAIT_END_MS, true)) return rc;
    if (int rc = FpgaHandshake()) return rc;

    Observer().OnFpgaProgrammed(sent);
    return 0;
}
