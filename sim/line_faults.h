// Faults of the paced null-modem: what happens to the byte at a given offset of one
// direction of the line (offsets count every byte the sender put on the line, from 0).
#pragma once
#include <string>
#include <vector>

namespace qel::sim {

// Which direction the faults hit: the bytes our side sends, the bytes it receives, or both
// (each direction counting its own offsets).
enum class FaultDirection { Out, In, Both };

struct LineFaults {
    long long corruptEvery = 0;  // the N-th, 2N-th, ... byte arrives changed; 0: none
    long long dropEvery = 0;     // the N-th, 2N-th, ... byte is lost; 0: none
    std::vector<long long> corruptAt;
    std::vector<long long> dropAt;
    struct Stall {
        long long at;
        int ms;
    };
    std::vector<Stall> stalls;  // the line holds still for ms before the byte at this offset
    long long hangupAt = -1;    // the line is cut instead of this byte; -1: never
    FaultDirection direction = FaultDirection::Both;

    bool Any() const {
        return corruptEvery || dropEvery || !corruptAt.empty() || !dropAt.empty() ||
               !stalls.empty() || hangupAt >= 0;
    }
    bool Hits(bool out) const {
        return direction == FaultDirection::Both || (direction == FaultDirection::Out) == out;
    }
};

// What becomes of one byte.
struct ByteFate {
    bool drop = false;
    bool corrupt = false;
    bool hangup = false;  // the line is cut before this byte
    int stallMs = 0;      // pause of the line before this byte
};
ByteFate FateOf(const LineFaults& faults, long long offset);

// A corrupted byte differs from the original in every bit, so no check can miss it by luck.
inline unsigned char Corrupted(unsigned char byte) {
    return static_cast<unsigned char>(byte ^ 0xFF);
}

// One fault option as the nullmodem program takes it ("--corrupt-every" and its value);
// false when the option is not a fault option or its value is bad (error says why).
bool ParseLineFault(const std::string& option, const std::string& value, LineFaults& faults,
                    std::string& error);
bool IsLineFaultOption(const std::string& option);

}  // namespace qel::sim
