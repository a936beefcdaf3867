// The bytes a sender sends, fed to XmReceive through the in-memory line. The input is a
// script: a first byte of options (bit 0: start in CRC mode; bits 1..7: the call of the
// progress callback that cancels, 0 for none), then chunks of a 16-bit little-endian length
// (up to 2047) and that many bytes. Each byte the receiver sends (start request, ACK, NAK,
// CAN) is answered with the next chunk; after the last one every answer is CAN, so each
// run ends quickly. The clock runs five thousand times fast: the receiver's one-second
// waits take 0.2 ms. An answer that comes later than that only takes another path; what is
// checked holds on every path.
//
// Whatever the script, the receiver must end with 0, 2 or 4, leave a file of whole blocks
// only after 0, and leave nothing at all behind after a failure.
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"
#include "transfer/xmodem.h"

namespace fs = std::filesystem;
using namespace qel::dev;

namespace {

constexpr unsigned kSpeedUp = 5000;
constexpr int kMaxChunk = 2047;

struct Rig {
    VirtualLine line = VirtualLine::Create();
    int port = -1;
    std::string dir;
    std::string path;

    Rig() {
        SetTimeScale(kSpeedUp);
        RegisterVirtualPort("COM9", line.a);
        port = V24Open("COM9", V24_EXCLUSIVE);
        char templ[] = "/tmp/xmodem_fuzz.XXXXXX";
        dir = mkdtemp(templ) ? templ : "/tmp";
        path = dir + "/received.bin";
        if (port < 0) std::abort();
    }
};

Rig& TheRig() {
    static Rig* rig = new Rig;
    return *rig;
}

std::atomic<int> g_calls{0};
int g_cancelAt = 0;

int Progress(int, int, int) {
    return ++g_calls == g_cancelAt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Rig& rig = TheRig();
    const int crc = data[0] & 1;
    g_cancelAt = data[0] >> 1;
    g_calls = 0;

    std::vector<std::string> chunks;
    for (std::size_t i = 1; i + 2 <= size;) {
        std::size_t n = (data[i] | data[i + 1] << 8) & kMaxChunk;
        i += 2;
        n = std::min(n, size - i);
        chunks.emplace_back(reinterpret_cast<const char*>(data + i), n);
        i += n;
    }

    std::atomic<bool> done{false};
    std::thread sender([&] {
        std::size_t next = 0;
        const std::string cancel(1, '\x18');
        while (!done) {
            if (!rig.line.b->WaitReadable(5)) continue;
            unsigned char said[64];
            const IoResult r = rig.line.b->Read(said, sizeof said);
            for (DWORD k = 0; k < r.count; ++k) {
                const std::string& answer = next < chunks.size() ? chunks[next++] : cancel;
                rig.line.b->Write(answer.data(), static_cast<DWORD>(answer.size()));
            }
        }
    });
    const int result = XmReceive(rig.port, rig.path.c_str(), crc, g_cancelAt ? Progress : nullptr);
    done = true;
    sender.join();
    V24Purge(rig.port, V24_INPUT);
    unsigned char rest[4096];
    while (rig.line.b->Read(rest, sizeof rest).count > 0) {
    }

    std::error_code ec;
    const bool exists = fs::exists(rig.path, ec);
    if (result != 0 && result != 2 && result != 4) std::abort();
    if (result == 0 && (!exists || fs::file_size(rig.path, ec) % 128 != 0)) std::abort();
    if (result != 0 && exists) std::abort();
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(rig.dir, ec)) ++entries;
    if (entries != (result == 0 ? 1 : 0)) std::abort();
    fs::remove(rig.path, ec);
    return 0;
}
