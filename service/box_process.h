// A box of a many-box run: qelflash itself, started for that one port, whose JSON lines come
// back through a pipe. A process per box gets past the ten ports a process can hold, and a
// box that hangs or crashes takes nothing down with it but its own process.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace qelflash {

class BoxProcess {
  public:
    // argv[0] is the program to run; its standard output comes back through Output(). In a
    // session of its own (its errors then go nowhere), signals from the caller's terminal do
    // not reach it, and it outlives the caller's pipes. A file
    // descriptor given as passFd is its descriptor 3.
    explicit BoxProcess(const std::vector<std::string>& argv, bool ownSession = false,
                        int passFd = -1);
    ~BoxProcess();
    BoxProcess(const BoxProcess&) = delete;
    BoxProcess& operator=(const BoxProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    // The read end of its output, -1 once it reached its end.
    int Output() const { return out_; }
    // Reads what is there; false at the end of the output.
    bool Read(std::string& into);
    // True once it has ended; then ExitCode or Signal tell how.
    bool Reap();
    void Kill();
    // Asks it to end (SIGTERM) and waits a bounded time; kills it if it does not.
    void Stop();
    // Lets it run on after this object is gone.
    void Release();
    pid_t Pid() const { return pid_; }
    bool Ended() const { return reaped_; }
    int ExitCode() const { return exitCode_; }  // -1 when it died of a signal
    int Signal() const { return signal_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
    int signal_ = 0;
};

// The path of the running program.
std::string SelfPath();

}  // namespace qelflash
