#include "sim/hayes_modem.h"

#include <cctype>
#include <chrono>

#include "serial/device/sync.h"

namespace qel::sim {

namespace {

// A command line longer than this is cut; a real modem's buffer is smaller still.
constexpr std::size_t kLineLimit = 255;
constexpr char kBackspace = 8;

// The numeric form of a result (V0); the usual Hayes numbers, CONNECT at an unlisted rate
// as plain CONNECT. A word without a number goes out as it is.
std::string NumericResult(const std::string& word) {
    static const std::map<std::string, int> codes{{"OK", 0},
                                                  {"CONNECT", 1},
                                                  {"RING", 2},
                                                  {"NO CARRIER", 3},
                                                  {"ERROR", 4},
                                                  {"CONNECT 1200", 5},
                                                  {"NO DIALTONE", 6},
                                                  {"BUSY", 7},
                                                  {"NO ANSWER", 8},
                                                  {"CONNECT 2400", 10},
                                                  {"CONNECT 4800", 11},
                                                  {"CONNECT 9600", 12},
                                                  {"CONNECT 14400", 13},
                                                  {"CONNECT 19200", 14}};
    auto it = codes.find(word);
    if (it != codes.end()) return std::to_string(it->second);
    if (word.rfind("CONNECT", 0) == 0) return "1";
    return word;
}

bool IsConnect(const std::string& word) {
    return word.rfind("CONNECT", 0) == 0;
}

}  // namespace

HayesModem::HayesModem(std::unique_ptr<Wire> wire, ModemOptions options)
    : wire_(std::move(wire)),
      opt_(std::move(options)),
      echo_(opt_.echo),
      verbose_(opt_.verbose),
      quiet_(opt_.quiet) {}

HayesModem::~HayesModem() {
    Stop();
}

void HayesModem::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void HayesModem::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    EndCall();
}

void HayesModem::Ring(int times) {
    std::lock_guard<std::mutex> lock(mutex_);
    ringsLeft_ = times;
    rings_ = 0;
    lastRing_ = 0;
}

std::vector<std::string> HayesModem::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

int HayesModem::Escapes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return escapes_;
}

bool HayesModem::Online() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::Online;
}

bool HayesModem::InCall() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peer_ != nullptr;
}

double HayesModem::Since(double then) {
    return (dev::NowMs() - then) * dev::TimeScale();
}

void HayesModem::Run() {
    std::uint8_t buf[4096];
    while (!stop_) {
        // Short waits: the far end of a call and the modem's timers need looking at too.
        wire_->WaitReadable(std::chrono::milliseconds(2));
        const dev::DWORD hostRate = wire_->HostRate();
        if (hostRate != 0 && hostRate != wire_->Rate()) wire_->SetRate(hostRate);
        const int n = wire_->Read(buf, sizeof buf);
        std::lock_guard<std::mutex> lock(mutex_);
        const double now = dev::NowMs();
        if (n > 0) Receive(buf, n, now);
        Tick(now);
        PumpPeer();
        while (!toHost_.empty()) {
            const int sent = wire_->Write(reinterpret_cast<const std::uint8_t*>(toHost_.data()),
                                          static_cast<int>(toHost_.size()));
            if (sent <= 0) break;  // full for now, or gone: tried again next round
            toHost_.erase(0, static_cast<std::size_t>(sent));
        }
        if (n < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void HayesModem::Receive(const std::uint8_t* buf, int n, double now) {
    // Byte by byte: a command may turn the line into data in the middle of what came.
    for (int i = 0; i < n; ++i) {
        if (state_ == State::Online) {
            DataByte(buf[i], now);
        } else {
            CommandByte(buf[i], now);
        }
    }
}

void HayesModem::CommandByte(std::uint8_t b, double now) {
    if (state_ == State::Dialing) {
        // Any key ends a dial that has not been answered yet.
        state_ = State::Command;
        Log("dial aborted by the host");
        Result("NO CARRIER");
        return;
    }
    if (echo_) toHost_ += static_cast<char>(b);
    if (b == '\r') {
        const std::string line = line_;
        line_.clear();
        ProcessLine(line, now);
    } else if (b == kBackspace) {
        if (!line_.empty()) line_.pop_back();
    } else if (b != '\n' && line_.size() < kLineLimit) {
        line_ += static_cast<char>(b);
    }
}

void HayesModem::DataByte(std::uint8_t b, double now) {
    const bool quietBefore = Since(lastByte_) >= opt_.guardMs;
    lastByte_ = now;
    if (pluses_ > 0) {
        if (b == '+' && pluses_ < 3 && !quietBefore) {
            ++pluses_;
            return;
        }
        ForwardPluses();
    }
    if (b == '+' && quietBefore) {
        pluses_ = 1;  // held back until the guard time tells whether it is an escape
        return;
    }
    toPeer_ += static_cast<char>(b);
}

void HayesModem::ForwardPluses() {
    toPeer_.append(static_cast<std::size_t>(pluses_), '+');
    pluses_ = 0;
}

void HayesModem::Tick(double now) {
    if (state_ == State::Online && pluses_ > 0 && Since(lastByte_) >= opt_.guardMs) {
        if (pluses_ == 3) {
            pluses_ = 0;
            state_ = State::Command;
            ++escapes_;
            Log("escape");
            Result("OK");
        } else {
            ForwardPluses();
        }
    }
    if (state_ == State::Dialing && !dialAnswered_ && Since(dialStart_) >= opt_.dialMs) {
        dialAnswered_ = true;
        if (dialAnswer_.empty()) {
            Log("no answer");  // silence until the host gives up
        } else if (IsConnect(dialAnswer_)) {
            Connect(dialNumber_, dialAnswer_, now);
        } else {
            state_ = State::Command;
            Result(dialAnswer_);
        }
    }
    if (ringsLeft_ > 0 && !peer_ && state_ == State::Command &&
        (rings_ == 0 || Since(lastRing_) >= opt_.ringMs)) {
        --ringsLeft_;
        ++rings_;
        lastRing_ = now;
        ringing_ = true;
        Result("RING");
        const auto s0 = registers_.find(0);
        if (s0 != registers_.end() && s0->second > 0 && rings_ >= s0->second) {
            ringsLeft_ = 0;
            Connect("", opt_.answerResult, now);
        }
    } else if (ringing_ && ringsLeft_ == 0 && Since(lastRing_) >= opt_.ringMs) {
        ringing_ = false;  // the caller gave up
    }
}

void HayesModem::PumpPeer() {
    if (state_ != State::Online || !peer_) return;
    if (!toPeer_.empty()) {
        peer_->Write(reinterpret_cast<const std::uint8_t*>(toPeer_.data()),
                     static_cast<int>(toPeer_.size()));
        toPeer_.clear();
    }
    std::uint8_t buf[4096];
    const int n = peer_->Read(buf, sizeof buf);
    if (n > 0) {
        toHost_.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
    } else if (n < 0) {
        Log("far end hung up");
        EndCall();
        Result("NO CARRIER");
    }
}

void HayesModem::ProcessLine(const std::string& line, double now) {
    std::size_t at = std::string::npos;
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(line[i])) == 'A' &&
            std::toupper(static_cast<unsigned char>(line[i + 1])) == 'T') {
            at = i;
            break;
        }
    }
    if (at == std::string::npos) return;
    const std::string s = line.substr(at);
    commands_.push_back(s);
    Log("command " + s);

    std::size_t i = 2;
    auto number = [&] {
        int v = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])))
            v = v * 10 + (s[i++] - '0');
        return v;
    };
    while (i < s.size()) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i++])));
        switch (c) {
            case ' ':
                break;
            case 'E':
                echo_ = number() != 0;
                break;
            case 'Q':
                quiet_ = number() != 0;
                break;
            case 'V':
                verbose_ = number() != 0;
                break;
            case 'H':
                number();
                EndCall();
                break;
            case 'Z':
                number();
                EndCall();
                echo_ = opt_.echo;
                verbose_ = opt_.verbose;
                quiet_ = opt_.quiet;
                registers_.clear();
                break;
            case 'D':
                Dial(s.substr(i), now);
                return;
            case 'A':
                if (ringing_ && !peer_) {
                    ringsLeft_ = 0;
                    ringing_ = false;
                    Connect("", opt_.answerResult, now);
                } else {
                    Result("NO CARRIER");
                }
                return;
            case 'O':
                number();
                if (peer_) {
                    state_ = State::Online;
                    lastByte_ = now;
                    Result(connectWord_);
                } else {
                    Result("NO CARRIER");
                }
                return;
            case 'S': {
                const int reg = number();
                if (i < s.size() && s[i] == '=') {
                    ++i;
                    registers_[reg] = number();
                } else if (i < s.size() && s[i] == '?') {
                    ++i;
                    Result(std::to_string(registers_[reg]));
                } else {
                    Result("ERROR");
                    return;
                }
                break;
            }
            case '&':
                if (i >= s.size() || !std::isalpha(static_cast<unsigned char>(s[i]))) {
                    Result("ERROR");
                    return;
                }
                ++i;
                number();
                break;
            case 'I':
                number();
                Result("QEL SCRIPTED MODEM");
                break;
            case 'L':
            case 'M':
            case 'X':
            case 'B':
            case 'C':
            case 'N':
            case 'W':
                number();
                break;
            default:
                Result("ERROR");
                return;
        }
    }
    Result("OK");
}

void HayesModem::Dial(const std::string& rest, double now) {
    std::string number;
    for (char c : rest) {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if ((u == 'T' || u == 'P') && number.empty()) continue;  // tone or pulse
        if (c != ' ') number += c;
    }
    auto it = opt_.dialResults.find(number);
    dialAnswer_ = it != opt_.dialResults.end() ? it->second : opt_.dialResult;
    dialNumber_ = number;
    dialStart_ = now;
    dialAnswered_ = false;
    state_ = State::Dialing;
    Log("dialling " + number);
}

void HayesModem::Connect(const std::string& number, const std::string& word, double now) {
    std::shared_ptr<DataPeer> peer =
        opt_.connect ? opt_.connect(number) : std::make_shared<MemoryPeer>();
    if (!peer) {
        state_ = State::Command;
        Log("far end did not answer");
        Result("NO CARRIER");
        return;
    }
    Result(word);
    peer_ = std::move(peer);
    connectWord_ = word;
    state_ = State::Online;
    lastByte_ = now;
    pluses_ = 0;
    toPeer_.clear();
    Log("connected " + number);
}

void HayesModem::EndCall() {
    if (state_ == State::Online || state_ == State::Dialing) state_ = State::Command;
    pluses_ = 0;
    toPeer_.clear();
    if (!peer_) return;
    peer_->HangUp();
    peer_.reset();
    Log("hung up");
}

void HayesModem::Result(const std::string& word) {
    Log("result " + word);
    if (quiet_) return;
    if (verbose_) {
        toHost_ += "\r\n" + word + "\r\n";
    } else {
        toHost_ += NumericResult(word) + "\r";
    }
}

void HayesModem::Log(const std::string& line) {
    if (opt_.log) opt_.log(line);
}

}  // namespace qel::sim
