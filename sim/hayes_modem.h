// A scripted Hayes-compatible modem on the host's side of a wire, as the host sees it:
//
// - Command mode: characters are echoed as they come (E1), a line is taken at its CR from
//   "AT" on (text before it is ignored, as a real modem hunts for "AT"), and answered with a
//   result: "\r\nOK\r\n" in verbose mode (V1), "0\r" in numeric mode (V0), nothing when quiet
//   (Q1). Understood: E, Q, V, H, Z, D, A, O, S registers (Sn=v, Sn?), I, &x and the usual
//   letters that take a number (L M X B C N W); anything else answers ERROR.
// - ATD: the number is dialled and after dialMs the scripted answer follows (by number,
//   else the default): a result word, or nothing at all for a call nobody answers. A byte
//   from the host while dialling ends the dial with NO CARRIER, as on a real modem.
// - CONNECT...: the line turns into a data connection to the far end (options.connect). The
//   escape "+++" counts only with guardMs of silence before it and after it (then OK and
//   command mode with the call held: ATO goes back online, ATH ends the call); pluses
//   without the guard are data. When the far end hangs up the modem says NO CARRIER.
// - An incoming call (Ring) sends RING every ringMs until ATA answers it or S0 rings pass.
// - ATZ ends any call and puts back the settings of the options.
// - The modem takes the host's rate as its own (it bauds on the host's "AT").
// - Timed behaviour (dialMs, guardMs, ringMs) follows the test time scale of
//   serial/device/sync.h.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/data_peer.h"
#include "sim/wire.h"

namespace qel::sim {

struct ModemOptions {
    // Settings after power-on and ATZ.
    bool echo = true;
    bool verbose = true;
    bool quiet = false;
    // The answer to a dial: a result word ("CONNECT 9600", "BUSY", "NO CARRIER", "RING", ...)
    // or empty for a call nobody answers. By number first, else the default.
    std::string dialResult = "CONNECT 9600";
    std::map<std::string, std::string> dialResults;
    std::string answerResult = "CONNECT 9600";  // when ATA takes an incoming call
    int dialMs = 0;                             // from the dial command to its answer
    int guardMs = 1000;                         // silence around "+++"
    int ringMs = 6000;                          // between two RINGs
    // The far end of a call, started with the number dialled (empty for an incoming call).
    // A null result means the far end does not answer (NO CARRIER); without the function the
    // far end takes everything and says nothing.
    std::function<std::shared_ptr<DataPeer>(const std::string& number)> connect;
    // One line per event (commands, results, connects, escapes, hang-ups).
    std::function<void(const std::string&)> log;
};

class HayesModem {
  public:
    HayesModem(std::unique_ptr<Wire> wire, ModemOptions options);
    ~HayesModem();
    HayesModem(const HayesModem&) = delete;
    HayesModem& operator=(const HayesModem&) = delete;

    void Start();
    // Ends the thread; a call still up is hung up.
    void Stop();

    // An incoming call that rings this many times.
    void Ring(int times);

    // --- what the modem saw, for tests --------------------------------------------------
    // Every command line from "AT" on, without its CR.
    std::vector<std::string> Commands() const;
    // How often "+++" was taken as an escape.
    int Escapes() const;
    // Passing data now.
    bool Online() const;
    // A call is up, online or held in command mode.
    bool InCall() const;

  private:
    enum class State { Command, Dialing, Online };

    void Run();
    void Receive(const std::uint8_t* buf, int n, double now);
    void CommandByte(std::uint8_t b, double now);
    void DataByte(std::uint8_t b, double now);
    void Tick(double now);
    void PumpPeer();
    void ProcessLine(const std::string& line, double now);
    void Dial(const std::string& rest, double now);
    void Connect(const std::string& number, const std::string& word, double now);
    void EndCall();
    void ForwardPluses();
    void Result(const std::string& word);
    void Log(const std::string& line);
    // Modelled milliseconds since a point of NowMs.
    static double Since(double then);

    std::unique_ptr<Wire> wire_;
    const ModemOptions opt_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    mutable std::mutex mutex_;
    State state_ = State::Command;
    bool echo_, verbose_, quiet_;
    std::map<int, int> registers_;
    std::string line_;
    std::string toHost_;
    std::string toPeer_;
    std::vector<std::string> commands_;
    int escapes_ = 0;
    // dialling
    double dialStart_ = 0;
    std::string dialNumber_;
    std::string dialAnswer_;
    bool dialAnswered_ = false;
    // the call
    std::shared_ptr<DataPeer> peer_;
    std::string connectWord_;
    double lastByte_ = 0;  // when the host's last byte came, for the escape guard
    int pluses_ = 0;
    // an incoming call
    int ringsLeft_ = 0;
    int rings_ = 0;
    double lastRing_ = 0;
    bool ringing_ = false;
};

}  // namespace qel::sim
