// The identification strings of a firmware image: the texts between offsets 1280 and 1536
// that name the firmware and its version, and the bootloader name that belongs to it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image_ids {

constexpr std::size_t FIRST = 1280;     // first position a text may start at
constexpr std::size_t LAST = 1536;      // last position a text may start at
constexpr std::size_t MIN_READ = 1534;  // a shorter image carries no identification
constexpr std::size_t MAX_TEXTS = 10;
constexpr std::size_t MAX_LENGTH = 255;

// The counted texts (three characters or more) in order of position, at most MAX_TEXTS of
// at most MAX_LENGTH characters each. Only the size bytes of data are looked at: a text
// that runs into the end of the data ends there, positions beyond it hold no text.
std::vector<std::string> Collect(const std::uint8_t* data, std::size_t size);

// The version carried by a text: the (at most five) characters after its first ":: ".
// False when the text has no ":: ".
bool VersionOf(const std::string& text, std::string& version);

// The name the bootloader answers to for a firmware name.
const char* DeviceNameFor(const std::string& firmwareName);

}  // namespace image_ids
