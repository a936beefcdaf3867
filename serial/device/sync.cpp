#include "serial/device/sync.h"

#include <atomic>
#include <thread>

namespace qel::dev {

namespace {
std::atomic<unsigned> g_divisor{1};
}

void SetTimeScale(unsigned divisor) { g_divisor = divisor == 0 ? 1 : divisor; }
unsigned TimeScale() { return g_divisor; }

std::chrono::microseconds Scaled(DWORD ms) {
    return std::chrono::microseconds(static_cast<long long>(ms) * 1000 / g_divisor.load());
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        std::this_thread::yield();
        return;
    }
    std::this_thread::sleep_for(Scaled(ms));
}

double NowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

void Signal::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        set_ = true;
    }
    if (manual_) {
        cv_.notify_all();
    } else {
        cv_.notify_one();
    }
}

void Signal::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
}

bool Signal::IsSet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
}

bool Signal::Wait(DWORD ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool came;
    if (ms == INFINITE) {
        cv_.wait(lock, [this] { return set_; });
        came = true;
    } else {
        came = cv_.wait_for(lock, Scaled(ms), [this] { return set_; });
    }
    if (came && !manual_) set_ = false;
    return came;
}

}  // namespace qel::dev
