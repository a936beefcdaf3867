#include "service/operations.h"

#include <cstdio>
#include <memory>

#include "download/download.h"
#include "download/image_ids.h"
#include "serial/v24.h"
#include "service/event_observer.h"
#include "service/read_file.h"

namespace qelflash {

namespace {

// The name the bootloader of a box running this image answers to, as a download finds it.
std::string DeviceNameOf(const std::string& image) {
    std::FILE* file = std::fopen(image.c_str(), "rb");
    if (!file) return DEFAULT_DEVICE_NAME;
    std::uint8_t head[4096];
    const std::size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    if (got < image_ids::MIN_READ) return DEFAULT_DEVICE_NAME;
    std::vector<std::string> ids = image_ids::Collect(head, got);
    return image_ids::DeviceNameFor(ids.empty() ? std::string() : ids.front());
}

int Flash(CDownload& client, const Options& o) {
    if (client.Download(o.file, o.address, o.target) == 0) return RESULT_OK;
    // A failed download never leaves with the success code, whatever the client recorded.
    return client.GetError() != 0 ? client.GetError() : 1;
}

int Verify(CDownload& client, const Options& o) {
    if (o.target.empty()) client.SetDeviceName(DeviceNameOf(o.file));
    return client.Verify(o.file) == 0 ? RESULT_OK : client.GetError();
}

int Info(CDownload& client, EventObserver& observer) {
    std::string hardware, program, serial, boot, ssn;
    Event info = observer.Make("info");
    // The two version queries connect first; the others ask the box that answered them.
    bool ok = client.GetHardwareVersion(hardware) == 0;
    if (ok) info.Add("hardware", hardware);
    ok = ok && client.GetProgramVersion(program) == 0;
    if (ok) info.Add("program", program);
    ok = ok && client.GetSerialNumber(serial) == 0;
    if (ok) info.Add("serial", serial);
    ok = ok && client.GetBootVersion(boot) == 0;
    if (ok) info.Add("boot", boot);
    ok = ok && client.GetSsn(ssn) == 0;
    if (ok) info.Add("ssn", ssn);
    const int code = ok ? RESULT_OK : client.GetError();
    // The queries leave the box in its bootloader: it goes back to its firmware.
    client.ForceReset();
    if (ok) observer.Emit(info);
    return code;
}

Event Finished(const EventObserver& observer, int code) {
    return observer.Make("finished")
        .Add("code", code)
        .Add("message", CDownload::GetErrorText(code));
}

}  // namespace

int RunOnPort(const Options& o, const PortArg& port, Reporter& reporter) {
    EventObserver observer(reporter, port.label);
    Event started = observer.Make("started").Add("operation", o.command);
    if (!o.file.empty()) started.Add("file", o.file);
    observer.Emit(started);

    // A read-back's file is made before the box is touched: no file, no read.
    ReadTarget readTarget;
    if (o.command == "read" && !readTarget.Create(o.file)) {
        observer.Emit(Finished(observer, RESULT_FILE_UNKNOWN));
        return RESULT_FILE_UNKNOWN;
    }

    const int handle = OpenPort(port);
    if (handle < 0) {
        observer.Emit(
            observer.Make("port_error").Add("v24", handle).Add("reason", PortErrorText(handle)));
        observer.Emit(Finished(observer, RESULT_PORT_NOT_OPEN));
        return RESULT_PORT_NOT_OPEN;
    }
    auto client = std::make_unique<CDownload>(handle);
    client->SetObserver(&observer);
    client->SetDeviceName(o.target.empty() ? DEFAULT_DEVICE_NAME : o.target);

    int code = RESULT_OK;
    if (o.command == "flash") {
        code = Flash(*client, o);
    } else if (o.command == "fpga") {
        code = client->UpdateFpga(o.file, o.target);
    } else if (o.command == "verify") {
        code = Verify(*client, o);
    } else if (o.command == "read") {
        code = client->ReadBack(readTarget.TempPath(), o.from, o.to) == 0 ? RESULT_OK
                                                                          : client->GetError();
        if (code == RESULT_OK && !readTarget.Commit()) code = RESULT_FILE_UNKNOWN;
    } else if (o.command == "info") {
        code = Info(*client, observer);
    }
    // As bin2plv32 does: the port goes first, so that the box is free for the next tool when
    // the result is out.
    V24Close(handle);
    client.reset();
    observer.Emit(Finished(observer, code));
    return code;
}

int RunStrings(const Options& o, Reporter& reporter) {
    reporter.Emit(Event("started").Add("operation", "strings").Add("file", o.file));
    // No port: the client only reads the file.
    CDownload client(-1);
    std::vector<std::string> texts;
    const int code = client.ReadImageStrings(o.file, texts) == 0 ? RESULT_OK : client.GetError();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        reporter.Emit(
            Event("string").Add("index", static_cast<long long>(i)).Add("text", texts[i]));
    }
    reporter.Emit(
        Event("finished").Add("code", code).Add("message", CDownload::GetErrorText(code)));
    return code;
}

}  // namespace qelflash
