// qelflash run for real against boxsim on pseudo-terminals: exit code, the JSON events a
// script reads, and what reached each box.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "e2e/programs.h"
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
    void StartBox(int n, const std::vector<std::string>& options = {}) {
        boxes_[n] = qel::test::StartBoxsim(
            "COM" + std::to_string(n), dir.path,
            "--dir " + dir.path + " --flash-out " + Path("flash" + std::to_string(n)), options);
    }
    // Stops box n; size bytes of its flash from address on.
    Bytes StopBox(int n, std::size_t address = 0, std::size_t size = 0) {
        if (!boxes_[n]) return {};
        qel::test::StopBoxsim(boxes_[n]);
        std::string flash = dir.Read("flash" + std::to_string(n));
        if (flash.size() < address + size) return {};
        return Bytes(flash.begin() + address, flash.begin() + address + size);
    }

    // Runs qelflash with args (and --json: its events in order); exit code in code.
    std::vector<Event> Run(std::vector<std::string> args, int limitMs = 120000) {
        args.push_back("--json");
        RunPlain(args, limitMs);
        return Parse(out);
    }
    int RunPlain(std::vector<std::string> args, int limitMs = 120000) {
        args.insert(args.begin(), QELFLASH_PATH);
        ChildProcess tool(args, dir.path);
        code = tool.Finish(limitMs);
        out = tool.output;
        return code;
    }
    // Every line must be an event: a script reading them has no other lines to skip.
    static std::vector<Event> Parse(const std::string& text) {
        const std::vector<std::string> lines = Split(text, '\n');
        EXPECT_TRUE(lines.empty() || lines.back().empty()) << "output ends inside a line";
        std::vector<Event> events(lines.empty() ? 0 : lines.size() - 1);
        for (std::size_t i = 0; i < events.size(); ++i)
            EXPECT_TRUE(Event::FromJson(lines[i], events[i])) << lines[i];
        return events;
    }
    static std::vector<std::string> Names(const std::vector<Event>& events) {
        std::vector<std::string> names;
        for (const Event& e : events) names.push_back(e.Name());
        return names;
    }
    static std::vector<std::string> Split(const std::string& list, char sep = '|') {
        std::vector<std::string> parts;
        for (std::size_t at = 0, end; at < list.size(); at = end + 1) {
            end = std::min(list.find(sep, at), list.size());
            parts.push_back(list.substr(at, end - at));
        }
        if (!list.empty() && list.back() == sep) parts.push_back("");
        return parts;
    }
    // The last event of that name (whose field key holds value, where given).
    static const Event* Last(const std::vector<Event>& events, const std::string& name,
                             const std::string& value = "", const std::string& key = "port") {
        const Event* found = nullptr;
        for (const Event& e : events)
            if (e.Name() == name && (value.empty() || e.Text(key) == value)) found = &e;
        return found;
    }
    // Each want is "event.field=text" or "event@key=value.field=text" (the last such event
    // has the field as text) or "!event" (there is no such event).
    static void ExpectEvents(const std::vector<Event>& events,
                             const std::vector<std::string>& wants) {
        for (const std::string& want : wants) {
            if (want[0] == '!') {
                EXPECT_EQ(Last(events, want.substr(1)), nullptr) << want;
                continue;
            }
            const std::size_t dot = want.find('.'), eq = want.find('=', dot);
            const std::size_t at = std::min(want.find('@'), dot), is = want.find('=', at);
            const Event* e =
                at == dot ? Last(events, want.substr(0, dot))
                          : Last(events, want.substr(0, at), want.substr(is + 1, dot - is - 1),
                                 want.substr(at + 1, is - at - 1));
            ASSERT_NE(e, nullptr) << want;
            EXPECT_EQ(e->Text(want.substr(dot + 1, eq - dot - 1)), want.substr(eq + 1)) << want;
        }
    }

    std::string Path(const std::string& name) const { return dir.path + "/" + name; }
    // Split, with each "@name" made the path of that name in the test's folder.
    std::vector<std::string> Paths(const std::string& list) const {
        std::vector<std::string> parts = Split(list);
        for (std::string& p : parts)
            if (!p.empty() && p[0] == '@') p = Path(p.substr(1));
        return parts;
    }
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
