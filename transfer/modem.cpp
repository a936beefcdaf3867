#include "transfer/modem.h"

#include <cstring>
#include <string>
#include <string_view>

#include "serial/device/sync.h"
#include "serial/v24.h"

const char* const ModemResult[kModemResults] = {"OK",   "NO CARRIER",  "ERROR",
                                                "BUSY", "NO DIALTONE", "CONNECT"};

namespace {

// Dialling, ringing and the carrier handshake may take this long before the modem says a word.
constexpr int kDialAnswerMs = 120000;
// The time-out the dial leaves behind when the modem says nothing at all.
constexpr int kDialPortTimeoutMs = 1000;
// Once the modem talks, a pause this long ends one piece of its answer.
constexpr int kAnswerPauseMs = 5000;
// The answer text holds 80 characters. After each first byte a dial reads on, but no more
// than 79 characters over the whole call, so that a chattering modem cannot keep it going.
constexpr std::size_t kAnswerSize = 80;
constexpr int kFurtherChars = 79;

// Escape guard time around "+++": the modem takes it as an escape only after silence.
constexpr int kGuardMs = 2000;
// After ATH the modem answers OK (or NO CARRIER) at once; silence this long means it is done.
constexpr int kHangUpDrainMs = 500;
// After an AT command that changes settings the modem answers within this.
constexpr int kCommandDrainMs = 1000;
// A line that never falls quiet (a modem still passing data, line noise) must not hold the
// caller: the answer is discarded for at most this long.
constexpr double kDiscardLimitMs = 10000;

// The modem's answer to a dial: at most 80 characters. A modem that chatters past that loses
// its oldest characters, since the word that matters comes last.
class AnswerText {
  public:
    void Append(char c) {
        if (len_ == kAnswerSize) {
            std::memmove(text_, text_ + 1, kAnswerSize - 1);
            --len_;
            if (start_ > 0) --start_;
        }
        text_[len_++] = c;
    }

    // The modem echoes the command before it answers. When the echo is there, the answer is
    // looked for behind it and its line feed; true when it was found.
    bool SkipEcho(const std::string& command) {
        const std::size_t at = Rest().find(command);
        if (at == std::string_view::npos) return false;
        start_ += at + command.size() + 1;
        return true;
    }

    // The index of the first result word (in table order) the rest holds, else -1.
    int Classify() const {
        for (int i = 0; i < kModemResults; ++i) {
            if (Rest().find(ModemResult[i]) != std::string_view::npos) return i;
        }
        return -1;
    }

  private:
    std::string_view Rest() const {
        if (start_ >= len_) return {};
        return std::string_view(text_ + start_, len_ - start_);
    }

    char text_[kAnswerSize] = {};
    std::size_t len_ = 0;
    std::size_t start_ = 0;  // where the answer is looked for; may lie one past the end
};

void DiscardAnswer(int handle) {
    const double end = qel::dev::NowMs() + kDiscardLimitMs / qel::dev::TimeScale();
    while (V24ReadByte(handle) >= 0 && qel::dev::NowMs() < end) {
    }
}

// Sends a command whose answer nobody needs and puts the caller's time-out back.
template <typename Send>
int CommandDiscardingAnswer(int handle, int drainMs, Send send) {
    const int saved = V24GetTimeout(handle);
    send();
    V24SetTimeout(handle, drainMs);
    DiscardAnswer(handle);
    return V24SetTimeout(handle, saved);
}

}  // namespace

int ModemDial(int handle, int tone, const char* number) {
    V24SetTimeout(handle, kDialPortTimeoutMs);
    std::string command = "ATD";
    command += tone ? 'T' : 'P';
    command += number ? number : "";
    command += '\r';
    V24WriteString(handle, command.c_str());

    AnswerText text;
    int further = 0;
    for (;;) {
        unsigned char first = 0;
        const int got = V24ReadByteTimed(handle, &first, kDialAnswerMs);
        if (got < 0) return MODEM_PORT_FAILED;
        if (got == 0) return MODEM_NO_ANSWER;
        text.Append(static_cast<char>(first));
        if (V24SetTimeout(handle, kAnswerPauseMs) != 0) return MODEM_PORT_FAILED;
        while (further < kFurtherChars) {
            const int c = V24ReadByte(handle);
            if (c == V24_TIMEOUT) break;
            if (c < 0) return MODEM_PORT_FAILED;
            text.Append(static_cast<char>(c));
            ++further;
        }
        if (text.SkipEcho(command)) {
            // A modem that connects at once sends its answer with the echo: it is not waited
            // for a second time.
            const int word = text.Classify();
            if (word >= 0) return word;
            continue;
        }
        const int word = text.Classify();
        return word >= 0 ? word : MODEM_UNKNOWN_ANSWER;
    }
}

int ModemHangUp(int handle) {
    return CommandDiscardingAnswer(handle, kHangUpDrainMs, [handle] {
        qel::dev::Sleep(kGuardMs);
        V24WriteString(handle, "+++");
        qel::dev::Sleep(kGuardMs);
        V24WriteString(handle, "ATH\r");
    });
}

int ModemAnswer(int handle) {
    return V24WriteString(handle, "ATA\r");
}

int ModemInit(int handle, const char* settings) {
    return CommandDiscardingAnswer(handle, kCommandDrainMs, [handle, settings] {
        V24Printf(handle, "AT%s\r", settings ? settings : "E1V1Q0S0=0");
    });
}

int ModemSetEchoQuietVerbose(int handle, int echo, int quiet, int verbose) {
    return CommandDiscardingAnswer(
        handle, kCommandDrainMs, [=] { V24Printf(handle, "ATE%dQ%dV%d\r", echo, quiet, verbose); });
}

int ModemReset(int handle) {
    return V24WriteString(handle, "ATZ\r");
}
