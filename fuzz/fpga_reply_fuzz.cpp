// Whatever the box's firmware answers, the FPGA update stays within its reply buffer, follows
// the box's sequence numbers and ends with a verdict: 0 only after the box accepted the end
// request. The input is the box's bytes, one chunk per request or handshake of the host (see
// line_feeder.h); the host's frames end where their length field says, so each chunk goes out
// as soon as the frame it answers is complete.
//
// Seeds: QEL_FUZZ_SEEDS=fuzz/corpus/fpga_reply ./fpga_reply_fuzz records them from the
// simulated box's firmware and exits.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "download/download.h"
#include "fuzz/line_feeder.h"
#include "serial/v24.h"
#include "sim/images.h"

namespace {

const char kPort[] = "COM9";
// The pause before each of the 128 data frames and the box's programming wait shrink with
// this; the version query's 0.5 s for a reply becomes 5 ms, ample for a feeder that answers
// the moment the frame is complete.
constexpr unsigned kTimeScale = 100;
constexpr int kFileVersion = 101;

std::string g_dir, g_vme;
bool g_verbose = false;

void Check(bool holds) {
    if (!holds) std::abort();
}

// A host frame: 0x04, a two-byte length, then that many bytes.
bool FrameComplete(const fuzz_line::Bytes& heard) {
    std::size_t start = 0;
    while (start < heard.size() && heard[start] != 0x04) ++start;
    if (heard.size() < start + 3) return false;
    const std::size_t n = static_cast<std::size_t>(heard[start + 1]) << 8 | heard[start + 2];
    return heard.size() >= start + 3 + n;
}

// The host goes to 57600 right after the start request and back to 19200 after the end.
qel::dev::DWORD RateAfter(const fuzz_line::Bytes& heard) {
    std::size_t start = 0;
    while (start < heard.size() && heard[start] != 0x04) ++start;
    if (heard.size() < start + 9 || heard[start + 6] != 0x1C) return 0;
    if (heard[start + 8] == 0x02) return 57600;
    if (heard[start + 8] == 0x04) return 19200;
    return 0;
}

int RunUpdate() {
    const int port = V24Open(kPort, V24_EXCLUSIVE);
    int rc = 0;
    {
        CDownload client(port);
        rc = client.UpdateFpga(g_vme, "");
        if (g_verbose) std::fprintf(stderr, "update: result %d\n", rc);
        // The result is the code the object holds, and a box status of 0 is no failure.
        Check(rc == client.GetError() || rc == 0);
    }
    V24Close(port);
    return rc;
}

void RecordSeeds(const std::string& dir) {
    const struct {
        const char* name;
        int boxVersion;
    } seeds[] = {{"full_update", 100}, {"same_version", kFileVersion}};
    for (const auto& seed : seeds) {
        qel::sim::BoxOptions options;
        options.mode = qel::sim::BoxMode::Firmware;
        options.fpgaVersion = seed.boxVersion;
        fuzz_line::WriteSeed(dir + "/" + seed.name,
                             fuzz_line::Record(
                                 kPort, options, [](qel::sim::Box&) {}, [] { RunUpdate(); }));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/fpga_reply_fuzz.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_dir = dir;
    g_vme = g_dir + "/cfg.vme";
    std::atexit([] {
        unlink(g_vme.c_str());
        rmdir(g_dir.c_str());
    });
    if (!qel::sim::WriteFile(g_vme, qel::sim::MakeVmeFile(0x10000, kFileVersion))) std::abort();
    // The client's progress lines would drown the fuzzer's own.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    qel::dev::SetTimeScale(kTimeScale);
    g_verbose = std::getenv("QEL_FUZZ_VERBOSE") != nullptr;
    if (const char* seeds = std::getenv("QEL_FUZZ_SEEDS")) {
        RecordSeeds(seeds);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_line::Feeder box(kPort, fuzz_line::Chunks(data, size), {FrameComplete, RateAfter});
    RunUpdate();
    return 0;
}
