#include "service/reporter.h"

#include <unistd.h>

#include <chrono>
#include <cstdarg>

namespace qelflash {

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Hex(long long value) {
    return Format("0x%llX", value);
}

class JsonReporter : public Reporter {
  public:
    explicit JsonReporter(std::FILE* out) : out_(out) {}
    void Emit(const Event& event) override {
        std::fprintf(out_, "%s\n", event.Json().c_str());
        std::fflush(out_);
    }

  private:
    std::FILE* out_;
};

class PlainReporter : public Reporter {
  public:
    explicit PlainReporter(std::FILE* out) : out_(out) {}
    void Emit(const Event& event) override {
        const std::string port = event.Text("port");
        for (const std::string& line : Describe(event)) {
            if (port.empty()) {
                std::fprintf(out_, "%s\n", line.c_str());
            } else {
                std::fprintf(out_, "%s: %s\n", port.c_str(), line.c_str());
            }
        }
        std::fflush(out_);
    }

  private:
    std::FILE* out_;
};

std::string Bar(double percent, int width) {
    if (percent < 0) percent = 0;
    if (percent > 100) percent = 100;
    const int filled = static_cast<int>(percent / 100 * width + 0.5);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(width - filled), '-') + "]";
}

// One status line per box, redrawn in place. With one box, the events other than progress
// scroll above the bar as plain lines; with several, each box's line shows its latest news.
class TerminalReporter : public Reporter {
  public:
    TerminalReporter(std::FILE* out, const std::vector<std::string>& ports) : out_(out) {
        for (const std::string& p : ports) Row(p);
    }

    void Emit(const Event& event) override {
        const std::string port = event.Text("port");
        if (port.empty() || event.Name() == "result") {
            Clear();
            for (const std::string& line : Describe(event)) {
                std::fprintf(out_, "%s%s%s\n", port.c_str(), port.empty() ? "" : "  ",
                             line.c_str());
            }
            drawn_ = 0;
            std::fflush(out_);
            return;
        }
        Status& row = Row(port);
        if (event.Name() == "progress") {
            row.percent = event.Real("percent");
            row.text = Describe(event).front();
        } else if (rows_.size() == 1) {
            Clear();
            for (const std::string& line : Describe(event))
                std::fprintf(out_, "%s: %s\n", port.c_str(), line.c_str());
            drawn_ = 0;
            if (event.Name() == "finished") row.done = true;
        } else {
            row.text = Describe(event).front();
            if (event.Name() == "finished") row.done = true;
        }
        if (rows_.size() == 1 && event.Name() != "progress") {
            // The bar comes back with the next progress.
            std::fflush(out_);
            return;
        }
        Draw(event.Name() != "progress");
    }

    void Close() override {
        if (rows_.size() == 1) Clear();
        std::fflush(out_);
    }

  private:
    struct Status {
        std::string port;
        std::string text = "waiting";
        double percent = 0;
        bool done = false;
    };
    Status& Row(const std::string& port) {
        for (Status& s : rows_)
            if (s.port == port) return s;
        rows_.push_back({port});
        return rows_.back();
    }
    void Clear() {
        if (rows_.size() == 1 && drawn_) std::fprintf(out_, "\r\033[K");
    }
    void Draw(bool now) {
        // A terminal need not be redrawn for every block of sixteen boxes.
        const auto t = std::chrono::steady_clock::now();
        if (!now && drawn_ && t - last_ < std::chrono::milliseconds(100)) return;
        last_ = t;
        if (rows_.size() == 1) {
            const Status& s = rows_.front();
            std::fprintf(out_, "\r\033[K%s %s %s", s.port.c_str(), Bar(s.percent, 30).c_str(),
                         s.text.c_str());
            drawn_ = 1;
        } else {
            if (drawn_) std::fprintf(out_, "\033[%dA", drawn_);
            for (const Status& s : rows_) {
                std::fprintf(out_, "\r\033[K%-12s %s %s\n", s.port.c_str(),
                             Bar(s.percent, 20).c_str(), s.text.c_str());
            }
            drawn_ = static_cast<int>(rows_.size());
        }
        std::fflush(out_);
    }

    std::FILE* out_;
    std::vector<Status> rows_;
    int drawn_ = 0;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace

std::string Trimmed(const std::string& text) {
    std::size_t end = text.find_last_not_of(' ');
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::unique_ptr<Reporter> MakeReporter(OutputFormat format, std::FILE* out,
                                       const std::vector<std::string>& ports) {
    switch (format) {
        case OutputFormat::Json:
            return std::make_unique<JsonReporter>(out);
        case OutputFormat::Terminal:
            return std::make_unique<TerminalReporter>(out, ports);
        case OutputFormat::Plain:
            break;
    }
    return std::make_unique<PlainReporter>(out);
}

OutputFormat ChooseFormat(bool json, std::FILE* out) {
    if (json) return OutputFormat::Json;
    return isatty(fileno(out)) ? OutputFormat::Terminal : OutputFormat::Plain;
}

std::vector<std::string> Describe(const Event& e) {
    const std::string& n = e.Name();
    if (n == "started") {
        std::string file = e.Text("file"), number = e.Text("number");
        return {e.Text("operation") + (file.empty() ? std::string() : " " + file) +
                (number.empty() ? std::string() : " " + number + " (" + e.Text("method") + ")")};
    }
    if (n == "image") {
        std::string version = e.Text("version");
        return {"image " + e.Text("name") + (version.empty() ? "" : ", version " + version)};
    }
    if (n == "connected") {
        return {"connected to " + e.Text("device") + " at " + e.Text("baud") + " baud"};
    }
    if (n == "erase") return {"erasing " + Hex(e.Number("first")) + ".." + Hex(e.Number("last"))};
    if (n == "rate") return {"line at " + e.Text("baud") + " baud"};
    if (n == "retry")
        return {"retry after " + e.Text("reason") + " at " + e.Text("baud") + " baud"};
    if (n == "progress") {
        if (e.Text("phase") == "fpga-programming") {
            return {Format("%5.1f%% box programming its FPGA", e.Real("percent"))};
        }
        return {Format("%5.1f%% %lld of %lld bytes", e.Real("percent"), e.Number("bytes"),
                       e.Number("total"))};
    }
    if (n == "reply_error") return {e.Text("text")};
    if (n == "port_error") {
        return {"cannot open the port: " + e.Text("reason") + " (" + e.Text("v24") + ")"};
    }
    if (n == "info") {
        std::vector<std::string> lines;
        for (const char* key : {"serial", "hardware", "boot", "program", "ssn"}) {
            if (e.Has(key)) lines.push_back(std::string(key) + ": " + e.Text(key));
        }
        return lines.empty() ? std::vector<std::string>{"info"} : lines;
    }
    if (n == "string") return {e.Text("text")};
    if (n == "answer") return {"modem: " + e.Text("word") + " (" + e.Text("result") + ")"};
    if (n == "file") return {"file " + e.Text("name") + ", " + e.Text("length") + " bytes"};
    if (n == "port") {
        return {e.Text("name") + " -> " + e.Text("device") + "  " + e.Text("state")};
    }
    if (n == "sim") return {"device " + e.Text("device") + ", boxsim pid " + e.Text("pid")};
    if (n == "finished" || n == "result") {
        std::string message = Trimmed(e.Text("message"));
        std::string note = e.Text("note");
        return {n + " " + e.Text("code") + (message.empty() ? "" : " " + message) +
                (note.empty() ? "" : " (" + note + ")")};
    }
    return {n};
}

}  // namespace qelflash
