// What the tool does with a name that is not a regular file (a FIFO, a device; a link is
// followed). Each is refused at once as an unusable file, on the firmware path and on the FPGA
// path alike; in particular the tool never waits for a writer on a FIFO. No box is needed: the
// file is judged before the box is spoken to.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "e2e/programs.h"

namespace {

using namespace qel::test;

TEST(FileKindE2e, OnlyARegularFileIsOpenedAndNothingWaitsOnTheOthers) {
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    const std::string tiny = dir.Write("tiny", "x");
    const struct {
        const char* kind;
        int code;  // the bad size of the one-byte file shows it was opened and read
        std::function<bool(const std::string&)> make;
    } kinds[] = {
        {"fifo", 4, [](const std::string& p) { return mkfifo(p.c_str(), 0600) == 0; }},
        {"device", 4, [](const std::string& p) { return symlink("/dev/null", p.c_str()) == 0; }},
        {"link to a file", 5,
         [&](const std::string& p) { return symlink(tiny.c_str(), p.c_str()) == 0; }},
    };
    for (const auto& kind : kinds) {
        for (const std::string suffix : {".bin", ".vme"}) {
            std::string name = kind.kind;
            for (char& c : name) c = c == ' ' ? '_' : c;
            const std::string path = dir.path + "/" + name + suffix;
            ASSERT_TRUE(kind.make(path)) << kind.kind << ": " << std::strerror(errno);
            ChildProcess tool({BIN2PLV32_PATH, path, "7"}, dir.path);
            const int code = tool.Finish(20000);
            const std::string what = std::string(kind.kind) + suffix;
            EXPECT_EQ(code, kind.code) << what << "\n" << tool.output;
            EXPECT_LT(tool.ms, 5000) << what;
            const std::string error =
                kind.code == 4 ? "4 file unknown            " : "5 file bad size           ";
            EXPECT_EQ(tool.output, suffix == ".bin" ? kBanner + "Error " + error
                                                    : kBanner + "FPGA-Programmierung \nFile: " +
                                                          path + "\nPort:7\nError: " + error)
                << what;
        }
    }
}

}  // namespace
