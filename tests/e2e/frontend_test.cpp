// The real bin2plv32 as a technician or a script starts it: exact console text, exit code,
// and how long it takes. QELFLASH_PORTS points at a folder of our own so that no real serial
// device is touched; it holds no port unless a test starts boxsim there.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e/programs.h"

namespace {

using namespace qel::test;

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

// The tool with the words of args as its arguments; '' stands for an empty one.
std::vector<std::string> Tool(const std::string& args) {
    std::vector<std::string> argv = Words(args);
    for (std::string& arg : argv)
        if (arg == "''") arg.clear();
    argv.insert(argv.begin(), BIN2PLV32_PATH);
    return argv;
}

TEST(FrontendE2e, WrongArgumentCountOrBadPortShowsUsageAndEndsWithoutWaiting) {
    ScratchDir ports;
    for (const std::string call :
         {"", "fw.bin", "fw.bin 1C000 2 extra", "fw.bin 0", "fw.bin 256", "fw.bin -1",
          "fw.bin COM2", "fw.bin ''", "fw.bin 99999999999999999999", "fw.bin 1C000 256"}) {
        ChildProcess tool(Tool(call), ports.path);
        EXPECT_EQ(tool.Finish(10000), 1) << call;
        EXPECT_EQ(tool.output, kBanner + kUsage) << call;
        EXPECT_LT(tool.ms, 5000) << call;
    }
}

TEST(FrontendE2e, OnATerminalTheUsageWaitsForOneKeyOrTheHangUp) {
    ScratchDir ports;
    for (bool hangUp : {false, true}) {
        int master = -1, slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        fcntl(master, F_SETFD, FD_CLOEXEC);  // the terminal's far side stays with the test
        auto flags = [&] {
            termios t{};
            return tcgetattr(slave, &t) == 0 ? t.c_lflag & (ECHO | ICANON) : ~0u;
        };
        ChildProcess child(Tool("fw.bin"), ports.path, slave);
        EXPECT_TRUE(child.ReadUntil("druecken!", 10000));
        EXPECT_EQ(child.output, kBanner + kUsage);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(child.Running()) << "did not wait for a key";
        EXPECT_EQ(flags(), 0u) << "no echo, a key at a time";
        if (hangUp) {
            close(slave);
            close(master);
        } else {
            ASSERT_EQ(write(master, "k", 1), 1);
        }
        EXPECT_EQ(child.Finish(5000), 1);
        EXPECT_LT(child.ms, 3000);
        if (hangUp) continue;
        EXPECT_EQ(child.output, kBanner + kUsage);
        EXPECT_EQ(flags(), static_cast<unsigned>(ECHO | ICANON)) << "terminal left as found";
        pollfd p{master, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, 100), 0) << "the key was echoed";
        close(master);
        close(slave);
    }
}

// A port that cannot be opened reaches the client as a negative handle: the client's own
// file checks and its "no answer", in bounded time.
TEST(FrontendE2e, PortThatCannotOpenLeavesTheVerdictToTheClient) {
    ScratchDir ports;
    const std::string vme = ports.Write("cfg.vme", "coVersion 123" + std::string(65523, '\0'));
    const std::string fpga = kBanner + "FPGA-Programmierung \nFile: ";
    const struct {
        std::string args;
        int code;
        std::string out;
    } rows[] = {
        {vme + " 9", 19, fpga + vme + "\nPort:9\nerror 101 30\nError: 19 no Answer               "},
        // The image's own identification texts stand between.
        {ports.Write("fw.bin", std::string(10000, '\x11')) + " 7", 3,
         "\nError 3 no answwer              "},
    };
    for (const auto& row : rows) {
        ChildProcess tool(Tool(row.args), ports.path);
        EXPECT_EQ(tool.Finish(60000), row.code) << row.out;
        EXPECT_LT(tool.ms, 30000) << row.out;
        const std::string& out = tool.output;
        EXPECT_EQ(
            row.code == 3 ? out.substr(out.size() - std::min(out.size(), row.out.size())) : out,
            row.out);
        EXPECT_EQ(out.substr(0, kBanner.size()), kBanner);
    }
}

}  // namespace
