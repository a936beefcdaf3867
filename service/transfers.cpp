#include "service/transfers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "serial/v24.h"
#include "service/event_observer.h"
#include "service/read_file.h"
#include "transfer/xmodem.h"
#include "transfer/zmodem.h"

namespace qelflash {

namespace {

// Progress is told every this many bytes; a block-by-block report would be thousands of lines.
constexpr long PROGRESS_STEP = 4096;

// The transfer call-backs carry no context of their own; a process runs one transfer.
struct Watch {
    EventObserver* observer = nullptr;
    long lastBytes = -PROGRESS_STEP;
    int lastErrors = 0;
    long length = -1;  // bytes the transfer moves, -1 when unknown
} g_watch;

void Progress(const char* phase, long bytes) {
    if (bytes - g_watch.lastBytes < PROGRESS_STEP) return;
    g_watch.lastBytes = bytes;
    Event e = g_watch.observer->Make("progress").Add("phase", phase).Add("bytes", bytes);
    if (g_watch.length >= 0) {
        e.Add("total", g_watch.length);
        e.AddFixed("percent", g_watch.length > 0 ? 100.0 * bytes / g_watch.length : 100.0, 1);
    }
    g_watch.observer->Emit(e);
}

void Retry(const std::string& reason) {
    g_watch.observer->Emit(g_watch.observer->Make("retry").Add("reason", reason));
}

int OnXmodemStep(int /*crcMode*/, int bytes, int errors) {
    if (errors > g_watch.lastErrors) Retry("block repeated");
    g_watch.lastErrors = errors;
    Progress("xmodem", bytes);
    return 0;
}

int OnZmodemStep(const char* name, std::uint32_t value, int code) {
    switch (code) {
        case 4:  // a file starts: value is its length
            g_watch.length = static_cast<long>(value);
            g_watch.lastBytes = -PROGRESS_STEP;
            g_watch.observer->Emit(g_watch.observer->Make("file")
                                       .Add("name", name ? name : "")
                                       .Add("length", static_cast<long long>(value)));
            break;
        case 3:
        case 10:
            Progress("zmodem", static_cast<long>(value));
            break;
        case 9:
            Retry("subpacket or header went wrong");
            break;
        case -2:
            Retry("header read timed out");
            break;
        default:
            break;
    }
    return 0;
}

std::string Message(const std::string& command, int result) {
    static const std::map<int, const char*> xsend = {{0, "sent"},
                                                     {1, "file cannot be opened"},
                                                     {2, "failed or cancelled"},
                                                     {3, "end not acknowledged"},
                                                     {-3, "no memory"}};
    static const std::map<int, const char*> xrecv = {{0, "received"},
                                                     {2, "failed or cancelled"},
                                                     {4, "file cannot be written"},
                                                     {-3, "no memory"}};
    static const std::map<int, const char*> zsend = {{0, "sent"},
                                                     {1, "file cannot be opened"},
                                                     {2, "failed or cancelled"},
                                                     {4, "file cannot be read"},
                                                     {-3, "no memory"}};
    static const std::map<int, const char*> zrecv = {{0, "received"},
                                                     {2, "failed or cancelled"},
                                                     {4, "a file cannot be written"},
                                                     {-3, "no memory"}};
    const std::map<int, const char*>* table = command == "xsend"   ? &xsend
                                              : command == "xrecv" ? &xrecv
                                              : command == "zsend" ? &zsend
                                              : command == "zrecv" ? &zrecv
                                                                   : nullptr;
    if (table) {
        auto it = table->find(result);
        if (it != table->end()) return it->second;
    }
    if (result < 0) return "port failed";
    return "";
}

}  // namespace

int TransferExitCode(int result) {
    return result < 0 ? 256 + result : result;
}

int OpenPortReporting(const PortArg& port, EventObserver& observer) {
    const int handle = OpenPort(port);
    if (handle < 0) {
        observer.Emit(
            observer.Make("port_error").Add("v24", handle).Add("reason", PortErrorText(handle)));
        observer.Emit(observer.Make("finished")
                          .Add("code", TransferExitCode(handle))
                          .Add("result", handle)
                          .Add("message", "port failed"));
    }
    return handle;
}

int RunTransfer(const Options& o, const PortArg& port, Reporter& reporter) {
    EventObserver observer(reporter, port.label);
    g_watch = Watch();
    g_watch.observer = &observer;
    Event started = observer.Make("started").Add("operation", o.command);
    if (!o.file.empty()) started.Add("file", o.file);
    observer.Emit(started);

    ReadTarget target;
    if (o.command == "xrecv" && !target.Create(o.file)) {
        observer.Emit(observer.Make("finished")
                          .Add("code", 4)
                          .Add("result", 4)
                          .Add("message", Message(o.command, 4)));
        return 4;
    }
    struct stat folder {};
    if (o.command == "zrecv" && (stat(o.file.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode))) {
        // No folder to receive into: the line is not even opened.
        observer.Emit(observer.Make("finished")
                          .Add("code", 4)
                          .Add("result", 4)
                          .Add("message", Message(o.command, 4)));
        return 4;
    }
    const int handle = OpenPortReporting(port, observer);
    if (handle < 0) return TransferExitCode(handle);

    // The transfer runs at whatever rate the line has: it must be the peer's.
    V24SetLine(handle, o.baud, 8, 'N', 1);
    int result = 0;
    if (o.command == "xsend") {
        struct stat info {};
        if (stat(o.file.c_str(), &info) == 0) g_watch.length = static_cast<long>(info.st_size);
        result = XmSend(handle, o.file.c_str(), o.use1k ? 1 : 0, OnXmodemStep);
    } else if (o.command == "xrecv") {
        result = XmReceive(handle, target.TempPath().c_str(), 1, OnXmodemStep);
        if (result == 0 && !target.Commit()) result = 4;
    } else if (o.command == "zsend") {
        for (std::size_t i = 0; i < o.files.size() && result == 0; ++i) {
            result = ZmSendFile(handle, o.files[i].c_str(), i + 1 == o.files.size() ? 1 : 0,
                                OnZmodemStep);
        }
        // A file that cannot be opened ends the batch at the receiver too, instead of leaving
        // it waiting for the next one.
        if (result == 1) ZmSendFile(handle, "", 1, OnZmodemStep);
    } else if (o.command == "zrecv") {
        // The files land in the current folder: the destination's, for this one transfer.
        result = chdir(o.file.c_str()) == 0 ? ZmReceive(handle, OnZmodemStep) : 4;
    }
    V24Close(handle);
    const int exitCode = TransferExitCode(result);
    observer.Emit(observer.Make("finished")
                      .Add("code", exitCode)
                      .Add("result", result)
                      .Add("message", Message(o.command, result)));
    g_watch = Watch();
    return exitCode;
}

}  // namespace qelflash
