// The bootloader's commands: every one travels in a REMOTE frame whose parameters and name
// are whitened with the running checksum, and is confirmed by an echo of that checksum.
#include "download/download.h"
#include "download/link_protocol.h"
#include "serial/device/sync.h"
#include "serial/v24.h"

int CDownload::SendCommand(const char* name, std::uint32_t p1, std::uint32_t p2) {
    unsigned char prompt = 0;
    if (V24ReadByteTimed(m_port, &prompt, qel::link::PROMPT_WAIT_MS) != 1 ||
        prompt != qel::link::READY) {
        return LINK_NO_PROMPT;
    }
    // Further prompts and anything stale must not be taken for the echo below.
    V24Purge(m_port, V24_INPUT);
    V24Purge(m_port, V24_OUTPUT);

    V24WriteString(m_port, "REMOTE");
    V24WriteByte(m_port, 0);

    const std::uint8_t plain[12] = {
        static_cast<std::uint8_t>(p1 >> 24), static_cast<std::uint8_t>(p1 >> 16),
        static_cast<std::uint8_t>(p1 >> 8),  static_cast<std::uint8_t>(p1),
        static_cast<std::uint8_t>(p2 >> 24), static_cast<std::uint8_t>(p2 >> 16),
        static_cast<std::uint8_t>(p2 >> 8),  static_cast<std::uint8_t>(p2),
        static_cast<std::uint8_t>(name[0]),  static_cast<std::uint8_t>(name[1]),
        static_cast<std::uint8_t>(name[2]),  0};
    std::uint8_t lo = 0;
    std::uint8_t hi = 0;
    for (std::uint8_t b : plain) {
        V24WriteByte(m_port, b ^ lo);
        UpdateCrcByte(b, lo, hi);
    }
    V24WriteByte(m_port, lo);
    V24WriteByte(m_port, hi);

    V24WriteByte(m_port, qel::link::ECHO_LO);
    int echoLo = V24ReadByte(m_port);
    V24WriteByte(m_port, qel::link::ECHO_HI);
    int echoHi = V24ReadByte(m_port);
    if (echoLo == lo && echoHi == hi) {
        V24WriteByte(m_port, qel::link::ACK);
        return LINK_OK;
    }
    V24WriteByte(m_port, qel::link::NAK);
    return LINK_FAILED;
}

int CDownload::EraseFlash(std::uint32_t first, std::uint32_t last) {
    // One waiting period for every 64 KiB begun.
    std::uint32_t periods = ((last - first) >> 16) + 1;
    Observer().OnErase(first, last);
    if (SendCommand("DEL", first, last) != LINK_OK) return LINK_FAILED;
    unsigned char answer = 0;
    bool came = false;
    for (std::uint32_t i = 0; i < periods && !came; ++i) {
        came = V24ReadByteTimed(m_port, &answer, qel::link::ERASE_PERIOD_MS) == 1;
    }
    if (!came) return LINK_TIMED_OUT;
    if (answer != qel::link::ACK) return LINK_FAILED;
    V24WriteByte(m_port, qel::link::CLOSE);
    return LINK_OK;
}

int CDownload::ProgramBlock(const std::uint16_t* words, std::uint32_t address, int count) {
    if (count > qel::link::MAX_BLOCK_WORDS) count = qel::link::MAX_BLOCK_WORDS;
    // The sums tell which step failed; the download replaces them when it gives up.
    if (SendCommand("PRO", address, address) != LINK_OK) {
        NoteFault("program command not taken");
        m_result += 100;
        return LINK_FAILED;
    }
    if (SendBlock(words, count, true) != LINK_OK) {
        NoteFault("block refused");
        m_result += 200;
        return LINK_FAILED;
    }
    unsigned char answer = 0;
    if (V24ReadByteTimed(m_port, &answer, qel::link::PROGRAM_WAIT_MS) != 1) {
        NoteFault("no answer after the block");
        m_result += 300;
        return LINK_TIMED_OUT;
    }
    if (answer != qel::link::ACK) {
        NoteFault("block not programmed");
        m_result += 400;
        return LINK_FAILED;
    }
    V24WriteByte(m_port, qel::link::CLOSE);
    return LINK_OK;
}

int CDownload::ReadMemory(std::uint16_t* buffer, std::uint32_t address, int count) {
    std::uint32_t last = address + 2u * static_cast<std::uint32_t>(count) - 1u;
    NoteFault("block read failed");
    if (SendCommand("RDM", address, last) != LINK_OK) return LINK_FAILED;
    // A block shorter (or longer) than asked leaves words in the buffer that never came from
    // the flash: that is a failed read, not a smaller one.
    return ReceiveBlock(buffer, true) == count ? LINK_OK : LINK_FAILED;
}

int CDownload::WriteMemory(const std::uint16_t* words, std::uint32_t address, int count) {
    if (SendCommand("WRM", address, address != 0 ? 1 : 0) != LINK_OK) return LINK_FAILED;
    if (SendBlock(words, count, true) != LINK_OK) return LINK_FAILED;
    if (V24ReadByte(m_port) != qel::link::ACK) return LINK_FAILED;
    V24WriteByte(m_port, qel::link::CLOSE);
    return LINK_OK;
}

int CDownload::Reset() {
    return SendCommand("RST", 0, 0) == LINK_OK ? LINK_OK : LINK_FAILED;
}

void CDownload::ForceReset() {
    if (SendCommand("RST", 0, 0) == LINK_OK) return;
    // A box that does not take the command restarts on a break.
    qel::link::BreakReset(m_port);
    qel::dev::Sleep(1000);
}
