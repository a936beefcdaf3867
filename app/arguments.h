// The command line of one run, read into plain values before anything is opened.
#pragma once
#include <string>

struct Arguments {
    std::string filePath;
    bool isFpgaFile = false;  // the path contains ".vme": update the FPGA instead
    std::string targetName;   // device name given with "target=", empty if none
    int startAddress = -1;    // -1: take the address from the image
    int portNumber = 0;
    std::string portName;  // "COM" + the port argument as typed
};

// Reads the program's argument vector (program name first). False when the count is wrong or
// the port number is outside 1..255: the caller then shows the usage text.
bool ParseArguments(int argc, const char* const* argv, Arguments& args);

// Hexadecimal as a base-16 strtol reads it (white space, sign, "0x"), clamped to 32 bits.
int ParseHexAddress(const char* text);
// Decimal as strtol reads it, clamped to 32 bits; no digits gives 0.
int ParseDecimal(const char* text);
// The device name carried by an argument that contains "target=".
std::string TargetNameOf(const std::string& argument);
