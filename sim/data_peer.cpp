#include "sim/data_peer.h"

#include <algorithm>

namespace qel::sim {

int MemoryPeer::Read(std::uint8_t* buf, int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (toSend_.empty()) return left_ ? -1 : 0;
    const int take = std::min(n, static_cast<int>(toSend_.size()));
    toSend_.copy(reinterpret_cast<char*>(buf), static_cast<std::size_t>(take));
    toSend_.erase(0, static_cast<std::size_t>(take));
    return take;
}

bool MemoryPeer::Write(const std::uint8_t* buf, int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (left_ || hungUp_) return false;
    received_.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    return true;
}

void MemoryPeer::HangUp() {
    std::lock_guard<std::mutex> lock(mutex_);
    hungUp_ = true;
}

std::string MemoryPeer::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

void MemoryPeer::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    toSend_ += bytes;
}

void MemoryPeer::Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    left_ = true;
}

bool MemoryPeer::HungUpByModem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hungUp_;
}

}  // namespace qel::sim
