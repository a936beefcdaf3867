// qelflash run for real against boxsim on pseudo-terminals: exit code, the JSON events a
// script reads, and what reached each box.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/child_process.h"
#include "service/event.h"
#include "sim/images.h"

namespace service_test {

using Bytes = std::vector<std::uint8_t>;
using qel::test::ChildProcess;
using qelflash::Event;

class Qelflash : public ::testing::Test {
  protected:
    void TearDown() override {
        for (auto& [port, box] : boxes_) StopBox(port);
    }

    // boxsim as COMn in the test's ports folder, its flash written out when it stops.
    void StartBox(int n, std::vector<std::string> options = {}) {
        const std::string port = "COM" + std::to_string(n);
        std::vector<std::string> argv{BOXSIM_PATH,
                                      "--port",
                                      port,
                                      "--dir",
                                      dir.path,
                                      "--flash-out",
                                      Path("flash" + std::to_string(n))};
        argv.insert(argv.end(), options.begin(), options.end());
        auto box = std::make_unique<ChildProcess>(argv, dir.path);
        ASSERT_TRUE(box->ReadUntil("boxsim ready", 10000)) << box->output;
        boxes_[n] = std::move(box);
    }
    // Stops box n; n bytes of its flash from address on.
    Bytes StopBox(int n, std::size_t address = 0, std::size_t size = 0) {
        auto it = boxes_.find(n);
        if (it == boxes_.end() || !it->second) return {};
        it->second->Terminate();
        it->second->Finish(10000);
        it->second.reset();
        std::string flash = dir.Read("flash" + std::to_string(n));
        if (flash.size() < address + size) return {};
        return Bytes(flash.begin() + address, flash.begin() + address + size);
    }
    ChildProcess& Box(int n) { return *boxes_.at(n); }

    // Runs qelflash with args and --json; its events in order, exit code in code.
    std::vector<Event> Run(std::vector<std::string> args, int limitMs = 120000) {
        args.insert(args.begin(), QELFLASH_PATH);
        args.push_back("--json");
        ChildProcess tool(args, dir.path);
        code = tool.Finish(limitMs);
        out = tool.output;
        return Parse(out);
    }
    // Runs without --json; its plain output in out.
    int RunPlain(std::vector<std::string> args, int limitMs = 120000) {
        args.insert(args.begin(), QELFLASH_PATH);
        ChildProcess tool(args, dir.path);
        code = tool.Finish(limitMs);
        out = tool.output;
        return code;
    }
    // Every line must be an event: a script reading them has no other lines to skip.
    static std::vector<Event> Parse(const std::string& text) {
        std::vector<Event> events;
        std::size_t start = 0, end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            Event e;
            EXPECT_TRUE(Event::FromJson(text.substr(start, end - start), e))
                << text.substr(start, end - start);
            events.push_back(e);
            start = end + 1;
        }
        EXPECT_EQ(start, text.size()) << "output ends inside a line";
        return events;
    }
    static std::vector<std::string> Names(const std::vector<Event>& events,
                                          const std::string& port = "") {
        std::vector<std::string> names;
        for (const Event& e : events)
            if (port.empty() || e.Text("port") == port) names.push_back(e.Name());
        return names;
    }
    static const Event* Last(const std::vector<Event>& events, const std::string& name,
                             const std::string& port = "") {
        const Event* found = nullptr;
        for (const Event& e : events)
            if (e.Name() == name && (port.empty() || e.Text("port") == port)) found = &e;
        return found;
    }

    std::string Path(const std::string& name) const { return dir.path + "/" + name; }
    std::string File(const std::string& name, const Bytes& bytes) {
        EXPECT_TRUE(qel::sim::WriteFile(Path(name), bytes));
        return Path(name);
    }

    qel::test::ScratchDir dir;
    int code = -2;
    std::string out;

  private:
    std::map<int, std::unique_ptr<ChildProcess>> boxes_;
};

}  // namespace service_test
