// What each backend provides beside its device: the one of them the build compiles answers.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "serial/device/device.h"

namespace qel::dev {

// Opens the system's serial device for a path such as "\\.\COM3" (see OpenDevice).
std::shared_ptr<Device> OpenPlatformDevice(const std::string& path, bool exclusive, DWORD& error);

// Runs body on a thread of its own, not joined, one step below normal priority where the
// system has thread priorities. False when no thread could be started.
bool StartBackgroundThread(std::function<void()> body);

}  // namespace qel::dev
