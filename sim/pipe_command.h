// A shell command run on pipes for the null-modem's far end: its standard input and output
// are the line, its standard error stays ours. It runs in a process group of its own, so a
// hang-up reaches the shell and whatever the shell started.
#pragma once
#include <sys/types.h>

#include <string>

namespace qel::sim {

class PipeCommand {
  public:
    PipeCommand() = default;
    ~PipeCommand();
    PipeCommand(const PipeCommand&) = delete;
    PipeCommand& operator=(const PipeCommand&) = delete;

    bool Start(const std::string& command, std::string& error);

    int Output() const { return output_; }  // what the command writes, non-blocking
    int Input() const { return input_; }    // what the command reads, non-blocking
    int ExitFd() const { return exitFd_; }  // readable once the command has ended
    // End of file on the command's input.
    void CloseInput();
    // Waits up to ms for the command to end; true when it has.
    bool Wait(int ms);
    void Signal(int signal);
    // The exit status, or 128 + the signal that ended it; -1 while it runs.
    int ExitCode() const { return exitCode_; }

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    int input_ = -1;
    int exitFd_ = -1;
    int exitCode_ = -1;
};

}  // namespace qel::sim
