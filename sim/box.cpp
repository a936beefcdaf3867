#include "sim/box.h"

#include <cstdio>

#include "serial/device/sync.h"
#include "sim/box_impl.h"

namespace qel::sim {

std::string Hex(std::uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", value);
    return buf;
}

std::map<std::string, Answer> DefaultAnswers() {
    return {
        {"GSN", {"SN 4711-0815", true}},       {"GHV", {"Hardware version 8", true}},
        {"GSS", {"SSN 0042-1377-0001", true}}, {"GBV", {"Boot 2.05", true}},
        {"GPV", {"Program 01.23", true}},
    };
}

Box::Impl::Impl(std::unique_ptr<Wire> w, BoxOptions o)
    : wire(std::move(w)), opt(std::move(o)), link(*wire, opt.pace, stop) {
    flash.assign(kFlashSize, 0xFF);
    faults = opt.faults;
    answers = DefaultAnswers();
    for (const auto& a : opt.answers) answers[a.first] = a.second;
    fpgaVersion = opt.fpgaVersion;
    if (opt.eraseMsPer64K < 0) opt.eraseMsPer64K = opt.pace ? 700 : 0;
    if (opt.programMsPerBlock < 0) opt.programMsPerBlock = opt.pace ? 20 : 0;
}

double Box::Impl::ModelMs(int ms) const {
    return std::chrono::duration<double, std::milli>(dev::Scaled(static_cast<dev::DWORD>(ms)))
        .count();
}

void Box::Impl::Event(const std::string& line) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(line);
    }
    changed.notify_all();
    if (opt.log) opt.log(line);
}

void Box::Impl::Violation(const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        violations.push_back(what);
    }
    Event("violation " + what);
}

void Box::Impl::SetLinkRate(std::uint32_t baud) {
    if (link.Rate() == baud) return;
    link.SetRate(baud);
    rate = baud;
    {
        std::lock_guard<std::mutex> lock(mutex);
        rateSwitches.push_back(baud);
    }
    Event("rate " + std::to_string(baud));
}

void Box::Impl::PowerOn(const char* why) {
    link.DiscardOutput();
    SetLinkRate(19200);
    text.clear();
    Faults f = CurrentFaults();
    if (opt.mode == BoxMode::Firmware) {
        state = State::Firmware;
    } else {
        state = f.needsBreak ? State::Asleep : State::Listening;
    }
    expectSeq = -1;
    boxSeq = opt.fpgaFirstSeq;
    handshakeDue = false;
    fpgaSilent = false;
    link.SetLowRateBreaks(state != State::Firmware);
    Event(std::string("start ") + why + (state == State::Firmware ? " firmware" : " bootloader"));
}

void Box::Impl::RestartAfterBreak() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++breaks;
    }
    Event("break");
    link.TakeBreak();
    // The bootloader starts when the line comes back from the break.
    auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (link.BreakOn() && !link.Stopping() && std::chrono::steady_clock::now() < limit) {
        link.Pause(2);
        link.TakeBreak();
    }
    link.TakeBreak();
    link.DiscardOutput();
    link.DiscardInput();
    SetLinkRate(19200);
    // Up and prompting: a host that breaks has lost the box and names it again, and a wrong
    // name still silences it.
    state = State::Ready;
    nextPrompt = std::chrono::steady_clock::now();
    text.clear();
    expectSeq = -1;
    boxSeq = opt.fpgaFirstSeq;
    handshakeDue = false;
    fpgaSilent = false;
    link.SetLowRateBreaks(true);
}

void Box::Impl::Idle() {
    int got = link.Get(50);
    if (got == Link::kInterrupted && link.BreakPending()) {
        if (dead) {
            link.TakeBreak();
        } else {
            RestartAfterBreak();
        }
    }
}

void Box::Impl::Run() {
    PowerOn("power-on");
    while (!link.Stopping()) {
        if (!dead && CurrentFaults().silent) {
            dead = true;
            Event("dead");
        }
        if (dead) {
            link.DiscardInput();
            Idle();
            continue;
        }
        if (link.BreakPending()) {
            RestartAfterBreak();
            continue;
        }
        switch (state) {
            case State::Asleep:
                Idle();
                break;
            case State::Firmware:
                FirmwareStep();
                break;
            default:
                BootloaderStep();
                break;
        }
    }
    // Whatever is still queued leaves before the thread ends (bounded).
    link.Drain();
}

// --- Box --------------------------------------------------------------------------------

Box::Box(std::unique_ptr<Wire> wire, BoxOptions options)
    : impl_(std::make_unique<Impl>(std::move(wire), std::move(options))) {
    impl_->link.SetRate(19200);
}

Box::~Box() {
    Stop();
}

void Box::Start() {
    if (impl_->thread.joinable()) return;
    impl_->stop = false;
    impl_->thread = std::thread([this] { impl_->Run(); });
}

void Box::Stop() {
    impl_->stop = true;
    if (impl_->thread.joinable()) impl_->thread.join();
}

#define QEL_BOX_LOCK std::lock_guard<std::mutex> lock(impl_->mutex)

std::vector<std::uint8_t> Box::Flash() const {
    QEL_BOX_LOCK;
    return impl_->flash;
}

std::vector<std::uint8_t> Box::FlashRange(std::uint32_t address, std::uint32_t n) const {
    QEL_BOX_LOCK;
    if (address >= kFlashSize) return {};
    std::uint32_t end = address + std::min(n, kFlashSize - address);
    return {impl_->flash.begin() + address, impl_->flash.begin() + end};
}

std::vector<EraseRecord> Box::Erased() const {
    QEL_BOX_LOCK;
    return impl_->erased;
}

std::vector<CommandRecord> Box::Commands() const {
    QEL_BOX_LOCK;
    return impl_->commands;
}

std::vector<std::uint32_t> Box::RateSwitches() const {
    QEL_BOX_LOCK;
    return impl_->rateSwitches;
}

int Box::Breaks() const {
    QEL_BOX_LOCK;
    return impl_->breaks;
}

int Box::Resets() const {
    QEL_BOX_LOCK;
    return impl_->resets;
}

std::vector<FpgaFrameRecord> Box::FpgaFrames() const {
    QEL_BOX_LOCK;
    return impl_->fpgaFrames;
}

std::vector<std::uint8_t> Box::FpgaData() const {
    QEL_BOX_LOCK;
    return impl_->fpgaData;
}

std::vector<std::string> Box::Violations() const {
    QEL_BOX_LOCK;
    return impl_->violations;
}

std::vector<std::string> Box::Events() const {
    QEL_BOX_LOCK;
    return impl_->events;
}

LineStats Box::Stats() const {
    return impl_->link.Stats();
}

dev::DWORD Box::Rate() const {
    return impl_->rate;
}

bool Box::Dead() const {
    return impl_->dead;
}

void Box::LoadFlash(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    QEL_BOX_LOCK;
    for (std::size_t i = 0; i < bytes.size() && address + i < kFlashSize; ++i) {
        impl_->flash[address + i] = bytes[i];
    }
}

void Box::SetFaults(const Faults& faults) {
    QEL_BOX_LOCK;
    impl_->faults = faults;
}

void Box::SetAnswer(const std::string& command, const Answer& answer) {
    QEL_BOX_LOCK;
    impl_->answers[command] = answer;
}

void Box::SetFpgaVersion(int version) {
    QEL_BOX_LOCK;
    impl_->fpgaVersion = version;
}

bool Box::WaitUntil(const std::function<bool(const Box&)>& pred, int ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (pred(*this)) return true;
        std::unique_lock<std::mutex> lock(impl_->mutex);
        if (impl_->changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                                   std::chrono::milliseconds(5))) ==
                std::cv_status::timeout &&
            std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return pred(*this);
        }
    }
}

}  // namespace qel::sim
