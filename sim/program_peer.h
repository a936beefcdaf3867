// A program on pipes as the far end of a modem call (Linux only, like the programs).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "sim/data_peer.h"
#include "sim/pipe_command.h"

namespace qel::sim {

// Runs a shell command line for each call: the bytes from the line are its standard input,
// its standard output goes back down the line. The call ends when the program exits.
class ProgramPeer : public DataPeer {
  public:
    // Null when the program cannot be started.
    static std::unique_ptr<ProgramPeer> Start(const std::string& command);
    ~ProgramPeer() override;

    int Read(std::uint8_t* buf, int n) override;
    bool Write(const std::uint8_t* buf, int n) override;
    void HangUp() override;

  private:
    ProgramPeer() = default;
    // Moves what is held back into the program's input as far as the pipe takes it.
    bool Flush();

    PipeCommand command_;
    int output_ = -1;  // the program's standard output, while it is open
    std::string pending_;
};

}  // namespace qel::sim
