// Whatever a box's bootloader sends, each client operation on the bootloader link stays
// within its buffers and ends with a verdict: the connect and its prompts, command echoes,
// word blocks from the box (verify, read-back), the text answers of the queries, and the
// whole download. The input's first byte picks the operation; the rest are the box's bytes,
// one chunk per turn of the host (see line_feeder.h).
//
// Seeds: QEL_FUZZ_SEEDS=fuzz/corpus/box_link ./box_link_fuzz records one seed per operation
// from the simulated box and exits.
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
// The client's waits run this much faster (a port time-out of 20 ms); the feeder answers
// 1 ms after the host's turn, so a seed still replays to its end nearly every time.
constexpr unsigned kTimeScale = 50;
constexpr std::uint32_t kImageSize = 5000;  // two blocks

std::string g_dir, g_image, g_readBack;
// QEL_FUZZ_VERBOSE: how far each input got, to see that a seed still reaches the end.
bool g_verbose = false;

const char* const kOperations[] = {
    "download", "verify",       "read_back",       "serial_number",
    "ssn",      "boot_version", "program_version", "hardware_version"};
constexpr int kCount = sizeof kOperations / sizeof kOperations[0];

void Check(bool holds) {
    if (!holds) std::abort();
}

void RunOperation(int op) {
    const int port = V24Open(kPort, V24_EXCLUSIVE);
    {
        CDownload client(port);
        std::string answer;
        int rc = 0;
        bool ran = true;
        switch (op) {
            case 0:
                rc = client.Download(g_image, -1, "");
                break;
            case 1:
                rc = client.Verify(g_image);
                break;
            case 2:
                rc = client.ReadBack(g_readBack, 0x8000, 0x8000 + 0x1FF);
                break;
            // These three ask a box that is already listening.
            case 3:
                ran = client.ConnectDevice() == 0;
                if (ran) rc = client.GetSerialNumber(answer);
                break;
            case 4:
                ran = client.ConnectDevice() == 0;
                if (ran) rc = client.GetSsn(answer);
                break;
            case 5:
                ran = client.ConnectDevice() == 0;
                if (ran) rc = client.GetBootVersion(answer);
                break;
            case 6:
                rc = client.GetProgramVersion(answer);
                break;
            default:
                rc = client.GetHardwareVersion(answer);
                break;
        }
        // A verdict either way, never a failure that looks like success.
        if (g_verbose) {
            std::fprintf(stderr, "%s: %s, code %d\n", kOperations[op], ran ? "ran" : "no connect",
                         client.GetError());
        }
        if (ran) {
            Check(rc == 0 ? client.GetState() == STATE_FINISHED
                          : client.GetState() == STATE_FAILED && client.GetError() != RESULT_OK);
        }
        Check(answer.size() < 4096);
    }
    V24Close(port);
}

void RecordSeeds(const std::string& dir) {
    for (int op = 0; op < kCount; ++op) {
        qel::sim::BoxOptions options;
        options.names = {"PLV 200", "NUX_1000"};
        const auto image = qel::sim::MakeFirmwareImage(kImageSize, "TARSK880 V2", "01.23");
        fuzz_line::Bytes seed = fuzz_line::Record(
            kPort, options, [&](qel::sim::Box& box) { box.LoadFlash(0x8000, image); },
            [op] { RunOperation(op); });
        seed.insert(seed.begin(), static_cast<std::uint8_t>(op));
        fuzz_line::WriteSeed(dir + "/" + kOperations[op], seed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char dir[] = "/tmp/box_link_fuzz.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    g_dir = dir;
    g_image = g_dir + "/fw.bin";
    g_readBack = g_dir + "/read.bin";
    std::atexit([] {
        unlink(g_image.c_str());
        unlink(g_readBack.c_str());
        rmdir(g_dir.c_str());
    });
    if (!qel::sim::WriteFile(g_image,
                             qel::sim::MakeFirmwareImage(kImageSize, "TARSK880 V2", "01.23")))
        std::abort();
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
    if (size == 0) return 0;
    fuzz_line::Feeder box(kPort, fuzz_line::Chunks(data + 1, size - 1), {});
    RunOperation(data[0] % kCount);
    return 0;
}
