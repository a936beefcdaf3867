// Compares the box's flash with an image file, block by block, from the default load address.
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "download/image_layout.h"
#include "download/stdio_file.h"
#include "serial/device/unshared_file.h"

namespace {

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
        if (!qel::image::SizeFits(size)) fail(RESULT_FILE_BAD_SIZE);
    }

    std::uint32_t address = qel::image::LOAD_ADDRESS;
    if (m_state != STATE_FAILED) {
        m_state = STATE_CONNECTING;
        if (ConnectDevice() != LINK_OK) fail(RESULT_NO_ANSWER);
    }
    if (m_state != STATE_FAILED) {
        if (SetBaudRate(qel::link::TRANSFER_BAUD) != LINK_OK && Resync() != LINK_OK)
            fail(RESULT_NO_ANSWER);
    }

    std::uint8_t bytes[qel::image::BLOCK_BYTES + 1];
    std::uint16_t image[qel::image::BLOCK_BYTES / 2];
    std::uint16_t flash[qel::image::BLOCK_BYTES / 2];
    while (m_state != STATE_FAILED) {
        std::size_t n = std::fread(bytes, 1, qel::image::BLOCK_BYTES, file.get());
        if (n == 0) break;
        m_state = STATE_COMPARING;
        n = qel::image::CompleteWord(bytes, n);
        const int words = static_cast<int>(n / 2);
        qel::image::ToWords(bytes, n / 2, image);

        bool read = ReadMemory(flash, address, words) == LINK_OK;
        while (!read && Resync() == LINK_OK) read = ReadMemory(flash, address, words) == LINK_OK;
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
        const long before = static_cast<long>(address - qel::image::LOAD_ADDRESS);
        const long done =
            before + static_cast<long>(n) < size ? before + static_cast<long>(n) : size;
        ReportProgress(ProgressKind::Verify, address, before, done, size,
                       static_cast<int>(before / qel::image::BLOCK_BYTES));
        address += static_cast<std::uint32_t>(n);
    }

    file.reset();
    ForceReset();
    if (m_state == STATE_FAILED) return -1;
    m_state = STATE_FINISHED;
    return 0;
}
