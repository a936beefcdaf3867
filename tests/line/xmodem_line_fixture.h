// XMODEM on the in-memory line: our sender on one end and our receiver on the other, or one
// of them against a peer the test scripts byte by byte. The line's clock runs fast, so the
// protocol's waits of seconds take milliseconds.
#pragma once
#include <filesystem>
#include <future>
#include <string>

#include "e2e/scratch_dir.h"
#include "tests/line/v24_line_fixture.h"
#include "transfer/crc.h"
#include "transfer/xmodem.h"

namespace xmtest {

using namespace qel::dev;

// Real waits are divided by this: the sender's 10 s become 100 ms.
constexpr unsigned kSpeedUp = 100;

inline std::string Pattern(std::size_t n, unsigned seed = 7) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed + i / 251) & 0xFF);
    return s;
}

// Entries in the folder.
inline int FilesIn(const std::string& dir) {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

// The receiver's port is the fixture's COM9 on end a; the sender's is COM8 on end b.
struct XmLine : v24test::V24Line {
    qel::test::ScratchDir dir;
    int sender = -1, receiver = -1;

    void SetUp() override {
        V24Line::SetUp();
        SetTimeScale(kSpeedUp);
        RegisterVirtualPort("COM8", line.b);
    }
    void TearDown() override {
        line.a->SetFilter(nullptr);
        line.b->SetFilter(nullptr);
        UnregisterVirtualPort("COM8");
        V24Line::TearDown();
    }
    void OpenReceiver() { ASSERT_GE(receiver = V24Open("COM9", 1), 0); }
    void OpenSender() { ASSERT_GE(sender = V24Open("COM8", 1), 0); }
    std::future<int> SendAsync(const std::string& path, int use1k,
                               XmProgressCallback progress = nullptr) {
        return std::async(std::launch::async,
                          [=] { return XmSend(sender, path.c_str(), use1k, progress); });
    }

    // --- the far end of a port the test plays by hand ------------------------------------
    // On end b (where the sender's port would be) or end a.
    static void Put(const std::shared_ptr<VirtualEnd>& end, const std::string& bytes) {
        end->Write(bytes.data(), static_cast<DWORD>(bytes.size()));
    }
    // The next byte the port sent within ms of real time, or -1.
    static int Get(const std::shared_ptr<VirtualEnd>& end, int ms = 3000) {
        unsigned char b = 0;
        if (end->Read(&b, 1).count == 1) return b;
        return end->WaitReadable(static_cast<DWORD>(ms)) && end->Read(&b, 1).count == 1 ? b : -1;
    }
    // Up to n bytes, each within ms of the one before.
    static std::string GetN(const std::shared_ptr<VirtualEnd>& end, std::size_t n, int ms = 3000) {
        std::string out;
        for (int b = 0; out.size() < n && (b = Get(end, ms)) >= 0;) out += static_cast<char>(b);
        return out;
    }
};

// A block as a sender puts it on the wire (data padded with zeros to the block's size).
inline std::string Block(int start, int number, std::string data, bool crc) {
    data.resize(start == 0x02 ? 1024 : 128, '\0');
    std::string out{static_cast<char>(start), static_cast<char>(number),
                    static_cast<char>(~number & 0xFF)};
    out += data;
    std::uint16_t check = 0;
    for (unsigned char c : data) check = crc ? Crc16Update(check, c) : (check + c) & 0xFF;
    if (crc) out += static_cast<char>(check >> 8);
    out += static_cast<char>(check & 0xFF);
    return out;
}

}  // namespace xmtest
