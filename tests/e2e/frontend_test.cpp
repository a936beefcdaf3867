// The real bin2plv32 as a technician or a script starts it: exact console text, exit code,
// and how long it takes. No box is attached; QELFLASH_PORTS points at a folder of our own so
// that no real serial device is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/child_process.h"

namespace {

const std::string kBanner = "\nORN KALVER QEL-flash\n";

// Typed from the tool's documentation, independently of app/usage_text.cpp.
const std::string kUsage =
    "QEL_flash (bin2Plv32.exe)                                                      \n"
    " Programm zum Laden von Binaerdateien in die PLV, RMX, Tarsk880 ueber eine     \n"
    " serielle Schnittstelle. Erfordert einen Bootloader auf der Box.               \n\n"
    " Aufruf:             bin2plv32 Binaerfilename COM-Port-Nummer                  \n"
    "  oder:              bin2plv32 Binaerfilename Zieladresse COM-Port-Nummer      \n\n"
    " 'Binaerfilename'    bezeichnet Ausgangsfile des Hicross-Burners               \n"
    "                     mit kompletter Pfadangabe.                                \n"
    " 'Zieladresse'       bezeichnet die Adresse des ersten Bytes des Bin-Files im  \n"
    "                     68332-Adressraum als HEX-Wert, z.B. 1C000. Die Zieladresse\n"
    "                     muss wegen 16bit-Speicherorganisation gerade sein!        \n"
    "                     Wenn dieser Parameter fehlt, wird die Zieladresse aus dem \n"
    "                     Bin-File entnommen                                        \n"
    " 'COM-Port (1-255)'  an dem die Box angeschlossen ist.                         \n\n"
    " Beispiel:           bin2plv32 c:\\project\\myfile.bin 2                       \n"
    "                     laedt 'myfile.bin' ueber COM2.                            \n\n"
    " Beispiel:           bin2plv32 c:\\project\\myfile.bin A1000 2                 \n\n"
    " Bitte Eingabetaste druecken!";

struct Outcome {
    std::string out;
    int exitCode = -1;  // -1: killed
    double ms = 0;
};

// A folder that stands in for the machine's COM ports; it holds no entries, so every
// COMn is missing.
class PortFolder {
  public:
    PortFolder() {
        char templ[] = "/tmp/qelflash-fe.XXXXXX";
        path_ = mkdtemp(templ) ? templ : "";
    }
    ~PortFolder() {
        for (const std::string& f : files_) unlink(f.c_str());
        rmdir(path_.c_str());
    }
    const std::string& path() const { return path_; }
    std::string AddFile(const std::string& name, std::size_t size, char fill) {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << std::string(size, fill);
        files_.push_back(file);
        return file;
    }

  private:
    std::string path_;
    std::vector<std::string> files_;
};

using qel::test::ChildProcess;

Outcome RunTool(const std::vector<std::string>& args, const std::string& ports, int limitMs) {
    std::vector<std::string> argv{BIN2PLV32_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv, ports);
    int code = child.Finish(limitMs);
    return Outcome{child.output, code, child.ms};
}

TEST(FrontendE2e, WrongArgumentCountShowsUsageAndEndsWithoutWaiting) {
    PortFolder ports;
    const std::vector<std::vector<std::string>> calls = {
        {}, {"fw.bin"}, {"fw.bin", "1C000", "2", "extra"}};
    for (const auto& args : calls) {
        Outcome o = RunTool(args, ports.path(), 10000);
        EXPECT_EQ(o.exitCode, 1) << args.size();
        EXPECT_EQ(o.out, kBanner + kUsage) << args.size();
        EXPECT_LT(o.ms, 5000) << args.size();
    }
}

TEST(FrontendE2e, BadPortArgumentShowsUsage) {
    PortFolder ports;
    for (const char* port : {"0", "256", "-1", "COM2"}) {
        Outcome o = RunTool({"fw.bin", port}, ports.path(), 10000);
        EXPECT_EQ(o.exitCode, 1) << port;
        EXPECT_EQ(o.out, kBanner + kUsage) << port;
        EXPECT_LT(o.ms, 5000) << port;
    }
    Outcome o = RunTool({"fw.bin", "1C000", "256"}, ports.path(), 10000);
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, kBanner + kUsage);
}

TEST(FrontendE2e, OnATerminalTheUsageWaitsForOneKeyWithoutEcho) {
    PortFolder ports;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the terminal's far side stays with the test
    ChildProcess child({BIN2PLV32_PATH, "fw.bin"}, ports.path(), slave);
    EXPECT_TRUE(child.ReadUntil("druecken!", 10000));
    EXPECT_EQ(child.output, kBanner + kUsage);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(child.Running()) << "did not wait for a key";
    termios waiting{};
    ASSERT_EQ(tcgetattr(slave, &waiting), 0);
    EXPECT_EQ(waiting.c_lflag & (ECHO | ICANON), 0u);

    ASSERT_EQ(write(master, "k", 1), 1);
    EXPECT_EQ(child.Finish(5000), 1);
    EXPECT_EQ(child.output, kBanner + kUsage);

    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "terminal left without echo";
    EXPECT_NE(after.c_lflag & ICANON, 0u);
    pollfd p{master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0) << "the key was echoed";
    close(master);
    close(slave);
}

TEST(FrontendE2e, ATerminalThatHangsUpEndsTheKeyWait) {
    PortFolder ports;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    fcntl(master, F_SETFD, FD_CLOEXEC);  // the terminal's far side stays with the test
    ChildProcess child({BIN2PLV32_PATH, "fw.bin"}, ports.path(), slave);
    close(slave);
    ASSERT_TRUE(child.ReadUntil("druecken!", 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(child.Running());
    close(master);
    EXPECT_EQ(child.Finish(5000), 1);
    EXPECT_LT(child.ms, 3000);
}

TEST(FrontendE2e, MissingImageOnAPortThatCannotOpenReportsFileUnknown) {
    PortFolder ports;
    Outcome o = RunTool({ports.path() + "/none.bin", "7"}, ports.path(), 30000);
    EXPECT_EQ(o.out, kBanner + "Error 4 file unknown            ");
    EXPECT_EQ(o.exitCode, 4);

    Outcome fpga = RunTool({ports.path() + "/none.vme", "target=PLV", "7"}, ports.path(), 30000);
    EXPECT_EQ(fpga.out, kBanner + "FPGA-Programmierung \nFile: " + ports.path() +
                            "/none.vme\nPort:7\nError: 4 file unknown            ");
    EXPECT_EQ(fpga.exitCode, 4);
}

TEST(FrontendE2e, ImageOnAPortThatCannotOpenGivesNoAnswerInBoundedTime) {
    PortFolder ports;
    std::string image = ports.AddFile("fw.bin", 10000, '\x11');
    Outcome o = RunTool({image, "7"}, ports.path(), 60000);
    EXPECT_EQ(o.exitCode, 3);
    const std::string tail = "Error 3 no answwer              ";
    ASSERT_GE(o.out.size(), kBanner.size() + tail.size());
    EXPECT_EQ(o.out.substr(0, kBanner.size()), kBanner);
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    EXPECT_LT(o.ms, 30000);
    RecordProperty("no_port_download_ms", static_cast<int>(o.ms));
    std::printf("download on a port that cannot open ended after %.0f ms\n", o.ms);
}

TEST(FrontendE2e, FpgaFileOnAPortThatCannotOpenGivesNoAnswer) {
    PortFolder ports;
    std::string header = "coVersion 123";
    std::string vme = ports.AddFile("cfg.vme", 65536, '\0');
    {
        std::fstream f(vme, std::ios::in | std::ios::out | std::ios::binary);
        f.write(header.data(), static_cast<std::streamsize>(header.size()));
    }
    Outcome o = RunTool({vme, "9"}, ports.path(), 60000);
    EXPECT_EQ(o.exitCode, 19);
    const std::string head = kBanner + "FPGA-Programmierung \nFile: " + vme + "\nPort:9\n";
    const std::string tail = "Error: 19 no Answer               ";
    ASSERT_GE(o.out.size(), head.size() + tail.size());
    EXPECT_EQ(o.out.substr(0, head.size()), head);
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    EXPECT_LT(o.ms, 30000);
}

// A box that answers only to a short name is reached through target= with that name alone.
TEST(FrontendE2e, ShortTargetNameReachesTheBox) {
    PortFolder ports;
    std::string image = ports.AddFile("fw.bin", 4096, '\0');
    ChildProcess box({BOXSIM_PATH, "--port", "COM7", "--dir", ports.path(), "--name", "PLV"},
                     ports.path());
    ASSERT_TRUE(box.ReadUntil("boxsim ready", 10000)) << box.output;

    Outcome o = RunTool({image, "target=PLV", "7"}, ports.path(), 60000);
    EXPECT_EQ(o.exitCode, 0) << o.out;
    const std::string tail = "\nDownload erfolgreich";
    ASSERT_GE(o.out.size(), tail.size());
    EXPECT_EQ(o.out.substr(o.out.size() - tail.size()), tail);
    box.Terminate();
    box.Finish(10000);
    unlink((ports.path() + "/com7").c_str());
}

}  // namespace
