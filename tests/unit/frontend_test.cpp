// The command line as read before anything is opened, and the client the front end creates.
// Wrong counts and bad ports (the usage text) are the real tool's, in e2e.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "app/arguments.h"
#include "download/download.h"

namespace {

Arguments Parsed(std::initializer_list<const char*> words) {
    std::vector<const char*> argv{"bin2plv32"};
    argv.insert(argv.end(), words);
    Arguments args;
    EXPECT_TRUE(ParseArguments(static_cast<int>(argv.size()), argv.data(), args));
    return args;
}

TEST(FrontendArguments, TwoArgumentsTakeAddressFromImageAndNoTarget) {
    Arguments args = Parsed({"fw.bin", "3"});
    EXPECT_EQ(args.filePath, "fw.bin");
    EXPECT_FALSE(args.isFpgaFile);
    EXPECT_EQ(args.startAddress, -1);
    EXPECT_EQ(args.targetName, "");
    EXPECT_EQ(args.portName, "COM3");
    // The port name keeps the argument as typed.
    for (auto [port, number] :
         {std::pair{"1", 1}, {"255", 255}, {"2x", 2}, {"02", 2}, {" +7", 7}}) {
        EXPECT_EQ(Parsed({"fw.bin", port}).portNumber, number) << port;
        EXPECT_EQ(Parsed({"fw.bin", port}).portName, std::string("COM") + port);
    }
}

// The middle argument: a base-16 address, or a target name after the key (short names name
// the box themselves, not the tail of the key).
TEST(FrontendArguments, MiddleArgumentIsAnAddressOrATargetName) {
    const struct {
        const char* text;
        int address;
        const char* target;
    } rows[] = {
        {"1C000", 0x1C000, ""},
        {"0x1C000", 0x1C000, ""},
        {"  1c000zz", 0x1C000, ""},
        {"zz", 0, ""},
        {"-1", -1, ""},
        {"-10", -16, ""},
        {"FFFFFFFF", 2147483647, ""},
        {"-123456789ABCDEF", -2147483647 - 1, ""},
        {"TARGET=PLV", 0, ""},  // the key is case-sensitive
        {"target=TARSK880", -1, "TARSK880"},
        {"target=PLV", -1, "PLV"},
        {"target=PLV 200", -1, "PLV 200"},
        {"xtarget=NUX_1000", -1, "NUX_1000"},
        {"target=LONGERNAME9", -1, "GERNAME9"},
        {"target=", -1, ""},
    };
    for (const auto& row : rows) {
        const Arguments args = Parsed({"fw.bin", row.text, "2"});
        EXPECT_EQ(args.startAddress, row.address) << row.text;
        EXPECT_EQ(args.targetName, row.target) << row.text;
    }
}

TEST(FrontendArguments, FpgaFileIsRecognisedCaseSensitively) {
    for (auto [file, fpga] :
         {std::pair{"fw.vme.bin", true}, {"/tmp/a.vme", true}, {"FW.VME", false}, {"fw.vm", false}})
        EXPECT_EQ(Parsed({file, "target=X", "2"}).isFpgaFile, fpga) << file;
}

// The texts the tool prints are compared in full by its end-to-end tests; these are the rest.
TEST(FrontendClient, MessagesKeepTheirPaddingAndSpelling) {
    EXPECT_EQ(CDownload::GetErrorText(0), "without failure         ");
    EXPECT_EQ(CDownload::GetErrorText(2), "COM-Port not open       ");
    EXPECT_EQ(CDownload::GetErrorText(21), "no space for FPGA-Data");
    EXPECT_EQ(CDownload::GetErrorText(28), "VME_CRC_FAILURE");
    for (int code = 0; code <= 20; ++code) {
        const std::size_t size = CDownload::GetErrorText(code).size();
        EXPECT_TRUE(size == 0 || size == 24u) << code;
    }
    for (int code : {1, 11, 17, -1, 29, 255}) EXPECT_EQ(CDownload::GetErrorText(code), "") << code;
}

}  // namespace
