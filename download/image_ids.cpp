#include "download/image_ids.h"

namespace image_ids {

std::vector<std::string> Collect(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> texts;
    for (std::size_t p = FIRST; p <= LAST && p < size;) {
        std::size_t length = 0;
        while (p + length < size && data[p + length] != 0) ++length;
        if (length < 3) {
            ++p;
            continue;
        }
        if (texts.size() < MAX_TEXTS) {
            const char* text = reinterpret_cast<const char*>(data + p);
            texts.emplace_back(text, length < MAX_LENGTH ? length : MAX_LENGTH);
        }
        p += length;
    }
    return texts;
}

bool VersionOf(const std::string& text, std::string& version) {
    std::size_t marker = text.find(":: ");
    if (marker == std::string::npos) return false;
    version = text.substr(marker + 3, 5);
    return true;
}

const char* DeviceNameFor(const std::string& firmwareName) {
    static const struct {
        const char* pattern;
        const char* device;
    } table[] = {
        {"TARSK880", "PLV 200"},
        {"NUX_1000", "NUX_1000"},
        {"ZAR_1000", "ZAR_1000"},
        {"QEL_1000", "QEL_1000"},
    };
    for (const auto& row : table) {
        if (firmwareName.find(row.pattern) != std::string::npos) return row.device;
    }
    return "PLV 200";
}

}  // namespace image_ids
