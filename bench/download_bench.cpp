// Download benchmark: the real bin2plv32 loads a 0xF8000-byte image at 230400 baud into
// boxsim on a pseudo-terminal, with the box pacing its line at the line's rate and taking
// its time to erase and program. Reports the run's wall time against the physical minimum
// (the line time of every byte both ways plus the box's own erase and programming time, as
// boxsim counts them) and the CPU time bin2plv32 used.
//
//   download_bench [bin2plv32 [boxsim]]   (defaults: the build tree's programs)
//   download_bench --wine [bin2plv32.exe]  the Linux run, then the Windows build under Wine
//                                          (WINEPREFIX set, wineserver -p running; .ci/wine
//                                          shows how), and both against the minimum
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "sim/images.h"

namespace {

const char kUsage[] =
    "usage: download_bench [BIN2PLV32 [BOXSIM]]\n"
    "       download_bench --wine [BIN2PLV32.EXE]\n"
    "  loads a 0xF8000-byte image (the largest the tool takes) at 230400 baud into boxsim,\n"
    "  which paces its line and takes a real box's erase and programming times; prints the\n"
    "  wall time against the physical minimum and the CPU time bin2plv32 used. Exit 0 when\n"
    "  the download succeeded and the flash holds the image. The programs default to the\n"
    "  build tree's. --wine: the same, then with the Windows build under Wine (WINEPREFIX set\n"
    "  to a prepared prefix, wineserver -p running), and both ratios to the minimum.\n";

double Seconds(const timeval& t) {
    return t.tv_sec + t.tv_usec / 1e6;
}

double ChildrenCpu() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

// One download; the tool's command line gets the image and the port number appended. The
// ratio of its wall time to the minimum, or 0 when it failed.
double RunOnce(const char* title, std::vector<std::string> tool, const std::string& boxsim,
               const std::string& portsDir, bool ownSession) {
    const qel::test::ScratchDir scratch;
    const std::string& dir = scratch.path;
    const std::string image = dir + "/image.bin";
    const std::string log = dir + "/box.log";
    const std::string flash = dir + "/flash.bin";
    const std::uint32_t size = 0xF8000;
    std::vector<std::uint8_t> bytes = qel::sim::MakeFirmwareImage(size, "TARSK880 bench", "01.00");
    if (!qel::sim::WriteFile(image, bytes)) return 0;

    std::vector<std::string> boxArgv{boxsim,   "--port", "COM9", "--dir",       portsDir,
                                     "--pace", "--log",  log,    "--flash-out", flash};
    // Under Wine the box's terminal must not become the Wine console's.
    if (ownSession) boxArgv.insert(boxArgv.begin(), "/usr/bin/setsid");
    qel::test::ChildProcess box(boxArgv, portsDir);
    if (!box.ReadUntil("boxsim ready", 10000)) {
        std::fprintf(stderr, "boxsim did not start\n");
        return 0;
    }
    // The tool is the only child reaped while it runs: the children's usage is its own.
    const double cpuBefore = ChildrenCpu();
    tool.push_back(image);
    tool.push_back("9");
    qel::test::ChildProcess run(tool, portsDir);
    const int code = run.Finish(600000);
    const double cpu = ChildrenCpu() - cpuBefore;
    const double wall = run.ms / 1000;
    box.Terminate();
    box.Finish(10000);

    double lineMs = 0, busyMs = 0;
    unsigned long long in = 0, out = 0;
    std::size_t violations = 0;
    std::ifstream events(log);
    for (std::string line; std::getline(events, line);) {
        std::size_t at = line.find("stats ");
        if (at == std::string::npos) continue;
        std::sscanf(line.c_str() + at,
                    "stats in=%llu out=%llu line_ms=%lf busy_ms=%lf violations=%zu", &in, &out,
                    &lineMs, &busyMs, &violations);
    }
    std::vector<std::uint8_t> flashed;
    qel::sim::ReadFile(flash, flashed);
    bool same = flashed.size() >= 0x8000 + size &&
                std::equal(bytes.begin(), bytes.end(), flashed.begin() + 0x8000);

    double minimum = (lineMs + busyMs) / 1000;
    std::printf("--- %s\n", title);
    std::printf("image           0x%X bytes at 230400 baud, exit %d, flash %s\n", size, code,
                same ? "equal" : "DIFFERENT");
    std::printf("bytes on line   %llu to the box, %llu from it, %zu protocol violations\n", in, out,
                violations);
    std::printf("physical min    %.2f s (line %.2f s + erase/programming %.2f s)\n", minimum,
                lineMs / 1000, busyMs / 1000);
    std::printf("total           %.2f s = %.4f x minimum\n", wall,
                minimum > 0 ? wall / minimum : 0);
    std::printf("cpu tool        %.3f s = %.3f %% of one core\n", cpu, 100 * cpu / wall);
    if (code != 0 || !same || minimum <= 0) return 0;
    return wall / minimum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::filesystem::path here = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    const bool wine = argc > 1 && std::string(argv[1]) == "--wine";
    std::string tool = !wine && argc > 1 ? argv[1] : (here / "../app/bin2plv32").string();
    std::string boxsim = !wine && argc > 2 ? argv[2] : (here / "../sim/boxsim").string();

    const qel::test::ScratchDir ports;
    const double native = RunOnce("Linux", {tool}, boxsim, ports.path, false);
    if (!wine) return native > 0 ? 0 : 1;

    const char* prefix = std::getenv("WINEPREFIX");
    if (!prefix || !std::filesystem::is_directory(std::string(prefix) + "/dosdevices")) {
        std::fprintf(stderr, "WINEPREFIX must name a prepared Wine prefix\n");
        return 1;
    }
    // The first Wine program of a server starts Wine's own services, which inherit its
    // output and outlive it: started here, they keep no pipe of the measured run open.
    if (std::system("wine wineboot </dev/null >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "wine wineboot failed\n");
        return 1;
    }
    const std::string exe =
        argc > 2 ? argv[2] : (here / "../../windows/app/bin2plv32.exe").string();
    const double windows = RunOnce("Windows build under Wine", {"/usr/bin/wine", exe}, boxsim,
                                   std::string(prefix) + "/dosdevices", true);
    std::printf("--- x minimum: Linux %.4f, Wine %.4f\n", native, windows);
    return native > 0 && windows > 0 ? 0 : 1;
}
