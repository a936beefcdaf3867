#include "service/event_observer.h"

#include <cstdio>

namespace qelflash {

const char* PhaseName(ProgressKind kind) {
    switch (kind) {
        case ProgressKind::Program:
            return "program";
        case ProgressKind::Verify:
            return "verify";
        case ProgressKind::Read:
            return "read";
        case ProgressKind::FpgaData:
            return "fpga-data";
        case ProgressKind::FpgaProgramming:
            return "fpga-programming";
    }
    return "";
}

void EventObserver::OnImage(const std::string& name, const std::string& version, bool hasVersion) {
    Event e = Make("image").Add("name", name);
    if (hasVersion) e.Add("version", version);
    Emit(e);
}

void EventObserver::OnConnected(const std::string& deviceName, int baud) {
    Emit(Make("connected").Add("device", deviceName).Add("baud", baud));
}

void EventObserver::OnErase(std::uint32_t first, std::uint32_t last) {
    Emit(Make("erase").Add("first", first).Add("last", last));
}

void EventObserver::OnRateChange(int baud) {
    Emit(Make("rate").Add("baud", baud));
}

void EventObserver::OnRetry(const std::string& reason, int baud) {
    Emit(Make("retry").Add("reason", reason).Add("baud", baud));
}

void EventObserver::OnProgress(const Progress& p) {
    Event e = Make("progress").Add("phase", PhaseName(p.kind));
    if (p.kind == ProgressKind::FpgaProgramming) {
        // No bytes move while the box programs: the share of its longest wait is all there is.
        e.Add("wait", p.step).AddFixed("percent", 100.0 * p.step / p.total, 1);
    } else {
        e.Add("bytes", p.done).Add("total", p.total);
        e.AddFixed("percent", p.total > 0 ? 100.0 * p.done / p.total : 100.0, 1);
    }
    Emit(e);
}

void EventObserver::OnFpgaReplyFault(const FpgaReplyFault& f) {
    char text[96];
    if (f.number == 101) {
        std::snprintf(text, sizeof text, "error 101 %x", static_cast<unsigned>(f.value));
    } else if (f.number == 102) {
        std::snprintf(text, sizeof text, "error 102 %d", f.value);
    } else {
        std::snprintf(text, sizeof text, "error %d %x <> %02x %02x %02x %02x", f.number, f.expected,
                      f.reply[0], f.reply[1], f.reply[2], f.reply[3]);
    }
    Emit(Make("reply_error").Add("number", f.number).Add("text", text));
}

}  // namespace qelflash
