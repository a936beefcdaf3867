// The far end of a modem connection: whatever answers the call once the modem has said
// CONNECT. Here the one the test plays in memory; program_peer.h has a program on pipes
// (for example a file-transfer program, as a remote machine would run it).
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace qel::sim {

class DataPeer {
  public:
    virtual ~DataPeer() = default;
    // What the far end sent, at once (possibly nothing); -1 once it has hung up and all it
    // sent has been taken.
    virtual int Read(std::uint8_t* buf, int n) = 0;
    // Passes bytes on to the far end; false once it has hung up.
    virtual bool Write(const std::uint8_t* buf, int n) = 0;
    // Ends the call from the modem's side.
    virtual void HangUp() = 0;
};

// A far end the test plays: it sees what came through and sends bytes of its own.
class MemoryPeer : public DataPeer {
  public:
    int Read(std::uint8_t* buf, int n) override;
    bool Write(const std::uint8_t* buf, int n) override;
    void HangUp() override;

    // --- the far end's side -------------------------------------------------------------
    std::string Received() const;
    void Send(const std::string& bytes);
    // The far end hangs up: once its bytes have gone, the modem reports NO CARRIER.
    void Leave();
    bool HungUpByModem() const;

  private:
    mutable std::mutex mutex_;
    std::string received_;
    std::string toSend_;
    bool left_ = false;
    bool hungUp_ = false;
};

}  // namespace qel::sim
