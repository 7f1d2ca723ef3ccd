#include "console/command_line.h"

#include "common/ipv4.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

CommandLineResult Read(std::vector<std::string> words) {
    std::vector<const char*> arguments = {"velquorn-dns"};
    for (const std::string& word : words)
        arguments.push_back(word.c_str());
    return ReadStartupOptions(static_cast<int>(arguments.size()), arguments.data());
}

} // namespace

TEST(ReadStartupOptions, ReadsOptionsInEitherCaseWithGluedValues) {
    const StartupOptions options =
        Read({"-E", "-I10.0.0.1", "-o192.168.0.2", "-N10.0.0.3", "-X10.0.0.9", "-q", "a.drf", "-i", "b.drf"}).options;
    EXPECT_TRUE(options.openEditor);
    // -o and -i add to the list, a value in an argument of its own leaves the option empty; the last of -n and -o
    // sets the default; the last file name counts.
    // A text that is no address reads as 255.255.255.255.
    EXPECT_EQ(options.addedAddresses,
              (std::vector<std::uint32_t>{MakeAddress(10, 0, 0, 1), MakeAddress(192, 168, 0, 2), 0xFFFFFFFF}));
    EXPECT_EQ(options.defaultAddress, MakeAddress(10, 0, 0, 3));
    EXPECT_EQ(options.excludedAddresses, std::vector<std::uint32_t>{MakeAddress(10, 0, 0, 9)});
    EXPECT_EQ(options.resolutionFileName, "b.drf");
    EXPECT_EQ(Read({}).options.resolutionFileName, "default.drf");
    EXPECT_FALSE(Read({}).options.fileNamed);
    const StartupOptions install = Read({"--install", "t.drf"}).options;
    EXPECT_TRUE(install.install && install.fileNamed && !install.uninstall && !install.openEditor);
    EXPECT_TRUE(Read({"--uninstall"}).options.uninstall);
    // -t takes its seconds glued or as the next argument.
    EXPECT_EQ(Read({}).options.timeToLive, 60u);
    EXPECT_EQ(Read({"-t", "9006000", "c.drf"}).options.timeToLive, 9006000u);
    EXPECT_EQ(Read({"-T0"}).options.timeToLive, 0u);
    // -d as -t; domains kept in small letters, without the root's dot.
    EXPECT_EQ(Read({"-d", "Home.Arpa.", "-Dlan", "d.drf"}).options.localDomains,
              (std::vector<std::string>{"home.arpa", "lan"}));
}

TEST(ReadStartupOptions, RefusesArgumentsBeyondItsLimits) {
    const std::string longest(127, '1');
    EXPECT_EQ(Read({"-i" + longest, std::string(259, 'f')}).error, "");
    EXPECT_EQ(Read({"-i" + longest + "1"}).error, "> Error: address too long: -i" + longest + "1\n");
    EXPECT_EQ(Read({std::string(260, 'f')}).error, "> Error: file name too long: " + std::string(260, 'f') + "\n");
    std::vector<std::string> eleven(10, "-i10.0.0.1");
    EXPECT_EQ(Read(eleven).error, "");
    eleven.push_back("-o10.0.0.11");
    EXPECT_EQ(Read(eleven).error, "> Error: too many addresses: -o10.0.0.11\n");
    EXPECT_EQ(Read(std::vector<std::string>(11, "-x1")).error, "> Error: too many addresses: -x1\n");
    for (const char* wrong : {"9006001", "1m", "-1", ""})
        EXPECT_EQ(Read({"-t", wrong}).error,
                  "> Error: a time to live is 0 to 9006000 seconds: " + std::string(wrong) + "\n");
    // A domain that a name of one label still fits under, with labels of 1 to 63 bytes; at most ten.
    const std::string label(63, 'l'), domain = label + "." + label + "." + label + "." + std::string(61, 'l');
    EXPECT_EQ(Read({"-d", domain}).error, "");
    for (const std::string& wrong :
         std::vector<std::string>{domain + "l", "a..lan", ".lan", "lan..", ".", "", std::string(64, 'l')})
        EXPECT_EQ(Read({"-d", wrong}).error, "> Error: not a domain name: " + wrong + "\n");
    EXPECT_EQ(Read(std::vector<std::string>(10, "-dlan")).error, "");
    EXPECT_EQ(Read(std::vector<std::string>(11, "-dlan")).error, "> Error: too many domains: lan\n");
}
