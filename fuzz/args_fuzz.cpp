// The command line as any script might pass it: the input's NUL-separated pieces are the
// arguments after the program name. Whatever they hold, a run that goes on has a port number
// of 1 to 255, a port name "COM" + the last argument, and a device name that fits the
// bootloader's eight characters.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/arguments.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> pieces{"bin2plv32"};
    std::string piece;
    for (std::size_t i = 0; i < size && pieces.size() < 6; ++i) {
        if (data[i] == 0) {
            pieces.push_back(piece);
            piece.clear();
        } else {
            piece += static_cast<char>(data[i]);
        }
    }
    if (pieces.size() < 6) pieces.push_back(piece);
    std::vector<const char*> argv;
    for (const std::string& p : pieces) argv.push_back(p.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(pieces.size());

    Arguments args;
    if (!ParseArguments(argc, argv.data(), args)) return 0;
    if (argc != 3 && argc != 4) std::abort();
    if (args.portNumber < 1 || args.portNumber > 255) std::abort();
    if (args.portName != "COM" + pieces.back()) std::abort();
    if (args.targetName.size() > 8) std::abort();
    if (!args.targetName.empty() && args.startAddress != -1) std::abort();
    if (args.isFpgaFile != (args.filePath.find(".vme") != std::string::npos)) std::abort();
    return 0;
}
