#include "app/run.h"

#include <cstdarg>
#include <cstdio>
#include <memory>

#include "app/arguments.h"
#include "app/console_observer.h"
#include "app/usage_text.h"
#include "download/download.h"
#include "serial/v24.h"

namespace {

// Every text goes out at once: a technician watching a long download must see each line
// as it happens, and a script reading the pipe must not wait for a full buffer.
__attribute__((format(printf, 1, 2))) void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// There is no application framework to bring up on this platform; the check and its message
// stay so that a port to one that has it keeps the same exit.
bool StartFramework() {
    return true;
}

int RunFpgaUpdate(CDownload& client, const Arguments& args) {
    Say("FPGA-Programmierung \nFile: %s\nPort:%d\n", args.filePath.c_str(), args.portNumber);
    int failed = client.UpdateFpga(args.filePath, args.targetName);
    int code = client.GetError();
    if (failed != 0) {
        Say("Error: %d %s", code, CDownload::GetErrorText(code).c_str());
    } else {
        Say("\nFPGA-Update erfolgreich");
    }
    return code;
}

int RunDownload(CDownload& client, const Arguments& args) {
    if (client.Download(args.filePath, args.startAddress, args.targetName) != 0) {
        int code = client.GetError();
        Say("Error %d %s", code, CDownload::GetErrorText(code).c_str());
        // A failed download must never leave with the success code, whatever the client
        // recorded.
        return code != 0 ? code : 1;
    }
    Say("\nDownload erfolgreich");
    return 0;
}

}  // namespace

int RunFrontEnd(int argc, const char* const* argv) {
    Say("\nORN KALVER QEL-flash\n");
    if (!StartFramework()) {
        Say("\nFatal Error: MFC initialization failed");
        return 1;
    }
    Arguments args;
    if (!ParseArguments(argc, argv, args)) {
        ShowUsage();
        return 1;
    }

    // A port that cannot be opened is not reported here: the client records it and the
    // operation fails with its own code.
    int port = V24Open(args.portName.c_str(), V24_EXCLUSIVE);
    ConsoleObserver console;
    auto client = std::make_unique<CDownload>(port);
    client->SetObserver(&console);
    int exitCode = args.isFpgaFile ? RunFpgaUpdate(*client, args) : RunDownload(*client, args);
    V24Close(port);
    client.reset();
    return exitCode;
}
