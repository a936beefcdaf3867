#include "sim/images.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace qel::sim {

namespace {
constexpr std::uint32_t kMarkerAt = 1024;
constexpr std::uint32_t kStringsAt = 1280;
constexpr std::uint32_t kStringsEnd = 1537;  // a text may start at 1536

// Never 0xFF, so that a byte left erased in the flash stands out against the image.
std::uint8_t Pattern(std::uint32_t i) {
    return static_cast<std::uint8_t>((i * 13 + (i >> 9)) % 255);
}
}  // namespace

std::vector<std::uint8_t> MakeFirmwareImage(std::uint32_t size, const std::string& firmwareName,
                                            const std::string& version) {
    std::vector<std::uint8_t> image(size);
    for (std::uint32_t i = 0; i < size; ++i) image[i] = Pattern(i);
    if (size >= kMarkerAt + 6) std::memcpy(&image[kMarkerAt], "CHKSUM", 6);
    if (size >= kStringsEnd) {
        std::fill(image.begin() + kStringsAt, image.begin() + kStringsEnd, 0);
        std::string strings = firmwareName;
        strings.push_back('\0');
        strings += "Release :: " + version;
        strings.push_back('\0');
        strings.resize(std::min<std::size_t>(strings.size(), kStringsEnd - kStringsAt - 1));
        std::copy(strings.begin(), strings.end(), image.begin() + kStringsAt);
    }
    return image;
}

std::vector<std::uint8_t> MakeVmeFile(std::uint32_t size, int version) {
    std::vector<std::uint8_t> file(size);
    std::string header = "coVersion " + std::to_string(version);
    header.resize(14, ' ');
    for (std::uint32_t i = 0; i < size; ++i) {
        file[i] = i < 14 ? static_cast<std::uint8_t>(header[i]) : Pattern(i * 7);
    }
    return file;
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace qel::sim
