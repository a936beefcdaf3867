// The interface box as the host sees it over the wire: its bootloader (device names, ready
// prompts, REMOTE command frames, word blocks, a 1 MiB flash, rate switching, restart) and
// its running firmware's FPGA update frames. It runs in its own thread; tests start it on
// one end of the in-memory line, drive the other end and then ask it what arrived.
//
// Behaviour worth knowing when writing a host against it:
// - Start: bootloader at 19200 8N1 waiting for a device name, silent (or, with the fault
//   needsBreak, asleep until a break; or the running firmware with mode Firmware).
// - Device name + NUL: "r" when it is one of options.names (a stray byte before the name
//   does no harm), else silence until it hears its own name.
// - Once identified the box prompts "r" whenever it is ready for a command, and repeats the
//   prompt every promptRepeatMs while idle, so a host whose first command after a rate
//   switch met a garbled prompt finds another one within that time.
// - A break restarts the bootloader at 19200; when the break ends it prompts "r" and is
//   ready for commands, prompting while idle, until it hears another box's name.
//   RST restarts the box quietly into its start mode (silent until named).
// - After SBD the box changes its rate when the host's "+" has arrived, waits
//   switchSettleMs and prompts at the new rate.
// - FPGA firmware: answers each request and handshake with a reply frame carrying its own
//   sequence number and expects the host's next frame to carry that number + 1. After the
//   start request it goes to 57600 and replies there; after the end request it goes back to
//   19200, programs for fpgaProgramMs and replies. An update that stalls 2 s at 57600 is
//   given up and the firmware listens at 19200 again.
// - Flash: erased bytes read 0xFF, programming ANDs; programming a byte that is neither
//   erased nor given as 0xFF is recorded as a violation.
// - A dead box (fault silent, or dieAfterBlock reached) hears nothing and says nothing,
//   breaks included.
// - Modelled durations (erase, programming, prompt repeat, settling) follow the test time
//   scale of serial/device/sync.h; line pacing does not.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/wire.h"

namespace qel::sim {

constexpr std::uint32_t kFlashSize = 0x100000;  // 1 MiB, addresses 0x00000-0xFFFFF

enum class BoxMode { Bootloader, Firmware };

// Operations of the FPGA request frames (frame byte 8).
enum FpgaOp : int { kFpgaVersion = 0, kFpgaStart = 2, kFpgaData = 3, kFpgaEnd = 4 };

// Names one FPGA request: the index-th request (from 0) of that operation.
struct FpgaTarget {
    int op = -1;  // -1: none
    int index = 0;
};

struct Faults {
    bool silent = false;      // hears nothing, says nothing, from the start
    bool needsBreak = false;  // after power-on and RST the bootloader sleeps until a break
    // PRO commands are counted from 0 over the box's life (a retried block counts again).
    int refuseBlock = -1;          // this block is refused ...
    bool refuseAtProgram = false;  // ... after programming ("-" for "+"), else at its checksum
    int corruptBlock = -1;         // one data byte of this block arrives flipped
    int dieAfterBlock = -1;        // the box goes silent for good once this block is done
    int wrongEchoCommand = -1;     // command frames counted from 0: this one's "H" echo is wrong
    int refuseErase = 0;           // the first this many DEL commands answer "-"
    int shortRead = -1;            // RDM commands counted from 0: this one sends one word short
    FpgaTarget fpgaStatusAt;       // this request is answered with fpgaStatus
    std::uint8_t fpgaStatus = 0;
    FpgaTarget fpgaSilentFrom;  // from this request on the firmware answers nothing
};

// A text answer of the GSN, GHV, GSS, GBV, GPV queries.
struct Answer {
    std::string text;
    bool terminated = true;  // false: the block carries no NUL after the text
};

struct BoxOptions {
    std::vector<std::string> names{"PLV 200"};  // device names the bootloader answers to
    BoxMode mode = BoxMode::Bootloader;         // what runs after power-on and RST
    // Line timing: bytes leave at the line's rate (10 bits a byte) and host bytes are taken
    // no faster than that. Erase and programming times then default to realistic values.
    bool pace = false;
    int eraseMsPer64K = -1;      // per 64 KiB begun; -1: 700 when pacing, else 0
    int programMsPerBlock = -1;  // per PRO block; -1: 20 when pacing, else 0
    int promptRepeatMs = 250;
    int switchSettleMs = 20;
    int replyTimeoutMs = 2000;  // how long the box waits for the host inside a dialogue
    int fpgaProgramMs = 300;    // after the end request
    int fpgaVersion = 100;      // 0..999, sent as three BCD digits
    std::uint8_t fpgaFirstSeq = 0x40;
    std::map<std::string, Answer> answers;  // by command name; defaults fill the rest
    Faults faults;
    // Called from the box's thread for every event, one line of text each.
    std::function<void(const std::string&)> log;
};

// The default answers when options.answers does not name a query. GHV's answer carries the
// hardware version 8 at index 17 (above the threshold at which a box has an SSN).
std::map<std::string, Answer> DefaultAnswers();

struct CommandRecord {
    std::string name;  // three letters as received (after de-whitening)
    std::uint32_t p1 = 0;
    std::uint32_t p2 = 0;
    bool ok = false;  // the checksum matched and the host confirmed with "+"
};

struct EraseRecord {
    std::uint32_t first = 0;
    std::uint32_t last = 0;  // inclusive, as the host sent it
};

struct FpgaFrameRecord {
    std::uint8_t type = 0;     // 0x1C request, 0x09 handshake
    std::uint8_t op = 0;       // request operation (0 for a handshake)
    std::uint8_t seq = 0;      // frame byte 5
    std::uint16_t length = 0;  // the frame's length field
    std::uint32_t rate = 0;    // the box's rate when it arrived
};

struct LineStats {
    std::uint64_t bytesIn = 0;   // taken from the host
    std::uint64_t bytesOut = 0;  // sent to the host
    double lineMs = 0;           // line time of all those bytes at the rates they used
    double busyMs = 0;           // modelled erase, programming and FPGA programming time
};

class Box {
  public:
    Box(std::unique_ptr<Wire> wire, BoxOptions options);
    ~Box();  // stops the box
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    // Runs the box in its own thread, from power-on. Stop ends it within a few ms.
    void Start();
    void Stop();

    // --- what arrived (copies, safe while the box runs) ------------------------------------
    std::vector<std::uint8_t> Flash() const;
    std::vector<std::uint8_t> FlashRange(std::uint32_t address, std::uint32_t n) const;
    std::vector<EraseRecord> Erased() const;
    std::vector<CommandRecord> Commands() const;
    std::vector<std::uint32_t> RateSwitches() const;  // every rate the box changed to
    int Breaks() const;                               // breaks the box reacted to
    int Resets() const;                               // RST commands carried out
    std::vector<FpgaFrameRecord> FpgaFrames() const;
    std::vector<std::uint8_t> FpgaData() const;  // data of the data requests, in order
    // Things a correct host never causes: programming over bytes not erased, wrong block
    // checksum, wrong sequence number, an unexpected byte inside a dialogue, ...
    std::vector<std::string> Violations() const;
    std::vector<std::string> Events() const;  // the same lines as options.log gets
    LineStats Stats() const;
    dev::DWORD Rate() const;  // the box's current rate
    bool Dead() const;

    // --- set-up and faults -------------------------------------------------------------
    // Writes bytes into the flash as they are (no programming rules); for preloading.
    void LoadFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    void SetFaults(const Faults& faults);
    void SetAnswer(const std::string& command, const Answer& answer);
    void SetFpgaVersion(int version);

    // Waits up to ms (real time) until pred(box) holds; true when it did. For tests.
    bool WaitUntil(const std::function<bool(const Box&)>& pred, int ms) const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel::sim
