// Copies a flash address range into a file, each word high byte first as in an image file.
#include <cstdint>
#include <cstdio>

#include "download/download.h"
#include "download/image_layout.h"
#include "download/link_protocol.h"
#include "download/stdio_file.h"

namespace {}  // namespace

int CDownload::ReadBack(const std::string& path, int first, int last) {
    m_state = STATE_STARTED;
    m_result = RESULT_OK;
    auto fail = [this](int code) {
        m_state = STATE_FAILED;
        m_result = code;
    };

    stdio_file::File file(std::fopen(path.c_str(), "wb"));
    if (!file) fail(RESULT_FILE_UNKNOWN);

    if (m_state != STATE_FAILED) {
        m_state = STATE_CONNECTING_READBACK;
        if (ConnectDevice() != LINK_OK) fail(RESULT_NO_ANSWER);
    }
    if (m_state != STATE_FAILED) {
        // Without the fast rate the read goes on at the rate Connect leaves.
        if (SetBaudRate(qel::link::TRANSFER_BAUD) != LINK_OK && ConnectDevice() != LINK_OK)
            fail(RESULT_NO_ANSWER);
    }

    // 64 bits: a range that ends at the top of the int range must not wrap.
    std::int64_t address = first;
    const std::int64_t range = static_cast<std::int64_t>(last) + 1 - first;
    // A whole number of words: an odd range is completed by the box's next byte.
    const long total = range <= 0 ? 0 : static_cast<long>(range + range % 2);
    std::uint16_t words[qel::image::BLOCK_BYTES / 2];
    std::uint8_t bytes[qel::image::BLOCK_BYTES];
    while (m_state != STATE_FAILED) {
        std::int64_t n = static_cast<std::int64_t>(last) + 1 - address;
        if (n <= 0) break;
        m_state = STATE_TRANSFERRING;
        if (n > qel::image::BLOCK_BYTES) n = qel::image::BLOCK_BYTES;
        if (n % 2 != 0) ++n;
        const int count = static_cast<int>(n / 2);
        const auto at = static_cast<std::uint32_t>(address);

        bool read = ReadMemory(words, at, count) == LINK_OK;
        while (!read && Resync() == LINK_OK) read = ReadMemory(words, at, count) == LINK_OK;
        if (!read) {
            // The block holds no flash data: the file keeps only what really came.
            fail(RESULT_NO_ANSWER);
            break;
        }
        qel::image::ToBytes(words, static_cast<std::size_t>(count), bytes);
        if (std::fwrite(bytes, 1, static_cast<std::size_t>(n), file.get()) !=
            static_cast<std::size_t>(n)) {
            fail(RESULT_FILE_UNKNOWN);
            break;
        }
        const long before = static_cast<long>(address - first);
        ReportProgress(ProgressKind::Read, at, before, before + static_cast<long>(n), total,
                       static_cast<int>(before / qel::image::BLOCK_BYTES));
        address += n;
    }

    // A file that did not take every byte is a failed read-back, not a copy of the flash.
    if (file && !stdio_file::Close(file) && m_state != STATE_FAILED) fail(RESULT_FILE_UNKNOWN);
    ForceReset();
    if (m_state == STATE_FAILED) return -1;
    m_state = STATE_FINISHED;
    return 0;
}
