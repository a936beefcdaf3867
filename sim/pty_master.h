// The master side of a pseudo-terminal, for the box simulator: it plays the device that a
// port opened on the slave talks to.
#pragma once
#include <chrono>
#include <memory>
#include <string>

#include "serial/device/dcb.h"

namespace qel::sim {

using dev::BYTE;
using dev::DWORD;

class PtyMaster {
  public:
    // Creates a raw pseudo-terminal and keeps a slave descriptor of its own open, so that a
    // port may close and reopen the slave without the master seeing a hang-up.
    static std::shared_ptr<PtyMaster> Create(std::string& error);
    ~PtyMaster();
    PtyMaster(const PtyMaster&) = delete;
    PtyMaster& operator=(const PtyMaster&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    // What the slave's user has written, at once; 0 when nothing, -1 when the pty failed.
    int Read(BYTE* buf, int n);
    // Bytes taken (0 when the pty is full for now), -1 when it failed.
    int Write(const BYTE* buf, int n);
    void WaitReadable(std::chrono::microseconds limit);
    // The baud rate the slave is set to; 0 when it is not one of the standard rates.
    DWORD SlaveBaudRate();

  private:
    PtyMaster(int master, int slave, std::string path)
        : master_(master), slave_(slave), slavePath_(std::move(path)) {}
    int master_;
    int slave_;
    std::string slavePath_;
};

}  // namespace qel::sim
