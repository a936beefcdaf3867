// Sample files for demos and tests: a firmware image with identification strings and an
// FPGA configuration file with its "coVersion" header.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qel::sim {

// A firmware image of size bytes (at least 2): a deterministic pattern, with (when the
// image is long enough) the firmware name at offset 1280 and "Release :: <version>" after
// it, each ended by a NUL.
std::vector<std::uint8_t> MakeFirmwareImage(std::uint32_t size, const std::string& firmwareName,
                                            const std::string& version);

// An FPGA configuration file of size bytes: "coVersion <version>" padded with spaces to
// 14 bytes, then a deterministic data pattern.
std::vector<std::uint8_t> MakeVmeFile(std::uint32_t size, int version);

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes);

}  // namespace qel::sim
