// Image files as they come: the input is the file. Read the way a download reads it (the
// identification strings of the first 4096 bytes and the bootloader name they give), the
// way the read-back reads its text area after the CHKSUM marker, and as an FPGA file's
// header. The texts stay within their limits and the names within the known ones.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "download/download.h"
#include "download/fpga_frame.h"
#include "download/image_ids.h"

namespace {

std::string g_path;

void CheckIds(const std::uint8_t* data, std::size_t size) {
    const std::size_t first = size < 4096 ? size : 4096;  // the download's first read
    const std::vector<std::string> ids = image_ids::Collect(data, first);
    if (ids.size() > image_ids::MAX_TEXTS) std::abort();
    for (const std::string& text : ids) {
        if (text.size() < 3 || text.size() > image_ids::MAX_LENGTH) std::abort();
        if (text.find('\0') != std::string::npos) std::abort();
    }
    std::string version;
    if (ids.size() > 1 && image_ids::VersionOf(ids[1], version) && version.size() > 5) {
        std::abort();
    }
    const std::string device = image_ids::DeviceNameFor(ids.empty() ? "" : ids[0]);
    if (device != "PLV 200" && device != "NUX_1000" && device != "ZAR_1000" &&
        device != "QEL_1000") {
        std::abort();
    }
}

void CheckFpgaHeader(const std::uint8_t* data, std::size_t size) {
    if (size >= fpga::HEADER_SIZE) (void)fpga::FileVersion(data);
    if (size >= 2) {
        const int box = fpga::BoxVersion(data[0], data[1]);
        if (box < 0 || box > 999) std::abort();
    }
}

void CheckImageStrings(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(g_path.c_str(), "wb");
    if (!file) return;
    std::fwrite(data, 1, size, file);
    std::fclose(file);
    CDownload client;
    std::vector<std::string> list;
    if (client.ReadImageStrings(g_path, list) != 0) return;
    for (const std::string& text : list) {
        if (text.empty() || text.size() > 255 || text.find('\0') != std::string::npos) {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/image_fuzz.XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return 0;
    close(fd);
    g_path = name;
    std::atexit([] { std::remove(g_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckIds(data, size);
    CheckFpgaHeader(data, size);
    if (!g_path.empty()) CheckImageStrings(data, size);
    return 0;
}
