// The FPGA reply handling against a scripted firmware that answers with hand-made bytes:
// replies the box's real firmware would not send, and the host's way through them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "download/download.h"
#include "download/fpga_frame.h"
#include "serial/device/sync.h"
#include "serial/device/virtual_line.h"
#include "serial/v24.h"

using namespace qel::dev;
using Bytes = std::vector<std::uint8_t>;

namespace {

// Reads the host's frames on its end of the line and answers each with what the script
// gives back (nothing: stays silent), at the rate the host uses when the answer goes out.
class ScriptedFirmware {
  public:
    using Script = std::function<Bytes(const Bytes& frame)>;

    ScriptedFirmware(std::shared_ptr<VirtualEnd> self, std::shared_ptr<VirtualEnd> host,
                     Script script)
        : self_(std::move(self)), host_(std::move(host)), script_(std::move(script)) {
        FollowHostRate();
        thread_ = std::thread([this] { Run(); });
    }
    ~ScriptedFirmware() {
        stop_ = true;
        thread_.join();
    }
    std::vector<Bytes> Frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

  private:
    void Run() {
        Bytes pending;
        while (!stop_) {
            FollowHostRate();
            if (!self_->WaitReadable(20)) continue;
            std::uint8_t buf[600];
            IoResult r = self_->Read(buf, sizeof buf);
            pending.insert(pending.end(), buf, buf + r.count);
            while (!pending.empty() && pending[0] != fpga::FRAME_START)
                pending.erase(pending.begin());
            if (pending.size() < 3) continue;
            const std::size_t length = fpga::FrameLength(pending.data());
            if (pending.size() < length) continue;
            Bytes frame(pending.begin(), pending.begin() + static_cast<long>(length));
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(length));
            {
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back(frame);
            }
            Bytes answer = script_(frame);
            if (answer.empty()) continue;
            // Answer once the host has had time to switch its rate and purge.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            FollowHostRate();
            self_->Write(answer.data(), static_cast<DWORD>(answer.size()));
        }
    }

    void FollowHostRate() {
        DCB dcb;
        self_->GetCommState(dcb);
        if (dcb.BaudRate == host_->BaudRate()) return;
        dcb.BaudRate = host_->BaudRate();
        self_->SetCommState(dcb);
    }

    std::shared_ptr<VirtualEnd> self_;
    std::shared_ptr<VirtualEnd> host_;
    Script script_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> frames_;
    std::thread thread_;
};

// A reply frame: start byte, length, body with sequence, type, byte 7, status and two more.
Bytes Reply(std::uint8_t sequence, std::uint8_t type, std::uint8_t status, std::uint8_t byte9 = 0,
            std::uint8_t byte10 = 0) {
    return {4, 0, 9, 0, 0, sequence, type, 0x77, status, byte9, byte10, 0};
}

Bytes Answer(const Bytes& frame, std::uint8_t status = 0) {
    const bool handshake = frame[6] == fpga::TYPE_HANDSHAKE;
    return Reply(frame[5], handshake ? fpga::TYPE_HANDSHAKE : fpga::TYPE_REQUEST_REPLY, status);
}

struct FpgaRequest : ::testing::Test {
    VirtualLine line = VirtualLine::Create();
    int port = -1;
    std::unique_ptr<CDownload> client;  // on the heap, so that an overrun of it is caught

    void SetUp() override {
        RegisterVirtualPort("COM7", line.a);
        port = V24Open("COM7", 1);
        ASSERT_GE(port, 0);
        V24SetLine(port, 19200, 8, 'N', 1);
        client = std::make_unique<CDownload>(port);
    }
    void TearDown() override {
        client.reset();
        V24Close(port);
        UnregisterVirtualPort("COM7");
    }

    // Sends the version query as the update does and returns the result with the console.
    std::pair<int, std::string> Query() {
        std::uint8_t frame[fpga::MAX_FRAME];
        fpga::BuildRequest(frame, fpga::OP_VERSION, nullptr, 0);
        ::testing::internal::CaptureStdout();
        const int rc = client->FpgaRequest(frame, 0, 10, false);
        return {rc, ::testing::internal::GetCapturedStdout()};
    }
};

TEST_F(FpgaRequest, LengthFieldBeyondTheReceiveAreaIsAShortReply) {
    // The last case announces 9 body bytes and sends 5.
    for (int length : {252, 253, 0x0100, 0xFFFF, -9}) {
        SCOPED_TRACE(length);
        ScriptedFirmware box(line.b, line.a, [&](const Bytes& frame) {
            const int announced = std::abs(length);
            Bytes reply = Reply(frame[5], 0x9C, 0);
            reply[1] = static_cast<std::uint8_t>(announced >> 8);
            reply[2] = static_cast<std::uint8_t>(announced & 0xFF);
            reply.resize(length < 0 ? 8 : 3 + std::min(length, 600), 0xEE);
            return reply;
        });
        auto [rc, out] = Query();
        if (length > 0 && length <= fpga::MAX_REPLY_BODY) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(out, "");
        } else {
            EXPECT_EQ(rc, RESULT_FPGA_NO_ANSWER);
            EXPECT_EQ(client->GetError(), RESULT_FPGA_NO_ANSWER);
            EXPECT_EQ(out, "error 102 " + std::to_string(std::abs(length)) + "\n");
        }
        V24Purge(port, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        V24Purge(port, 0);
    }
}

TEST_F(FpgaRequest, LengthByteThatNeverComesEndsInBoundedTime) {
    ScriptedFirmware box(line.b, line.a, [](const Bytes&) { return Bytes{4}; });
    const double start = NowMs();
    auto [rc, out] = Query();
    const double took = NowMs() - start;
    EXPECT_EQ(rc, RESULT_FPGA_NO_ANSWER);
    // Both length bytes time out and read as the low byte of the time-out result.
    EXPECT_EQ(out, "error 102 64250\n");
    EXPECT_LT(took, 3 * 2000 + 300);
}

TEST_F(FpgaRequest, WrongReplyTypeAndNonZeroStatus) {
    ScriptedFirmware wrongType(line.b, line.a,
                               [](const Bytes& f) { return Reply(f[5], 0x09, 0, 0x12); });
    auto [rc, out] = Query();
    EXPECT_EQ(rc, RESULT_FPGA_NO_ANSWER);
    EXPECT_EQ(out, "error 103 9c <> 09 77 00 12 \n");
}

TEST_F(FpgaRequest, BoxStatusBecomesTheResult) {
    ScriptedFirmware box(line.b, line.a, [](const Bytes& f) { return Reply(f[5], 0x9C, 25, 1); });
    auto [rc, out] = Query();
    EXPECT_EQ(rc, 25);
    EXPECT_EQ(client->GetError(), 25);
    EXPECT_EQ(out, "error 104 9c <> 9c 77 19 01 \n");
}

TEST_F(FpgaRequest, HandshakeStatusIsNotExamined) {
    ScriptedFirmware box(line.b, line.a,
                         [](const Bytes& f) { return Reply(f[5], fpga::TYPE_HANDSHAKE, 0x42); });
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(client->FpgaHandshake(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST_F(FpgaRequest, HostFollowsTheBoxsSequenceNumbers) {
    ScriptedFirmware box(line.b, line.a, [](const Bytes& f) {
        Bytes reply = Answer(f);
        reply[5] = static_cast<std::uint8_t>(f[5] == 0 ? 0x40 : f[5] + 7);
        return reply;
    });
    EXPECT_EQ(Query().first, 0);
    EXPECT_EQ(client->FpgaHandshake(), 0);
    EXPECT_EQ(Query().first, 0);
    std::vector<Bytes> frames = box.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0][5], 0x00);
    // The handshake carries the box's number + 1 in bytes 3 and 5.
    EXPECT_EQ(frames[1][3], 0x41);
    EXPECT_EQ(frames[1][5], 0x41);
    EXPECT_EQ(frames[2][5], 0x41 + 7 + 1);
}

TEST_F(FpgaRequest, BytesBeforeTheStartAreSkippedAndFiftyOfThemAreSilence) {
    {
        ScriptedFirmware box(line.b, line.a, [](const Bytes& f) {
            Bytes reply{'x', 'y', 'z'};
            Bytes rest = Answer(f);
            reply.insert(reply.end(), rest.begin(), rest.end());
            return reply;
        });
        EXPECT_EQ(Query().first, 0);
    }
    ScriptedFirmware noisy(line.b, line.a, [](const Bytes&) { return Bytes(60, 0x55); });
    auto [rc, out] = Query();
    EXPECT_EQ(rc, RESULT_FPGA_NO_ANSWER);
    EXPECT_EQ(out, "error 101 55\n");
}

TEST_F(FpgaRequest, ProgressWhileWaitingForASilentBox) {
    std::uint8_t frame[fpga::MAX_FRAME];
    fpga::BuildRequest(frame, fpga::OP_END, nullptr, 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(client->FpgaRequest(frame, 0, 2, true), RESULT_FPGA_NO_ANSWER);
    std::string progress = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(progress.substr(0, 12), " 0.0%\n 2.0%\n");
    EXPECT_EQ(progress.substr(progress.size() - 19), "98.0%\nerror 101 30\n");
}

}  // namespace
