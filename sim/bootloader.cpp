// The box's bootloader: device name, ready prompts, REMOTE command frames and the commands.
#include <algorithm>

#include "serial/device/sync.h"
#include "sim/box_impl.h"
#include "sim/link_checksum.h"

namespace qel::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kTextGap = std::chrono::milliseconds(500);

Clock::duration Ms(double ms) {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

std::uint32_t BigEndian32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

bool UsableRate(std::uint32_t baud) {
    static const std::uint32_t rates[] = {1200,  2400,  4800,   9600,   19200,
                                          38400, 57600, 115200, 230400, 460800};
    return std::find(std::begin(rates), std::end(rates), baud) != std::end(rates);
}

std::string Printable(const std::string& s) {
    std::string out;
    for (char c : s) out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

}  // namespace

void Box::Impl::BootloaderStep() {
    auto now = Clock::now();
    double waitMs = 100;
    // A host sends a name or keyword in one go: what is left of an abandoned exchange must
    // not run into the next name.
    if (!text.empty() && now - lastByte > kTextGap) text.clear();
    if (state == State::Ready) {
        if (text.empty() && now >= nextPrompt) {
            link.Put('r');
            nextPrompt = now + Ms(ModelMs(opt.promptRepeatMs));
        }
        waitMs = std::chrono::duration<double, std::milli>(nextPrompt - now).count();
        waitMs = std::max(1.0, std::min(waitMs, 100.0));
    }
    int b = link.Get(waitMs);
    if (b < 0) return;
    lastByte = Clock::now();
    if (b == 0) {
        TextEnded();
    } else if (b >= 0x20 && b < 0x7F && text.size() < 64) {
        text.push_back(static_cast<char>(b));
    } else {
        // Garbage (a byte heard at the wrong rate) ends any name or keyword in progress.
        text.clear();
    }
}

// The bootloader scans its input for a keyword or name ended by NUL, so a stray byte left
// over from an abandoned exchange (a "-", a garbled byte) does not hide what follows it.
bool EndsWith(const std::string& text, const std::string& tail) {
    return !tail.empty() && text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void Box::Impl::TextEnded() {
    std::string t;
    t.swap(text);
    if (EndsWith(t, "REMOTE")) {
        if (state == State::Ready) {
            CommandFrame();
        } else {
            Event("REMOTE ignored: no device name yet");
        }
        return;
    }
    if (std::any_of(opt.names.begin(), opt.names.end(),
                    [&](const std::string& name) { return name == t || EndsWith(t, name); })) {
        Event("name '" + t + "' accepted");
        link.Put('r');
        state = State::Ready;
        nextPrompt = Clock::now() + Ms(ModelMs(opt.promptRepeatMs));
        return;
    }
    if (t.empty()) return;
    Event("name '" + Printable(t) + "' ignored");
    // Another box's name: this one keeps quiet until it hears its own.
    state = State::Listening;
}

bool Box::Impl::Expect(std::uint8_t wanted, const char* where) {
    int b = link.Get(opt.replyTimeoutMs);
    if (b == wanted) return true;
    if (b == Link::kInterrupted) return false;
    std::string got = b < 0 ? "nothing" : Hex(static_cast<std::uint32_t>(b));
    Violation(std::string("expected '") + static_cast<char>(wanted) + "' " + where + ", got " +
              got);
    return false;
}

void Box::Impl::CommandFrame() {
    const int index = commandCount++;
    std::uint16_t crc = 0;
    std::uint8_t plain[12];
    for (int i = 0; i < 12; ++i) {
        int b = link.Get(opt.replyTimeoutMs);
        if (b < 0) {
            if (b == Link::kTimeout)
                Violation("command frame cut short after " + std::to_string(i));
            return;
        }
        plain[i] = static_cast<std::uint8_t>(b ^ (crc & 0xFF));
        crc = ChecksumByte(crc, plain[i]);
    }
    int lo = link.Get(opt.replyTimeoutMs);
    int hi = lo < 0 ? lo : link.Get(opt.replyTimeoutMs);
    if (hi < 0) {
        if (hi == Link::kTimeout) Violation("command frame without its checksum");
        return;
    }
    CommandRecord cmd;
    cmd.p1 = BigEndian32(plain);
    cmd.p2 = BigEndian32(plain + 4);
    cmd.name.assign(reinterpret_cast<const char*>(plain + 8), 3);
    const bool sumOk = (lo | (hi << 8)) == crc && plain[11] == 0;
    const Faults f = CurrentFaults();
    const bool wrongEcho = f.wrongEchoCommand == index;

    auto record = [&] {
        {
            std::lock_guard<std::mutex> lock(mutex);
            commands.push_back(cmd);
        }
        Event("command " + Printable(cmd.name) + " " + Hex(cmd.p1) + " " + Hex(cmd.p2) +
              (cmd.ok ? " ok" : " rejected"));
    };

    if (!Expect('L', "for the checksum echo")) return record();
    link.Put(static_cast<std::uint8_t>(crc & 0xFF));
    if (!Expect('H', "for the checksum echo")) return record();
    std::uint8_t echoHi = static_cast<std::uint8_t>(crc >> 8);
    if (wrongEcho) echoHi ^= 0x5A;
    link.Put(echoHi);
    int answer = link.Get(opt.replyTimeoutMs);
    if (answer == '+') {
        if (!sumOk) {
            Violation("host confirmed a frame whose checksum did not match");
        } else if (wrongEcho) {
            Violation("host confirmed a wrong checksum echo");
        } else {
            cmd.ok = true;
        }
    } else if (answer == '-') {
        if (sumOk && !wrongEcho) Violation("host rejected a frame whose echo was right");
    } else if (answer != Link::kInterrupted) {
        Violation("expected '+' or '-' after the echo, got " +
                  (answer < 0 ? std::string("nothing") : Hex(static_cast<std::uint32_t>(answer))));
    }
    record();
    nextPrompt = Clock::now();
    if (cmd.ok) Execute(cmd);
}

void Box::Impl::Execute(const CommandRecord& cmd) {
    const std::string& n = cmd.name;
    if (n == "NOP") return;
    if (n == "SBD") return SwitchRate(cmd.p1);
    if (n == "DEL") return Erase(cmd.p1, cmd.p2);
    if (n == "PRO") {
        if (cmd.p2 != cmd.p1)
            Violation("PRO with P2 " + Hex(cmd.p2) + " other than P1 " + Hex(cmd.p1));
        return Program(cmd.p1);
    }
    if (n == "RDM") return ReadMemory(cmd.p1, cmd.p2);
    if (n == "WRM") return WriteMemory(cmd.p1);
    if (n == "RST") {
        link.Drain();
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++resets;
        }
        Event("reset");
        return PowerOn("after RST");
    }
    if (n == "GSN" || n == "GHV" || n == "GSS" || n == "GBV" || n == "GPV") {
        if (cmd.p1 != 0x10000 || cmd.p2 != 0x1FFFF) {
            Violation(n + " with parameters " + Hex(cmd.p1) + " " + Hex(cmd.p2));
        }
        return TextAnswer(n);
    }
    Violation("unknown command '" + Printable(n) + "'");
}

void Box::Impl::SwitchRate(std::uint32_t baud) {
    if (!UsableRate(baud)) {
        Violation("SBD to " + std::to_string(baud) + " baud");
        return;
    }
    if (!link.Drain()) return;
    SetLinkRate(baud);
    // Give the host time to follow before the first prompt at the new rate.
    nextPrompt = Clock::now() + Ms(ModelMs(opt.switchSettleMs));
}

void Box::Impl::Erase(std::uint32_t first, std::uint32_t last) {
    const int index = eraseCount++;
    if (last < first || last >= kFlashSize) {
        Violation("erase of " + Hex(first) + "-" + Hex(last));
        link.Put('-');
        return;
    }
    const std::uint32_t periods = ((last - first) >> 16) + 1;
    const double ms = ModelMs(opt.eraseMsPer64K) * periods;
    link.AddBusy(ms);
    if (!link.Pause(ms)) return;
    if (index < CurrentFaults().refuseErase) {
        Event("erase " + Hex(first) + "-" + Hex(last) + " refused");
        link.Put('-');
        return;
    }
    const std::uint32_t end = std::min<std::uint32_t>(last | 1, kFlashSize - 1);
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::fill(flash.begin() + first, flash.begin() + end + 1, 0xFF);
        erased.push_back({first, last});
    }
    Event("erase " + Hex(first) + "-" + Hex(last));
    link.Put('+');
    Expect('n', "after the erase");
}

void Box::Impl::Program(std::uint32_t address) {
    const int index = blockCount++;
    std::vector<std::uint16_t> words;
    if (!ReceiveBlock(words, true, index)) return;
    const double ms = ModelMs(opt.programMsPerBlock);
    link.AddBusy(ms);
    if (!link.Pause(ms)) return;
    const Faults f = CurrentFaults();
    bool refuse = f.refuseBlock == index && f.refuseAtProgram;
    const std::uint64_t end = std::uint64_t{address} + 2 * words.size();
    if ((address & 1) != 0 || end > kFlashSize) {
        Violation("block " + std::to_string(index) + " of " + std::to_string(words.size()) +
                  " words at " + Hex(address));
        refuse = true;
    }
    if (refuse) {
        Event("block " + std::to_string(index) + " at " + Hex(address) + " refused");
        link.Put('-');
        return;
    }
    std::uint32_t overwritten = 0;
    std::uint32_t firstOverwrite = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < words.size(); ++i) {
            // Words are kept high byte first: the flash then reads like the image file.
            const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(words[i] >> 8),
                                           static_cast<std::uint8_t>(words[i] & 0xFF)};
            for (int k = 0; k < 2; ++k) {
                std::uint8_t& cell = flash[address + 2 * i + k];
                // Programming only clears bits; a second value over a programmed byte is a
                // host fault even where the AND happens to give the same result.
                if (cell != 0xFF && bytes[k] != 0xFF && overwritten++ == 0) {
                    firstOverwrite = static_cast<std::uint32_t>(address + 2 * i + k);
                }
                cell &= bytes[k];
            }
        }
    }
    if (overwritten > 0) {
        Violation("block " + std::to_string(index) + " programmed " + std::to_string(overwritten) +
                  " bytes over unerased flash, first at " + Hex(firstOverwrite));
    }
    Event("block " + std::to_string(index) + " at " + Hex(address) + ", " +
          std::to_string(words.size()) + " words");
    link.Put('+');
    if (f.dieAfterBlock == index) {
        link.Drain();
        dead = true;
        Event("dead");
        return;
    }
    Expect('n', "after programming");
}

void Box::Impl::ReadMemory(std::uint32_t first, std::uint32_t last) {
    const int index = readCount++;
    std::uint64_t n = last >= first ? (std::uint64_t{last} - first + 1) / 2 : 0;
    if ((first & 1) != 0) Violation("memory read at odd address " + Hex(first));
    if (n > 2048) {
        Violation("memory read of " + std::to_string(n) + " words");
        n = 2048;
    }
    if (first >= kFlashSize) {
        Violation("memory read at " + Hex(first));
        n = 0;
    } else if (first + 2 * n > kFlashSize) {
        Violation("memory read past the flash at " + Hex(first));
        n = (kFlashSize - first) / 2;
    }
    if (index == CurrentFaults().shortRead && n > 0) {
        --n;
        Event("memory read " + std::to_string(index) + " one word short");
    }
    std::vector<std::uint16_t> words(static_cast<std::size_t>(n));
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < words.size(); ++i) {
            words[i] =
                static_cast<std::uint16_t>((flash[first + 2 * i] << 8) | flash[first + 2 * i + 1]);
        }
    }
    Event("read " + Hex(first) + ", " + std::to_string(n) + " words");
    SendBlock(words, true);
}

void Box::Impl::WriteMemory(std::uint32_t address) {
    std::vector<std::uint16_t> words;
    if (!ReceiveBlock(words, true, -1)) return;
    const std::uint64_t end = std::uint64_t{address} + 2 * words.size();
    if ((address & 1) != 0 || end > kFlashSize) {
        Violation("memory write of " + std::to_string(words.size()) + " words at " + Hex(address));
        link.Put('-');
        return;
    }
    {
        // Memory, not flash: plain writes.
        std::lock_guard<std::mutex> lock(mutex);
        for (std::size_t i = 0; i < words.size(); ++i) {
            flash[address + 2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
            flash[address + 2 * i + 1] = static_cast<std::uint8_t>(words[i] & 0xFF);
        }
    }
    Event("write " + Hex(address) + ", " + std::to_string(words.size()) + " words");
    link.Put('+');
    Expect('n', "after the memory write");
}

void Box::Impl::TextAnswer(const std::string& command) {
    Answer a;
    {
        std::lock_guard<std::mutex> lock(mutex);
        a = answers[command];
    }
    std::string bytes = a.text;
    if (a.terminated) bytes.push_back('\0');
    if (bytes.size() % 2) bytes.push_back('\0');
    bytes.resize(std::min<std::size_t>(bytes.size(), 4096));
    // Text words carry the earlier character in the high byte.
    std::vector<std::uint16_t> words(bytes.size() / 2);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::uint16_t>((static_cast<std::uint8_t>(bytes[2 * i]) << 8) |
                                              static_cast<std::uint8_t>(bytes[2 * i + 1]));
    }
    Event("answer " + command + " '" + Printable(a.text) + "'");
    SendBlock(words, false);
}

bool Box::Impl::ReceiveBlock(std::vector<std::uint16_t>& words, bool bulk, int blockIndex) {
    const Faults f = CurrentFaults();
    auto take = [&](const char* what) {
        int b = link.Get(opt.replyTimeoutMs);
        if (b == Link::kTimeout) Violation(std::string("block without its ") + what);
        return b;
    };
    link.Put('*');
    int lo = take("count");
    if (lo < 0) return false;
    link.Put('*');
    int hi = take("count");
    if (hi < 0) return false;
    const int count = lo | (hi << 8);
    std::uint16_t crc =
        ChecksumByte(ChecksumByte(0, static_cast<std::uint8_t>(lo)), static_cast<std::uint8_t>(hi));
    if (count > 2048) {
        Violation("block of " + std::to_string(count) + " words");
        link.Put('-');
        return false;
    }
    std::vector<std::uint8_t> data(2 * static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (!bulk) link.Put('*');
        int b = link.Get(opt.replyTimeoutMs);
        if (b < 0) {
            if (b == Link::kTimeout) {
                Violation("block cut short after " + std::to_string(i) + " of " +
                          std::to_string(data.size()) + " bytes");
            }
            return false;
        }
        data[i] = static_cast<std::uint8_t>(b);
    }
    const bool corrupt = blockIndex >= 0 && blockIndex == f.corruptBlock && count > 0;
    if (corrupt) {
        data[data.size() / 2] ^= 0x10;
        Event("block " + std::to_string(blockIndex) + " corrupted on the line");
    }
    words.resize(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::uint16_t>(data[2 * i] | (data[2 * i + 1] << 8));
        crc = ChecksumWord(crc, words[i]);
    }
    link.Put('*');
    int clo = take("checksum");
    if (clo < 0) return false;
    if (clo != (crc & 0xFF)) {
        if (!corrupt)
            Violation("block checksum low byte " + Hex(static_cast<std::uint32_t>(clo)) +
                      ", box has " + Hex(crc & 0xFF));
        link.Put('-');
        return false;
    }
    if (blockIndex >= 0 && blockIndex == f.refuseBlock && !f.refuseAtProgram) {
        Event("block " + std::to_string(blockIndex) + " refused at its checksum");
        link.Put('-');
        return false;
    }
    link.Put('*');
    int chi = take("checksum");
    if (chi < 0) return false;
    if (chi != (crc >> 8)) {
        if (!corrupt)
            Violation("block checksum high byte " + Hex(static_cast<std::uint32_t>(chi)) +
                      ", box has " + Hex(crc >> 8));
        link.Put('-');
        return false;
    }
    link.Put('+');
    return true;
}

bool Box::Impl::SendBlock(const std::vector<std::uint16_t>& words, bool bulk) {
    const std::size_t count = words.size();
    std::uint16_t crc = 0;
    const std::uint8_t countBytes[2] = {static_cast<std::uint8_t>(count & 0xFF),
                                        static_cast<std::uint8_t>(count >> 8)};
    for (std::uint8_t c : countBytes) {
        if (!Expect('*', "before a count byte")) return false;
        link.Put(c);
        crc = ChecksumByte(crc, c);
    }
    std::vector<std::uint8_t> data;
    data.reserve(2 * count);
    for (std::uint16_t w : words) {
        data.push_back(static_cast<std::uint8_t>(w & 0xFF));
        data.push_back(static_cast<std::uint8_t>(w >> 8));
        crc = ChecksumWord(crc, w);
    }
    if (bulk) {
        link.Put(data.data(), static_cast<int>(data.size()));
    } else {
        for (std::uint8_t b : data) {
            if (!Expect('*', "before a data byte")) return false;
            link.Put(b);
        }
    }
    if (!Expect('*', "before the checksum")) return false;
    link.Put(static_cast<std::uint8_t>(crc & 0xFF));
    int b = link.Get(opt.replyTimeoutMs);
    if (b == '-') {
        Event("host rejected the block");
        return false;
    }
    if (b != '*') {
        if (b != Link::kInterrupted) Violation("expected '*' before the checksum high byte");
        return false;
    }
    link.Put(static_cast<std::uint8_t>(crc >> 8));
    b = link.Get(opt.replyTimeoutMs);
    if (b == '+') return true;
    if (b == '-') {
        Event("host rejected the block");
    } else if (b != Link::kInterrupted) {
        Violation("expected '+' or '-' after a block");
    }
    return false;
}

}  // namespace qel::sim
