// The bootloader's identification texts: serial number, hardware, boot and program versions.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "download/download.h"

namespace {

constexpr std::uint32_t QUERY_FIRST = 0x10000;
constexpr std::uint32_t QUERY_LAST = 0x1FFFF;
// The answer areas the box's texts were always meant to fit; a longer text is cut to fit.
constexpr std::size_t ANSWER_AREA = 76;
constexpr std::size_t HARDWARE_AREA_FOR_SSN = 72;
// Boxes up to this hardware version carry no second serial number.
constexpr long LAST_HARDWARE_WITHOUT_SSN = 7;
constexpr std::size_t HARDWARE_VERSION_INDEX = 17;

// Sends one query and takes its text; false when the command or the answer fails.
bool Ask(CDownload& client, const char* command, std::size_t area, std::string& text) {
    // Zeroed and one byte longer than the largest block, so that a text without its NUL ends
    // with the received words instead of running on.
    char buffer[4096 + 1] = {};
    if (client.SendCommand(command, QUERY_FIRST, QUERY_LAST) != LINK_OK) return false;
    if (client.ReceiveString(buffer) != LINK_OK) return false;
    const void* end = std::memchr(buffer, '\0', area - 1);
    text.assign(buffer, end ? static_cast<const char*>(end) - buffer : area - 1);
    return true;
}

}  // namespace

int CDownload::QueryFailed(std::string& answer) {
    m_state = STATE_FAILED;
    m_result = RESULT_NO_ANSWER;
    answer.clear();
    return -1;
}

int CDownload::GetSerialNumber(std::string& answer) {
    m_state = STATE_FINISHED;
    if (Ask(*this, "GSN", ANSWER_AREA, answer)) return 0;
    return QueryFailed(answer);
}

int CDownload::GetBootVersion(std::string& answer) {
    m_state = STATE_FINISHED;
    if (Ask(*this, "GBV", ANSWER_AREA, answer)) return 0;
    return QueryFailed(answer);
}

int CDownload::GetProgramVersion(std::string& answer) {
    m_state = STATE_FINISHED;
    if (ConnectDevice() == LINK_OK && Ask(*this, "GPV", ANSWER_AREA, answer)) return 0;
    return QueryFailed(answer);
}

int CDownload::GetHardwareVersion(std::string& answer) {
    m_state = STATE_FINISHED;
    if (ConnectDevice() == LINK_OK && Ask(*this, "GHV", ANSWER_AREA, answer)) return 0;
    return QueryFailed(answer);
}

int CDownload::GetSsn(std::string& answer) {
    m_state = STATE_FINISHED;
    std::string hardware;
    if (Ask(*this, "GHV", HARDWARE_AREA_FOR_SSN, hardware)) {
        // A text too short to carry the version reads as no digits.
        const long version =
            hardware.size() > HARDWARE_VERSION_INDEX
                ? std::strtol(hardware.c_str() + HARDWARE_VERSION_INDEX, nullptr, 10)
                : 0;
        if (version <= LAST_HARDWARE_WITHOUT_SSN) {
            answer = "Tarsk 820 without SSN";
            return 0;
        }
        if (Ask(*this, "GSS", ANSWER_AREA, answer)) return 0;
    }
    return QueryFailed(answer);
}
