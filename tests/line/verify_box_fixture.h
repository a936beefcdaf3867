// The client on one end of the in-memory line and the simulated box (or the test) on the
// other, with a scratch folder for the files the operations read and write.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/console_observer.h"
#include "download/download.h"
#include "e2e/scratch_dir.h"
#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"
#include "sim/box.h"
#include "sim/images.h"

namespace box_test {

using Bytes = std::vector<std::uint8_t>;

class BoxFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        static int serial = 0;
        name_ = "COM" + std::to_string(60 + ++serial % 20);
        qel::dev::RegisterVirtualPort(name_, line.a);
    }
    void TearDown() override {
        if (box) box->Stop();
        if (port >= 0) V24Close(port);
        client.reset();
        box.reset();
        qel::dev::UnregisterVirtualPort(name_);
        qel::dev::SetTimeScale(1);
    }

    void StartBox(qel::sim::BoxOptions options = {}) {
        box = std::make_unique<qel::sim::Box>(qel::sim::MakeVirtualWire(line.b, line.a),
                                              std::move(options));
        box->Start();
        OpenClient();
    }
    // The box with the options that set(BoxOptions&) chooses.
    template <class Set>
    void StartBox(Set set) {
        qel::sim::BoxOptions options;
        set(options);
        StartBox(std::move(options));
    }
    // Without a box, the test speaks for it on line.b.
    void OpenClient() {
        port = V24Open(name_.c_str(), 1);
        ASSERT_GE(port, 0);
        client = std::make_unique<CDownload>(port);  // on the heap, so an overrun is caught
        // The operations speak through bin2plv32's texts, which the tests read.
        client->SetObserver(&console_);
    }

    std::string Path(const std::string& file) const { return dir_.path + "/" + file; }
    std::string File(const std::string& file, const Bytes& bytes) {
        EXPECT_TRUE(qel::sim::WriteFile(Path(file), bytes));
        return Path(file);
    }
    static std::string Console(const std::function<void()>& operation) {
        ::testing::internal::CaptureStdout();
        operation();
        return ::testing::internal::GetCapturedStdout();
    }
    int CountCommands(const std::string& name) const {
        int n = 0;
        for (const auto& c : box->Commands()) n += c.name == name;
        return n;
    }

    qel::dev::VirtualLine line = qel::dev::VirtualLine::Create();
    std::unique_ptr<qel::sim::Box> box;
    std::unique_ptr<CDownload> client;
    int port = -1;
    std::string name_;

  private:
    qel::test::ScratchDir dir_;
    ConsoleObserver console_;
};

}  // namespace box_test
