#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "app/arguments.h"

namespace {

// Parses bin2plv32 with the given arguments; false when the usage text would be shown.
bool Parse(std::initializer_list<const char*> words, Arguments& args) {
    std::vector<const char*> argv{"bin2plv32"};
    argv.insert(argv.end(), words);
    return ParseArguments(static_cast<int>(argv.size()), argv.data(), args);
}

Arguments Parsed(std::initializer_list<const char*> words) {
    Arguments args;
    EXPECT_TRUE(Parse(words, args));
    return args;
}

TEST(FrontendArguments, TwoArgumentsTakeAddressFromImageAndNoTarget) {
    Arguments args = Parsed({"fw.bin", "3"});
    EXPECT_EQ(args.filePath, "fw.bin");
    EXPECT_FALSE(args.isFpgaFile);
    EXPECT_EQ(args.startAddress, -1);
    EXPECT_EQ(args.targetName, "");
    EXPECT_EQ(args.portNumber, 3);
    EXPECT_EQ(args.portName, "COM3");
}

TEST(FrontendArguments, WrongCountOrPortOutsideRangeAsksForUsage) {
    Arguments args;
    std::vector<const char*> none{"bin2plv32"};
    EXPECT_FALSE(ParseArguments(1, none.data(), args));
    EXPECT_FALSE(Parse({"fw.bin"}, args));
    EXPECT_FALSE(Parse({"fw.bin", "1C000", "2", "extra"}, args));
    for (const char* port : {"0", "256", "-1", "COM2", "", "99999999999999999999"}) {
        EXPECT_FALSE(Parse({"fw.bin", port}, args)) << port;
    }
    EXPECT_TRUE(Parse({"fw.bin", "1"}, args));
    EXPECT_TRUE(Parse({"fw.bin", "255"}, args));
}

TEST(FrontendArguments, PortNameKeepsTheArgumentAsTyped) {
    Arguments args = Parsed({"fw.bin", "2x"});
    EXPECT_EQ(args.portNumber, 2);
    EXPECT_EQ(args.portName, "COM2x");
    EXPECT_EQ(Parsed({"fw.bin", "02"}).portName, "COM02");
    EXPECT_EQ(Parsed({"fw.bin", " +7"}).portNumber, 7);
}

TEST(FrontendArguments, StartAddressFollowsBase16Rules) {
    EXPECT_EQ(Parsed({"fw.bin", "1C000", "2"}).startAddress, 0x1C000);
    EXPECT_EQ(Parsed({"fw.bin", "0x1C000", "2"}).startAddress, 0x1C000);
    EXPECT_EQ(Parsed({"fw.bin", "  1c000zz", "2"}).startAddress, 0x1C000);
    EXPECT_EQ(Parsed({"fw.bin", "zz", "2"}).startAddress, 0);
    EXPECT_EQ(Parsed({"fw.bin", "-1", "2"}).startAddress, -1);
    EXPECT_EQ(Parsed({"fw.bin", "-10", "2"}).startAddress, -16);
    EXPECT_EQ(Parsed({"fw.bin", "FFFFFFFF", "2"}).startAddress, 2147483647);
    EXPECT_EQ(Parsed({"fw.bin", "-123456789ABCDEF", "2"}).startAddress, -2147483647 - 1);
    EXPECT_EQ(Parsed({"fw.bin", "1C000", "2"}).targetName, "");
}

TEST(FrontendArguments, TargetNameIsTheTextAfterTheKey) {
    Arguments args = Parsed({"fw.bin", "target=TARSK880", "2"});
    EXPECT_EQ(args.targetName, "TARSK880");
    EXPECT_EQ(args.startAddress, -1);
    // Short names name the box themselves, not the tail of the key.
    EXPECT_EQ(Parsed({"fw.bin", "target=PLV", "2"}).targetName, "PLV");
    EXPECT_EQ(Parsed({"fw.bin", "target=PLV 200", "2"}).targetName, "PLV 200");
    EXPECT_EQ(Parsed({"fw.bin", "xtarget=NUX_1000", "2"}).targetName, "NUX_1000");
    EXPECT_EQ(Parsed({"fw.bin", "target=LONGERNAME9", "2"}).targetName, "GERNAME9");
    EXPECT_EQ(Parsed({"fw.bin", "target=", "2"}).targetName, "");
    // The key is case-sensitive: anything else is an address.
    Arguments upper = Parsed({"fw.bin", "TARGET=PLV", "2"});
    EXPECT_EQ(upper.targetName, "");
    EXPECT_EQ(upper.startAddress, 0);
}

TEST(FrontendArguments, FpgaFileIsRecognisedCaseSensitively) {
    EXPECT_TRUE(Parsed({"fw.vme.bin", "2"}).isFpgaFile);
    EXPECT_TRUE(Parsed({"/tmp/a.vme", "target=X", "2"}).isFpgaFile);
    EXPECT_FALSE(Parsed({"FW.VME", "2"}).isFpgaFile);
    EXPECT_FALSE(Parsed({"fw.vm", "2"}).isFpgaFile);
}

}  // namespace
