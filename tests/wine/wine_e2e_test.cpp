// The Windows build under Wine, for what only Windows shows: bin2plv32.exe on the Win32
// backend opens COM7, which the Wine prefix's dosdevices/com7 links to boxsim's
// pseudo-terminal, and writes the console text of Linux with Windows line ends; then the
// Windows test programs.
// .ci/wine prepares the prefix and the Windows build, and starts wineserver once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e/programs.h"
#include "sim/images.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace qel::test;
namespace fs = std::filesystem;

const Bytes kImage = qel::sim::MakeFirmwareImage(10000, "TARSK880 V2", "01.23");
const std::string kDownload =
    kBanner + "New firmware: TARSK880 V201.23\n 1.0% \n42.0% \n82.9% \n\nDownload erfolgreich";

class WineE2e : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* prefix = std::getenv("WINEPREFIX");
        ASSERT_TRUE(prefix && fs::is_directory(std::string(prefix) + "/dosdevices"))
            << "WINEPREFIX must name a prepared Wine prefix (run .ci/wine)";
        dosdevices_ = std::string(prefix) + "/dosdevices";
        ASSERT_EQ(std::system("command -v wine >/dev/null"), 0)
            << "wine is not installed (build.sh installs it)";
        ASSERT_TRUE(fs::exists(Exe("app/bin2plv32.exe")))
            << "no Windows build: cmake --preset windows && cmake --build --preset windows";
    }

    static std::string Exe(const std::string& name) {
        return std::string(WINDOWS_BUILD_DIR) + "/" + name;
    }

    // Runs a Windows program under Wine; out gets its output with each "\r\n" as "\n", and
    // bareLineEnds counts the line ends that came without "\r".
    int Run(const std::string& exe, std::vector<std::string> args, int limitMs = 120000) {
        args.insert(args.begin(), {"/usr/bin/env", "wine", exe});
        ChildProcess tool(args, dir_.path);
        const int code = tool.Finish(limitMs);
        out.clear();
        bareLineEnds = 0;
        const std::string& raw = tool.output;
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
            if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) ++bareLineEnds;
            out += raw[i];
        }
        return code;
    }
    std::string Path(const std::string& name) const { return dir_.path + "/" + name; }

    qel::test::ScratchDir dir_;
    std::string out;
    int bareLineEnds = 0;
    std::string dosdevices_;
};

// The Win32 backend carries a download and the paced FPGA transfer to the end, and the
// console ends every line with "\r\n" and does not wait for a key without one. What the
// tool does when a box fails is the same code as on Linux and is tested there.
TEST_F(WineE2e, DownloadFpgaUpdateAndUsageOnTheWindowsConsole) {
    const std::string image = Path("fw.bin"), vme = Path("fpga.vme");
    ASSERT_TRUE(qel::sim::WriteFile(image, kImage));
    ASSERT_EQ(ChildProcess({BOXSIM_PATH, "--make-vme", vme, "--size", "65536", "--version", "101"},
                           dir_.path)
                  .Finish(10000),
              0);
    const std::string fpga = FpgaHeading(vme) + FpgaWholeUpdateText();
    const struct {
        std::vector<std::string> box;  // boxsim's options; none: no box
        std::vector<std::string> args;
        int code;
        std::string text;  // the whole console text, or its end for the usage
        std::vector<std::string> log;
    } rows[] = {
        {{"--mode", "bootloader"}, {image, "7"}, 0, kDownload, {}},
        {{"--mode", "firmware"},
         {vme, "7"},
         0,
         fpga,
         {"fpga programmed with 65522 bytes", "violations=0"}},
        {{}, {"fw.bin"}, 1, " Bitte Eingabetaste druecken!", {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0]);
        std::unique_ptr<ChildProcess> box;
        if (!row.box.empty()) {
            // boxsim as COM7 of the prefix, in a session of its own so that Wine's console
            // handling never takes its terminal.
            std::vector<std::string> argv{"/usr/bin/setsid", BOXSIM_PATH,  "--port", "COM7",
                                          "--dir",           dosdevices_,  "--log",  Path("log"),
                                          "--flash-out",     Path("flash")};
            argv.insert(argv.end(), row.box.begin(), row.box.end());
            box = std::make_unique<ChildProcess>(argv, dir_.path);
            ASSERT_TRUE(box->ReadUntil("boxsim ready", 10000)) << box->output;
        }
        EXPECT_EQ(Run(Exe("app/bin2plv32.exe"), row.args, box ? 120000 : 20000), row.code);
        const std::size_t from =
            row.code == 1 ? out.size() - std::min(out.size(), row.text.size()) : 0;
        EXPECT_EQ(out.substr(from), row.text);
        EXPECT_EQ(out.substr(0, kBanner.size()), kBanner);
        EXPECT_EQ(bareLineEnds, 0) << "a Windows console program ends its lines with \\r\\n";
        if (!box) continue;
        box->Terminate();
        box->Finish(10000);
        const std::string flash = dir_.Read("flash"), log = dir_.Read("log");
        EXPECT_TRUE(row.args[0] != image ||
                    flash.substr(std::min<std::size_t>(flash.size(), 0x8000), kImage.size()) ==
                        std::string(kImage.begin(), kImage.end()))
            << "the image is not in the flash";
        for (const std::string& entry : row.log)
            EXPECT_NE(log.find(entry), std::string::npos) << entry;
    }
}

// The unit and line tests of the Windows build, on the Win32 build of everything they use;
// then the port library's own checks on the Win32 backend against a pseudo-terminal (COM8 of
// the prefix) that sends back every byte: once as Wine has it on a pty (no modem lines), once
// with the shim that gives it some.
TEST_F(WineE2e, WindowsTestProgramsPass) {
    // Two XMODEM receive tests rest on POSIX file modes, symbolic links and an unreadable
    // file; what a received file's mode and a link mean on Windows is the transfer layer's
    // own question, not yet answered there.
    const std::string posixFiles =
        "--gtest_filter=-XmLine.AReceiveChangesNothingButThePathItWasGivenAndThatOnlyWhenWhole:"
        "XmLine.ASourceThatCannotBeReadIsCancelledNotSentShort";
    ASSERT_TRUE(fs::exists(MODEM_SHIM_PATH));
    ChildProcess echo({NULLMODEM_PATH, "--port", "COM8", "--dir", dosdevices_, "--unpaced",
                       "--grace-ms", "600000", "--exec", "cat"},
                      dir_.path);
    ASSERT_TRUE(echo.ReadUntil("nullmodem ready", 10000)) << echo.output;
    setenv("QEL_ECHO_PORT", "COM8", 1);
    const struct {
        const char* program;
        std::vector<std::string> args;
        const char* modemLines;
    } programs[] = {{"tests/tests_unit.exe", {}, "0"},
                    {"tests/tests_line.exe", {posixFiles}, "0"},
                    {"tests/tests_win32.exe", {}, "0"},
                    {"tests/tests_win32.exe", {}, "1"}};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.program + std::string(", modem lines ") + p.modemLines);
        setenv("QEL_MODEM_LINES", p.modemLines, 1);
        if (*p.modemLines == '1') setenv("LD_PRELOAD", MODEM_SHIM_PATH, 1);
        EXPECT_EQ(Run(Exe(p.program), p.args, 280000), 0) << out;
        EXPECT_NE(out.find("[  PASSED  ]"), std::string::npos);
        unsetenv("LD_PRELOAD");
    }
    echo.Terminate();
    echo.Finish(10000);
}

}  // namespace
