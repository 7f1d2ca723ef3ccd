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
        Read({"-E", "-I10.0.0.1", "-o192.168.0.2", "-X10.0.0.9", "-q", "-", "-x10.0.0.8", "a.drf", "b.drf"}).options;
    EXPECT_TRUE(options.openEditor);
    ASSERT_EQ(options.addedCount, 2u);
    EXPECT_STREQ(options.addedAddresses[1].data(), "192.168.0.2");
    ASSERT_EQ(options.excludedCount, 2u);
    EXPECT_STREQ(options.excludedAddresses[1].data(), "10.0.0.8");
    EXPECT_EQ(options.defaultAddress, MakeAddress(192, 168, 0, 2));
    EXPECT_STREQ(options.resolutionFileName.data(), "b.drf");
    EXPECT_TRUE(Read({"-editor"}).options.openEditor);
    EXPECT_FALSE(Read({"-q", "-"}).options.openEditor);

    // The last of -n and -o sets the default; -n adds nothing to the list.
    EXPECT_EQ(Read({"-n10.0.0.1", "-o10.0.0.2"}).options.defaultAddress, MakeAddress(10, 0, 0, 2));
    EXPECT_EQ(Read({"-o10.0.0.2", "-N10.0.0.1"}).options.defaultAddress, MakeAddress(10, 0, 0, 1));
    EXPECT_EQ(Read({"-n10.0.0.1"}).options.addedCount, 0u);

    // An option and its value as two arguments: an empty value, and the value names the file.
    const StartupOptions split = Read({"-i", "10.0.0.1"}).options;
    EXPECT_STREQ(split.addedAddresses[0].data(), "");
    EXPECT_STREQ(split.resolutionFileName.data(), "10.0.0.1");
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
}
