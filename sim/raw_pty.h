// A pseudo-terminal for the null-modem's ends. Unlike the box simulator's, it keeps no slave
// descriptor of its own: the relay must see when the port on the slave closes.
#pragma once
#include <string>

namespace qel::sim {

class RawPty {
  public:
    // A raw terminal at 9600 baud until the port on it says otherwise.
    bool Create(std::string& error);
    ~RawPty();
    RawPty() = default;
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slave_; }
    // Cuts the line: the port on the slave sees a hang-up.
    void Close();

    // A symlink at path to the slave (replacing a symlink already there); removed again by
    // Unlink only while it still points here.
    bool Link(const std::string& path, std::string& error);
    void Unlink();

  private:
    int master_ = -1;
    std::string slave_;
    std::string link_;
};

}  // namespace qel::sim
