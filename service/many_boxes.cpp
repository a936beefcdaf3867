#include "service/many_boxes.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "download/download.h"
#include "serial/device/unshared_file.h"
#include "service/box_process.h"

namespace qelflash {

namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for the boxes' output lasts at most; the stall check runs between.
constexpr int POLL_MS = 500;
// A box process ended without telling its result: it crashed or was stopped.
constexpr int RESULT_NO_RESULT = 1;
// Larger files are no image and no FPGA file: the boxes read them themselves and refuse them.
constexpr long MAX_SNAPSHOT = 16L << 20;
// Where a box process finds its copy of the file (its descriptor 3).
const char* const SNAPSHOT_PATH = "/dev/fd/3";

// The file's bytes in an unnamed memory file of the box's own. The client opens an image for
// itself alone, so that it cannot change under the transfer; boxes flashed at once from one
// file would shut each other out. Each gets the bytes as they were at the start, all the
// same, and no file is written anywhere. -1 when the file cannot be read: the boxes then
// open it themselves and report why.
int Snapshot(const std::vector<unsigned char>& bytes) {
    const int fd = memfd_create("qelflash-image", MFD_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(fd);
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return fd;
}

bool ReadWhole(const std::string& path, std::vector<unsigned char>& bytes) {
    std::FILE* file = qel::dev::OpenFileUnshared(path);
    if (!file) return false;
    unsigned char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 &&
           bytes.size() <= static_cast<std::size_t>(MAX_SNAPSHOT)) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    const bool ok = !std::ferror(file) && bytes.size() <= static_cast<std::size_t>(MAX_SNAPSHOT);
    std::fclose(file);
    return ok;
}

struct Box {
    PortArg port;
    std::unique_ptr<BoxProcess> process;
    std::string pending;  // output not yet a whole line
    Clock::time_point lastSign;
    bool finished = false;  // its finished event came
    int code = RESULT_NO_RESULT;
    bool stalled = false;
};

void TakeLines(Box& box, const std::string& file, Reporter& reporter) {
    std::size_t end;
    while ((end = box.pending.find('\n')) != std::string::npos) {
        const std::string line = box.pending.substr(0, end);
        box.pending.erase(0, end + 1);
        Event event;
        // Only the box's own events pass; anything else on its output is not for scripts.
        if (!Event::FromJson(line, event) || event.Text("port") != box.port.label) continue;
        if (event.Text("file") == SNAPSHOT_PATH) event.Set("file", file);
        if (event.Name() == "finished") {
            box.finished = true;
            box.code = static_cast<int>(event.Number("code", RESULT_NO_RESULT));
        }
        reporter.Emit(event);
    }
}

Event Result(const Box& box, int stallSeconds) {
    Event result("result");
    result.Add("port", box.port.label);
    const BoxProcess& p = *box.process;
    int code = box.code;
    std::string note;
    if (box.stalled) {
        code = RESULT_NO_ANSWER;
        note = "no sign of life for " + std::to_string(stallSeconds) + " s, stopped";
    } else if (!p.Started()) {
        note = "could not be started";
    } else if (p.Signal() != 0) {
        code = box.finished ? box.code : RESULT_NO_RESULT;
        if (!box.finished) note = "ended by signal " + std::to_string(p.Signal());
    } else if (!box.finished) {
        // Its exit code is all there is; a process that ends without a result never passes
        // for a box that succeeded.
        code = p.ExitCode() > 0 ? p.ExitCode() : RESULT_NO_RESULT;
        note = "ended without a result";
    }
    result.Add("code", code).Add("message", CDownload::GetErrorText(code));
    if (!note.empty()) result.Add("note", note);
    return result;
}

}  // namespace

int Severity(int code) {
    if (code == RESULT_OK) return 0;
    if (code == RESULT_NO_UPDATE_NEEDED) return 1;
    return 2 + (code < 0 ? 0 : code);
}

int RunManyBoxes(const Options& o, Reporter& reporter) {
    const std::string self = SelfPath();
    std::vector<unsigned char> bytes;
    const bool snapshot = !o.file.empty() && ReadWhole(o.file, bytes);
    std::vector<Box> boxes(o.ports.size());
    for (std::size_t i = 0; i < o.ports.size(); ++i) {
        Box& box = boxes[i];
        box.port = o.ports[i];
        const int copy = snapshot ? Snapshot(bytes) : -1;
        std::vector<std::string> argv{self, o.command};
        argv.insert(argv.end(), o.passOn.begin(), o.passOn.end());
        // The file is the first argument passed on.
        if (copy >= 0) argv[2] = SNAPSHOT_PATH;
        argv.insert(argv.end(), {"--port", box.port.label, "--json"});
        box.process = std::make_unique<BoxProcess>(argv, false, copy);
        if (copy >= 0) close(copy);
        box.lastSign = Clock::now();
    }

    const auto stallLimit = std::chrono::seconds(o.stallSeconds);
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Box*> owners;
        for (Box& box : boxes) {
            if (box.process->Output() < 0) continue;
            fds.push_back({box.process->Output(), POLLIN, 0});
            owners.push_back(&box);
        }
        bool running = false;
        for (Box& box : boxes) {
            if (!box.process->Reap()) running = true;
        }
        if (fds.empty() && !running) break;

        if (!fds.empty()) {
            poll(fds.data(), fds.size(), POLL_MS);
        } else {
            // Output closed, process not yet gone: it is on its way out.
            poll(nullptr, 0, 20);
        }
        const auto now = Clock::now();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            Box& box = *owners[i];
            if (fds[i].revents == 0) continue;
            box.process->Read(box.pending);
            box.lastSign = now;
            TakeLines(box, o.file, reporter);
        }
        for (Box& box : boxes) {
            if (box.process->Ended() || now - box.lastSign < stallLimit) continue;
            // Every wait of the library is bounded, so this box's process is stuck beyond
            // them: stop it, so that the run ends and the others' results are out.
            box.stalled = true;
            box.process->Kill();
        }
    }

    int worst = RESULT_OK;
    for (const Box& box : boxes) {
        const Event result = Result(box, o.stallSeconds);
        reporter.Emit(result);
        const int code = static_cast<int>(result.Number("code"));
        if (Severity(code) > Severity(worst)) worst = code;
    }
    return worst;
}

}  // namespace qelflash
