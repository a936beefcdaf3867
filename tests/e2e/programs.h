// What the end-to-end tests share: bin2plv32's banner and boxsim started in a test's folder.
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/child_process.h"

namespace qel::test {

inline const std::string kBanner = "\nORN KALVER QEL-flash\n";

// bin2plv32's heading for an FPGA update from path on COM7.
inline std::string FpgaHeading(const std::string& path) {
    return kBanner + "FPGA-Programmierung \nFile: " + path + "\nPort:7\n";
}

// What follows the heading when a 64 KiB file goes through whole: a progress line every
// fifth frame, and the box answers the end request within the first wait of its programming.
inline std::string FpgaWholeUpdateText() {
    std::string text;
    char line[32];
    for (int frame = 0; frame < 128; frame += 5) {
        std::snprintf(line, sizeof line, "%4.1f%% \n", frame * 512 * 100.0 / 65536);
        text += line;
    }
    return text + " 0.0%\nProgramming finished 65522\nFPGA-Update erfolgreich";
}

inline std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// boxsim on the port in folder dir with the options (words, then more as they are), once it
// says it is ready.
inline std::unique_ptr<ChildProcess> StartBoxsim(const std::string& port, const std::string& dir,
                                                 const std::string& options,
                                                 const std::vector<std::string>& more = {}) {
    std::vector<std::string> argv = Words(options);
    argv.insert(argv.begin(), {BOXSIM_PATH, "--port", port});
    argv.insert(argv.end(), more.begin(), more.end());
    auto box = std::make_unique<ChildProcess>(argv, dir);
    EXPECT_TRUE(box->ReadUntil("boxsim ready", 10000)) << box->output;
    return box;
}

// Stops boxsim, so that its flash and log are complete.
inline void StopBoxsim(std::unique_ptr<ChildProcess>& box) {
    box->Terminate();
    box->Finish(10000);
    box.reset();
}

}  // namespace qel::test
