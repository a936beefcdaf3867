#include "app/arguments.h"

#include <cstdint>
#include <cstdlib>

namespace {

constexpr char kTargetKey[] = "target=";
constexpr std::size_t kTargetKeyLength = sizeof kTargetKey - 1;
constexpr std::size_t kDeviceNameMax = 8;

int ClampToInt(long value) {
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int>(value);
}

}  // namespace

int ParseHexAddress(const char* text) {
    return ClampToInt(std::strtol(text, nullptr, 16));
}

int ParseDecimal(const char* text) {
    return ClampToInt(std::strtol(text, nullptr, 10));
}

std::string TargetNameOf(const std::string& argument) {
    // Only the text after the key names the box. Cutting the last eight characters off the
    // whole argument would turn target=PLV into "rget=PLV", a name no box answers to.
    std::size_t key = argument.find(kTargetKey);
    std::string name =
        key == std::string::npos ? argument : argument.substr(key + kTargetKeyLength);
    // A longer name keeps its last eight characters, as it always has: scripts pass such
    // names, and a name no box answers to ends in "no answer" before anything is erased.
    if (name.size() > kDeviceNameMax) name = name.substr(name.size() - kDeviceNameMax);
    return name;
}

bool ParseArguments(int argc, const char* const* argv, Arguments& args) {
    if (argc != 3 && argc != 4) return false;
    args = Arguments{};
    args.filePath = argv[1];
    args.isFpgaFile = args.filePath.find(".vme") != std::string::npos;
    if (argc == 4) {
        std::string second = argv[2];
        if (second.find(kTargetKey) != std::string::npos) {
            args.targetName = TargetNameOf(second);
        } else {
            args.startAddress = ParseHexAddress(argv[2]);
        }
    }
    const char* port = argv[argc - 1];
    args.portNumber = ParseDecimal(port);
    if (args.portNumber < 1 || args.portNumber > 255) return false;
    args.portName = std::string("COM") + port;
    return true;
}
