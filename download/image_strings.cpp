// Lists the identification texts of an image file that carries the "CHKSUM" marker.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "download/download.h"
#include "download/image_layout.h"
#include "download/stdio_file.h"
#include "serial/device/unshared_file.h"

namespace {

constexpr long MARKER_OFFSET = 1024;
constexpr long STRINGS_OFFSET = 1280;
constexpr int AREA_SIZE = 256;

}  // namespace

int CDownload::ReadImageStrings(const std::string& path, std::vector<std::string>& list) {
    m_state = STATE_STARTED;
    m_result = RESULT_OK;

    stdio_file::File file(qel::dev::OpenFileShared(path));
    if (!file) {
        m_state = STATE_FAILED;
        m_result = RESULT_FILE_UNKNOWN;
        return -1;
    }
    const long size = stdio_file::Size(file.get());
    if (!qel::image::SizeFits(size)) {
        m_state = STATE_FAILED;
        m_result = RESULT_FILE_BAD_SIZE;
        return -1;
    }

    // A file that ends before the marker has none.
    char marker[6] = {};
    const bool marked = std::fseek(file.get(), MARKER_OFFSET, SEEK_SET) == 0 &&
                        std::fread(marker, 1, sizeof marker, file.get()) == sizeof marker &&
                        std::memcmp(marker, "CHKSUM", sizeof marker) == 0;
    if (marked) {
        // Beyond the end of a short file the area reads as erased flash, which ends the texts
        // where the file ends.
        std::uint8_t area[AREA_SIZE];
        std::memset(area, 0xFF, sizeof area);
        if (std::fseek(file.get(), STRINGS_OFFSET, SEEK_SET) == 0) {
            (void)std::fread(area, 1, sizeof area, file.get());
        }
        area[AREA_SIZE - 1] = 0;
        for (int i = AREA_SIZE - 2; i >= 0 && area[i] == 0xFF; --i) area[i] = 0;

        for (int i = 0; i < AREA_SIZE;) {
            if (area[i] == 0) {
                ++i;
                continue;
            }
            const char* text = reinterpret_cast<const char*>(area + i);
            const std::size_t length = std::strlen(text);
            list.emplace_back(text, length);
            i += static_cast<int>(length) + 1;
        }
    }

    m_state = STATE_FINISHED;
    return 0;
}
