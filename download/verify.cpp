// Compares the box's flash with an image file, block by block, from the default load address.
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "download/stdio_file.h"
#include "serial/device/unshared_file.h"

namespace {

constexpr std::uint32_t LOAD_ADDRESS = 0x8000;
constexpr long MAX_IMAGE_SIZE = 0xF8000;
constexpr int BLOCK_BYTES = 4096;
constexpr int FAST_RATE = 230400;
// The firmware writes its own word here after programming, so it never matches the image.
constexpr std::uint32_t EXEMPT_ADDRESS = 0x8450;

}  // namespace

int CDownload::Verify(const std::string& path) {
    m_state = STATE_STARTED;
    m_result = RESULT_OK;
    auto fail = [this](int code) {
        m_state = STATE_FAILED;
        m_result = code;
    };

    stdio_file::File file(qel::dev::OpenFileUnshared(path));
    long size = 0;
    if (!file) {
        fail(RESULT_FILE_UNKNOWN);
    } else {
        size = stdio_file::Size(file.get());
        if (size < 2 || size > MAX_IMAGE_SIZE) fail(RESULT_FILE_BAD_SIZE);
    }

    std::uint32_t address = LOAD_ADDRESS;
    if (m_state != STATE_FAILED) {
        m_state = STATE_CONNECTING;
        if (ConnectDevice() != 0) fail(RESULT_NO_ANSWER);
    }
    if (m_state != STATE_FAILED) {
        if (SetBaudRate(FAST_RATE) != 0 && Resync() != 0) fail(RESULT_NO_ANSWER);
    }

    std::uint8_t bytes[BLOCK_BYTES + 1];
    std::uint16_t image[BLOCK_BYTES / 2];
    std::uint16_t flash[BLOCK_BYTES / 2];
    while (m_state != STATE_FAILED) {
        std::size_t n = std::fread(bytes, 1, BLOCK_BYTES, file.get());
        if (n == 0) break;
        m_state = STATE_COMPARING;
        if (n % 2 != 0) bytes[n++] = 0xFF;
        const int words = static_cast<int>(n / 2);
        for (int i = 0; i < words; ++i)
            image[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);

        bool read = ReadMemory(flash, address, words) == 0;
        while (!read && Resync() == 0) read = ReadMemory(flash, address, words) == 0;
        if (!read) {
            // Nothing came from the flash for this block: there is nothing to compare.
            fail(RESULT_NO_ANSWER);
            break;
        }
        if (address <= EXEMPT_ADDRESS && address + n > EXEMPT_ADDRESS) {
            const std::uint32_t index = (EXEMPT_ADDRESS - address) / 2;
            flash[index] = image[index];
        }
        if (std::memcmp(image, flash, n) != 0) {
            fail(RESULT_VERIFY_FAILED);
            break;
        }
        const long before = static_cast<long>(address - LOAD_ADDRESS);
        const long done =
            before + static_cast<long>(n) < size ? before + static_cast<long>(n) : size;
        ReportProgress(ProgressKind::Verify, address, before, done, size,
                       static_cast<int>(before / BLOCK_BYTES));
        address += static_cast<std::uint32_t>(n);
    }

    file.reset();
    ForceReset();
    if (m_state == STATE_FAILED) return -1;
    m_state = STATE_FINISHED;
    return 0;
}
