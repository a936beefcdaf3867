#include "app/console_observer.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Each text goes out at once, so that progress shows while the box works.
__attribute__((format(printf, 1, 2))) void Show(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// The FPGA data progress has always been shown for every fifth frame only.
constexpr int FPGA_FRAMES_PER_LINE = 5;

}  // namespace

void ConsoleObserver::OnImage(const std::string& name, const std::string& version,
                              bool hasVersion) {
    Show("New firmware: %s", name.c_str());
    if (hasVersion) {
        Show("%5.5s\n", version.c_str());
    } else {
        Show("\n");
    }
}

void ConsoleObserver::OnProgress(const Progress& p) {
    switch (p.kind) {
        case ProgressKind::Program:
            // One more than the share before the block: the first line shows 1.0.
            Show("%4.1f%% \n", static_cast<double>(p.before) / p.total * 100.0 + 1.0);
            break;
        case ProgressKind::Verify:
            Show("verify Block %li", static_cast<long>(p.address));
            break;
        case ProgressKind::Read:
            Show("read Block %li", static_cast<long>(p.address));
            break;
        case ProgressKind::FpgaData:
            if (p.step % FPGA_FRAMES_PER_LINE == 0) {
                Show("%4.1f%% \n", static_cast<double>(p.before) * 100.0 / p.total);
            }
            break;
        case ProgressKind::FpgaProgramming:
            Show("%4.1f%%\n", 2.0 * p.step);
            break;
    }
}

void ConsoleObserver::OnFpgaReplyFault(const FpgaReplyFault& f) {
    switch (f.number) {
        case 101:
            Show("error 101 %x\n", static_cast<unsigned>(f.value));
            break;
        case 102:
            Show("error 102 %d\n", f.value);
            break;
        default:
            Show("error %d %x <> %02x %02x %02x %02x \n", f.number, f.expected, f.reply[0],
                 f.reply[1], f.reply[2], f.reply[3]);
            break;
    }
}

void ConsoleObserver::OnFpgaProgrammed(long bytesSent) {
    Show("Programming finished %ld", bytesSent);
}
