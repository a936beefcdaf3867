// The FPGA update against the simulated box firmware on the in-memory line.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "verify_box_fixture.h"

namespace {

using namespace box_test;
using qel::sim::FpgaFrameRecord;

constexpr std::uint8_t REQUEST = 0x1C;
constexpr std::uint8_t HANDSHAKE = 0x09;

qel::sim::BoxOptions Firmware(int version) {
    qel::sim::BoxOptions options;
    options.mode = qel::sim::BoxMode::Firmware;
    options.fpgaVersion = version;
    return options;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class FpgaUpdate : public BoxFixture {
  protected:
    std::string Update(const std::string& path) {
        return Console([&] { result = client->UpdateFpga(path, ""); });
    }
    int result = -1;
};

TEST_F(FpgaUpdate, FullUpdateSendsTheDataAfterTheHeaderInOrderAndAtTheRightRates) {
    qel::dev::SetTimeScale(4);  // the 100 ms pause before each of the 128 data frames
    StartBox(Firmware(100));
    const Bytes vme = qel::sim::MakeVmeFile(65536, 101);
    const std::string out = Update(File("fpga.vme", vme));

    EXPECT_EQ(result, 0);
    EXPECT_EQ(client->GetError(), 0);
    EXPECT_EQ(box->FpgaData(), Bytes(vme.begin() + 14, vme.end()));
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});

    // Version query and handshake at 19200; the start request still at 19200, its handshake
    // and every data frame at 57600; the end request at 57600 and its handshake at 19200.
    const std::vector<FpgaFrameRecord> frames = box->FpgaFrames();
    ASSERT_EQ(frames.size(), 2u * (2 + 128 + 1));
    auto expect = [&](std::size_t i, std::uint8_t type, std::uint8_t op, std::uint32_t rate) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].type, type);
        if (type == REQUEST) {
            EXPECT_EQ(frames[i].op, op);
        }
        EXPECT_EQ(frames[i].rate, rate);
    };
    expect(0, REQUEST, 0, 19200);
    expect(1, HANDSHAKE, 0, 19200);
    expect(2, REQUEST, 2, 19200);
    expect(3, HANDSHAKE, 0, 57600);
    for (std::size_t i = 4; i < 4 + 256; i += 2) {
        expect(i, REQUEST, 3, 57600);
        expect(i + 1, HANDSHAKE, 0, 57600);
        EXPECT_EQ(frames[i].length, i + 2 < 4 + 256 ? 0x0209 : 0x01FB);
    }
    expect(260, REQUEST, 4, 57600);
    expect(261, HANDSHAKE, 0, 19200);
    EXPECT_EQ(line.a->BaudRate(), 19200u);

    // Progress every fifth data frame, then the wait for the programming, then the total.
    const std::vector<std::string> lines = Lines(out);
    std::vector<std::string> transfer;
    for (const auto& l : lines)
        if (l.size() >= 2 && l.compare(l.size() - 2, 2, "% ") == 0) transfer.push_back(l);
    ASSERT_EQ(transfer.size(), 26u);
    EXPECT_EQ(transfer[0], " 0.0% ");
    EXPECT_EQ(transfer[1], " 3.9% ");
    EXPECT_EQ(transfer[25], "97.7% ");
    EXPECT_EQ(lines[26], " 0.0%");  // the programming wait shows its own progress
    EXPECT_EQ(lines.back(), "Programming finished 65522");
    EXPECT_EQ(out.back(), '2');  // no line end: the front end's text follows
}

TEST_F(FpgaUpdate, EqualVersionsEndAfterOneQueryAndOneHandshake) {
    StartBox(Firmware(123));
    for (long size : {65536L, 393216L}) {
        SCOPED_TRACE(size);
        const std::size_t before = box->FpgaFrames().size();
        const std::string out =
            Update(File("same.vme", qel::sim::MakeVmeFile(static_cast<std::uint32_t>(size), 123)));
        EXPECT_EQ(result, RESULT_NO_UPDATE_NEEDED);
        EXPECT_EQ(client->GetError(), RESULT_NO_UPDATE_NEEDED);
        EXPECT_EQ(out, "");
        const std::vector<FpgaFrameRecord> frames = box->FpgaFrames();
        ASSERT_EQ(frames.size(), before + 2);
        EXPECT_EQ(frames[before].type, REQUEST);
        EXPECT_EQ(frames[before].op, 0);
        EXPECT_EQ(frames[before + 1].type, HANDSHAKE);
    }
    EXPECT_EQ(box->Violations(), std::vector<std::string>{});
}

TEST_F(FpgaUpdate, FileChecksSendNothing) {
    StartBox(Firmware(100));
    Bytes wrongCase = qel::sim::MakeVmeFile(65536, 101);
    wrongCase[2] = 'v';
    const struct {
        std::string path;
        int code;
    } cases[] = {
        {Path("missing.vme"), RESULT_FILE_UNKNOWN},
        {File("short.vme", qel::sim::MakeVmeFile(65535, 101)), RESULT_FILE_BAD_SIZE},
        {File("long.vme", qel::sim::MakeVmeFile(393217, 101)), RESULT_FILE_BAD_SIZE},
        {File("case.vme", wrongCase), RESULT_NO_FILE_ID},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(Update(c.path), "");
        EXPECT_EQ(result, c.code);
        EXPECT_EQ(client->GetError(), c.code);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(box->FpgaFrames().empty());
    EXPECT_EQ(line.a->BaudRate(), 19200u);
}

TEST_F(FpgaUpdate, SilentBoxGivesNoAnswerWithinTheVersionQuerysWait) {
    qel::sim::BoxOptions options = Firmware(100);
    options.faults.silent = true;
    StartBox(options);
    const double start = qel::dev::NowMs();
    const std::string out = Update(File("fpga.vme", qel::sim::MakeVmeFile(65536, 101)));
    const double took = qel::dev::NowMs() - start;
    EXPECT_EQ(result, RESULT_FPGA_NO_ANSWER);
    EXPECT_EQ(client->GetError(), RESULT_FPGA_NO_ANSWER);
    EXPECT_EQ(out, "error 101 30\n");
    EXPECT_GE(took, 0.9 * 500);
    EXPECT_LE(took, 3 * 500 + 300);
}

TEST_F(FpgaUpdate, BoxStatusOnADataFrameEndsTheUpdateWithThatStatus) {
    qel::sim::BoxOptions options = Firmware(100);
    options.faults.fpgaStatusAt = {qel::sim::kFpgaData, 2};
    options.faults.fpgaStatus = 22;
    StartBox(options);
    const std::string out = Update(File("fpga.vme", qel::sim::MakeVmeFile(65536, 101)));
    EXPECT_EQ(result, 22);
    EXPECT_EQ(client->GetError(), 22);
    // Reply byte 7 is the operation in this firmware's replies, byte 9 its first digit.
    EXPECT_EQ(out, " 0.0% \nerror 104 9c <> 9c 03 16 00 \n");
    // Nothing follows the refused frame, not even its handshake; the host stays at 57600.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::vector<FpgaFrameRecord> frames = box->FpgaFrames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.back().type, REQUEST);
    EXPECT_EQ(frames.back().op, 3);
    EXPECT_EQ(box->FpgaData().size(), 3u * 512);
    EXPECT_EQ(line.a->BaudRate(), 57600u);
}

}  // namespace
