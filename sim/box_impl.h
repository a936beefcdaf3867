// The box's insides, shared by its thread (box.cpp), its bootloader (bootloader.cpp) and its
// FPGA firmware (fpga_firmware.cpp). Not for users of the box.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/box.h"
#include "sim/link.h"

namespace qel::sim {

struct Box::Impl {
    Impl(std::unique_ptr<Wire> w, BoxOptions o);

    // --- thread ------------------------------------------------------------------------
    void Run();
    void PowerOn(const char* why);
    void RestartAfterBreak();
    void Idle();
    void SetLinkRate(std::uint32_t baud);  // records the switch when the rate changes  // a dead or
                                           // sleeping box: hears nothing, answers nothing

    // --- bootloader (bootloader.cpp) ------------------------------------------------------
    void BootloaderStep();
    void TextEnded();
    void CommandFrame();
    void Execute(const CommandRecord& cmd);
    void Erase(std::uint32_t first, std::uint32_t last);
    void Program(std::uint32_t address);
    void ReadMemory(std::uint32_t first, std::uint32_t last);
    void WriteMemory(std::uint32_t address);
    void TextAnswer(const std::string& command);
    void SwitchRate(std::uint32_t baud);
    // Word blocks; false when the exchange failed (the host was told where it could be).
    bool ReceiveBlock(std::vector<std::uint16_t>& words, bool bulk, int blockIndex);
    bool SendBlock(const std::vector<std::uint16_t>& words, bool bulk);
    // Reads one byte inside a dialogue; records a violation when it is not the one expected.
    bool Expect(std::uint8_t wanted, const char* where);

    // --- FPGA firmware (fpga_firmware.cpp) ------------------------------------------------
    void FirmwareStep();
    void FpgaReply(std::uint8_t type, std::uint8_t op, std::uint8_t status, int version);
    bool WaitForHostRate(dev::DWORD baud);

    // --- records (under mutex) ---------------------------------------------------------
    void Event(const std::string& line);
    void Violation(const std::string& what);
    double ModelMs(int ms) const;  // a modelled duration, following the test time scale

    std::unique_ptr<Wire> wire;
    BoxOptions opt;
    std::atomic<bool> stop{false};
    Link link;
    std::thread thread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::uint8_t> flash;
    std::vector<EraseRecord> erased;
    std::vector<CommandRecord> commands;
    std::vector<std::uint32_t> rateSwitches;
    int breaks = 0;
    int resets = 0;
    std::vector<FpgaFrameRecord> fpgaFrames;
    std::vector<std::uint8_t> fpgaData;
    std::vector<std::string> violations;
    std::vector<std::string> events;
    std::atomic<bool> dead{false};
    std::atomic<dev::DWORD> rate{19200};
    Faults faults;  // read by the thread through CurrentFaults
    std::map<std::string, Answer> answers;
    int fpgaVersion = 0;

    Faults CurrentFaults() const {
        std::lock_guard<std::mutex> lock(mutex);
        return faults;
    }

    // --- the thread's own state ----------------------------------------------------------
    enum class State { Asleep, Listening, Ready, Firmware };
    State state = State::Listening;
    std::string text;  // printable bytes since the last NUL
    std::chrono::steady_clock::time_point lastByte{};
    std::chrono::steady_clock::time_point nextPrompt{};
    int commandCount = 0;
    int blockCount = 0;
    int eraseCount = 0;
    int readCount = 0;
    // FPGA firmware
    int boxSeq = 0;
    int expectSeq = -1;  // -1: any
    bool handshakeDue = false;
    bool fpgaSilent = false;
    int opCount[5] = {0, 0, 0, 0, 0};
    std::chrono::steady_clock::time_point lastFrame{};
};

std::string Hex(std::uint32_t value);

}  // namespace qel::sim
