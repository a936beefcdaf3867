// Loading a firmware image into the box: check the file, find out what it is and which
// bootloader name belongs to it, erase what it needs, and program it block by block at the
// highest rate the line carries.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "download/download.h"
#include "download/image_ids.h"
#include "download/image_layout.h"
#include "download/link_protocol.h"
#include "serial/device/unshared_file.h"

namespace {

constexpr std::int64_t LOWEST_START = 0x4000;
constexpr std::int64_t FLASH_END = 0xFFFFF;

// Closes the image on every way out of the download.
struct ImageFile {
    std::FILE* stream = nullptr;
    ~ImageFile() {
        if (stream) std::fclose(stream);
    }
};

long SizeOf(std::FILE* file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return -1;
    long size = std::ftell(file);
    std::rewind(file);
    return size;
}

}  // namespace

int CDownload::Download(const std::string& path, int startAddress, const std::string& target) {
    m_state = STATE_STARTED;
    m_result = RESULT_OK;
    auto fail = [this](int code) {
        m_state = STATE_FAILED;
        m_result = code;
    };
    auto failed = [this] { return m_state == STATE_FAILED; };

    std::uint32_t address = qel::image::LOAD_ADDRESS;
    long size = 0;
    ImageFile image;
    image.stream = qel::dev::OpenFileUnshared(path);
    if (!image.stream) fail(RESULT_FILE_UNKNOWN);

    if (!failed()) {
        size = SizeOf(image.stream);
        if (!qel::image::SizeFits(size)) fail(RESULT_FILE_BAD_SIZE);
    }

    // Room for the filler byte that completes the last word of an odd-sized image.
    std::uint8_t block[qel::image::BLOCK_BYTES + 1];
    if (!failed() && startAddress == -1) {
        std::size_t got = std::fread(block, 1, qel::image::BLOCK_BYTES, image.stream);
        if (std::ferror(image.stream)) {
            // Unreadable now means unreadable in the block loop: stop before touching the box.
            fail(RESULT_FILE_BAD_SIZE);
        } else if (got >= image_ids::MIN_READ) {
            std::vector<std::string> ids = image_ids::Collect(block, got);
            // A missing firmware name prints as empty and picks the table's default box; a
            // missing version prints like a version text without ":: ", as a bare line end.
            std::string name = ids.empty() ? std::string() : ids[0];
            std::string version;
            const bool hasVersion = ids.size() > 1 && image_ids::VersionOf(ids[1], version);
            Observer().OnImage(name, version, hasVersion);
            const char* device = target.empty() ? image_ids::DeviceNameFor(name) : target.c_str();
            std::strncpy(m_deviceName, device, sizeof m_deviceName - 1);
            m_deviceName[sizeof m_deviceName - 1] = '\0';
        }
    } else if (!failed()) {
        if (startAddress < LOWEST_START || startAddress % 2 != 0 ||
            static_cast<std::int64_t>(startAddress) + size > FLASH_END) {
            fail(RESULT_BAD_ADDRESS);
        } else {
            address = static_cast<std::uint32_t>(startAddress);
        }
    }

    const std::uint32_t begin = address;
    std::uint32_t end = 0;
    if (!failed()) {
        std::rewind(image.stream);
        end = (address + static_cast<std::uint32_t>(size) - 1) & ~1u;
    }

    if (!failed()) {
        m_state = STATE_CONNECTING;
        if (ConnectDevice() != LINK_OK) fail(RESULT_NO_ANSWER);
    }
    if (!failed() && EraseFlash(address, end) != LINK_OK) {
        if (ConnectDevice() != LINK_OK) {
            fail(RESULT_NO_ANSWER);
        } else if (EraseFlash(address, end) != LINK_OK) {
            fail(RESULT_ERASE_FAILED);
        }
    }
    if (!failed() && SetBaudRate(qel::link::TRANSFER_BAUD) != LINK_OK && Resync() != LINK_OK)
        fail(RESULT_NO_ANSWER);

    long taken = 0;
    std::uint16_t words[qel::link::MAX_BLOCK_WORDS];
    while (!failed()) {
        // Never more than the size the erase was sized for; a file that ends early or
        // cannot be read leaves the box half-programmed, which must not pass for success.
        std::size_t want = static_cast<std::size_t>(
            size - taken < qel::image::BLOCK_BYTES ? size - taken
                                                   : static_cast<long>(qel::image::BLOCK_BYTES));
        std::size_t n = want > 0 ? std::fread(block, 1, want, image.stream) : 0;
        if (n < want) {
            fail(RESULT_FILE_BAD_SIZE);
            break;
        }
        if (n == 0) break;
        taken += static_cast<long>(n);
        m_state = STATE_TRANSFERRING;
        n = qel::image::CompleteWord(block, n);
        int count = static_cast<int>(n / 2);
        qel::image::ToWords(block, n / 2, words);
        while (ProgramBlock(words, address, count) != LINK_OK) {
            if (Resync() != LINK_OK) {
                fail(RESULT_NO_ANSWER);
                break;
            }
        }
        // Also for the block the transfer gave up on, which then counts as not done.
        const long before = static_cast<long>(address - begin);
        const long after =
            before + static_cast<long>(n) < size ? before + static_cast<long>(n) : size;
        ReportProgress(ProgressKind::Program, address, before, failed() ? before : after, size,
                       static_cast<int>(before / qel::image::BLOCK_BYTES));
        address += static_cast<std::uint32_t>(n);
    }

    if (!failed() && Reset() != LINK_OK) fail(RESULT_NO_ANSWER);

    if (failed()) return -1;
    m_state = STATE_FINISHED;
    return 0;
}
