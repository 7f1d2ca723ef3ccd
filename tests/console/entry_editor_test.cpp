#include "console/entry_editor.h"

#include "common/ipv4.h"
#include "console/banner.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// The screen the editor draws when standard output is not a terminal: title, list, prompt.
std::string Screen(const std::string& list) { return "> Entry Editor\n\n" + list + "\n> "; }

// Runs the editor on the given input without its pause and returns everything it printed.
std::string Edit(std::string input) {
    std::FILE* in = fmemopen(input.data(), input.size(), "r");
    testing::internal::CaptureStdout();
    RunEntryEditor({in, std::chrono::milliseconds(0)});
    std::fflush(stdout);
    std::fclose(in);
    return testing::internal::GetCapturedStdout();
}

// Only the messages: the screens around them cut away. Each screen ends with the empty line and the "> "
// prompt, and what follows it up to the next screen is the message for the line typed there.
std::vector<std::string> Messages(const std::string& output) {
    std::vector<std::string> messages;
    const std::string title = "> Entry Editor\n\n";
    for (std::size_t screen = output.find(title); screen != std::string::npos;) {
        const std::size_t next = output.find(title, screen + 1);
        const std::string chunk = output.substr(screen, next == std::string::npos ? next : next - screen);
        const std::string message = chunk.substr(chunk.rfind("\n\n> ") + 4);
        if (!message.empty())
            messages.push_back(message);
        screen = next;
    }
    return messages;
}

} // namespace

TEST(RunEntryEditor, AddsForwardsAndDeletesAndSavesEachChange) {
    ServiceStatics statics;
    const std::string output = Edit("A printer 192.168.1.20\n"
                                    "forward files nas\n"
                                    "add gateway\n"
                                    "A extra 10.0.0.1\n"
                                    "D 3\n"
                                    "exit\n");
    EXPECT_THAT(Messages(output), ElementsAre("> Entry [printer -> 192.168.1.20] added\n",
                                              "> Entry [files -> nas] added\n", "> Entry [gateway -> Local] added\n",
                                              "> Entry [extra -> 10.0.0.1] added\n",
                                              "> Entry [extra] [10.0.0.1] deleted\n"));
    // The first screen shows the empty table, the last one the table as it is now.
    EXPECT_EQ(output.substr(0, Screen("> > No entries\n").size()), Screen("> > No entries\n"));
    EXPECT_TRUE(output.ends_with(Screen("> > 0 : printer : 192.168.1.20\n"
                                        "> > 1 : files : nas\n"
                                        "> > 2 : gateway : Local\n")));
    // The file holds exactly the example table: the same 54 bytes the format describes.
    const std::vector<std::uint8_t> expected = {
        0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 'p', 'r', 'i', 'n', 't', 'e', 'r', 0xC0,
        0xA8, 0x01, 0x14, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00, 'f', 'i', 'l', 'e', 's', 0x03, 0x00, 'n', 'a',
        's', 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, 'g', 'a', 't', 'e', 'w', 'a', 'y', 0x00, 0x00, 0x00, 0x00};
    EXPECT_THAT(ReadBytes(statics.FileName()), ElementsAreArray(expected));
}

TEST(RunEntryEditor, TakesValuesAsTheWholeRestOfTheLine) {
    ServiceStatics statics;
    const std::string output = Edit("F host other.name more \n"
                                    "A word notanaddress\n"
                                    "A big 300.1.1.1\n"
                                    "A zero 0.0.0.0\n"
                                    "A  spaced   10.0.0.2\n");
    EXPECT_THAT(Messages(output),
                ElementsAre("> Entry [host -> other.name more ] added\n",
                            "> Entry [word -> 255.255.255.255] added\n", "> Entry [big -> 255.255.255.255] added\n",
                            "> Entry [zero -> Local] added\n", "> Entry [spaced -> 10.0.0.2] added\n"));
    EXPECT_EQ(HostNameText(Resolutions->entries[0]->target), "other.name more ");
    EXPECT_EQ(Resolutions->entries[1]->address, 0xFFFFFFFFu);
}

TEST(RunEntryEditor, AnswersWrongLinesWithOneMessageAndChangesNothing) {
    ServiceStatics statics;
    AppendResolution(*Resolutions, MakeAddressEntry("keep", 0));
    const std::string output = Edit(std::string("A\n"
                                                "A   \n"
                                                "F host\n"
                                                "A\thost\t10.0.0.1\n"
                                                " A host\n"
                                                "\n"
                                                "x\n"
                                                "D5\n"
                                                "del 2\n"
                                                "D abc\n"
                                                "D 1\n"
                                                "D -1\n"
                                                "D 99999999999\n") +
                                    "A " + std::string(300, 'n') + "\n");
    EXPECT_THAT(Messages(output),
                ElementsAre("> Data missing from command\n", "> Data missing from command\n",
                            "> Data missing from command\n", "> Data missing from command\n", "> Unknown command\n",
                            "> Unknown command\n", "> Unknown command\n", "> Entry number error\n",
                            "> Entry number error\n", "> Entry number error\n", "> Entry 1 does not exist\n",
                            "> Entry -1 does not exist\n", "> Entry 2147483647 does not exist\n",
                            "> Unknown command\n"));
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("keep"));
    EXPECT_TRUE(ReadBytes(statics.FileName()).empty());
}

TEST(RunEntryEditor, DeletesByNumberAndRenumbers) {
    ServiceStatics statics;
    for (const char* name : {"zero", "one", "two", "three", "four", "one"})
        AppendResolution(*Resolutions, MakeAddressEntry(name, 0));
    AppendResolution(*Resolutions, MakeForwardEntry("fwd", "target"));
    // "D  2", "Dx2" and "D 2abc" all name entry 2; the former number 3 is number 2 after the first delete.
    const std::string output = Edit("D 1\nD  2\nDx2\nD 2abc\nd +0\n");
    EXPECT_THAT(Messages(output),
                ElementsAre("> Entry [one] [Local] deleted\n", "> Entry [three] [Local] deleted\n",
                            "> Entry [four] [Local] deleted\n", "> Entry [one] [Local] deleted\n",
                            "> Entry [zero] [Local] deleted\n"));
    EXPECT_TRUE(output.ends_with(Screen("> > 0 : two : Local\n> > 1 : fwd : target\n")));
    EXPECT_THAT(EntryNames(*LoadResolutionFile(statics.FileName().c_str()).table), ElementsAre("two", "fwd"));
}

TEST(RunEntryEditor, AddsANameTwiceAsTwoEntries) {
    ServiceStatics statics;
    Edit("A nas 10.0.0.1\nA nas 10.0.0.2\n");
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("nas", "nas"));
    EXPECT_EQ(FindResolution(*Resolutions, "nas")->address, MakeAddress(10, 0, 0, 1));
}

TEST(RunEntryEditor, LeavesOnEOrAtTheEndOfInputWithoutSaving) {
    ServiceStatics statics;
    AppendResolution(*Resolutions, MakeAddressEntry("keep", 0));
    for (const char* input : {"E\nA never 10.0.0.1\n", "e\n", "exit now\n", "", "A last 10.0.0.9"}) {
        const std::string output = Edit(input);
        EXPECT_TRUE(output.ends_with("\n> ")) << input;
    }
    // Only the unterminated last line changed anything.
    EXPECT_THAT(EntryNames(*Resolutions), ElementsAre("keep", "last"));
    EXPECT_EQ(ReadBytes(statics.FileName()).size(), 4u + 10 + 4 + 10 + 4);
}

TEST(RunEntryEditor, ReportsAFailedSaveAfterTheChange) {
    ServiceStatics statics;
    const std::string blocked = statics.directory.File("missing/default.drf");
    blocked.copy(ResolutionFileName.data(), blocked.size());
    ResolutionFileName[blocked.size()] = '\0';
    EXPECT_THAT(Messages(Edit("A nas 10.0.0.1\n")),
                ElementsAre("> Entry [nas -> 10.0.0.1] added\n> Error: could not save resolutions to " + blocked +
                            ": No such file or directory\n"));
}

TEST(ReadEntryNumber, ReadsLikePercentD) {
    EXPECT_EQ(ReadEntryNumber("D 12"), 12);
    EXPECT_EQ(ReadEntryNumber("D\t\v-7x"), -7);
    EXPECT_EQ(ReadEntryNumber("D 2147483647"), INT_MAX);
    EXPECT_EQ(ReadEntryNumber("D -2147483648"), INT_MIN);
    EXPECT_EQ(ReadEntryNumber("D -99999999999999999999999"), INT_MIN);
    EXPECT_EQ(ReadEntryNumber("D 99999999999999999999999"), INT_MAX);
    EXPECT_EQ(ReadEntryNumber("D -"), std::nullopt);
    EXPECT_EQ(ReadEntryNumber("D +"), std::nullopt);
    EXPECT_EQ(ReadEntryNumber("D1"), std::nullopt);
    EXPECT_EQ(ReadEntryNumber("D  "), std::nullopt);
}

// On a terminal every redraw clears the screen and writes the banner again, so that what is on screen after
// the last redraw is the banner and one current entry list.
TEST(RunEntryEditor, RedrawsTheWholeScreenOnATerminal) {
    ServiceStatics statics;
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        ConsoleHomePosition = {0, BannerRows};
        RunEntryEditor({stdin, std::chrono::milliseconds(0)});
        std::fflush(stdout);
        _exit(0);
    }
    std::string output;
    const auto readUntilPrompt = [&](int prompts) {
        for (int tries = 0; tries < 200; ++tries) {
            std::size_t count = 0;
            // A prompt is "> " behind an empty line; the list behind the title starts with "> > " instead.
            for (std::size_t at = output.find("\r\n\r\n> "); at != std::string::npos;
                 at = output.find("\r\n\r\n> ", at + 1))
                count += output.compare(at, 7, "\r\n\r\n> >") != 0;
            if (static_cast<int>(count) >= prompts)
                return;
            pollfd wait{terminal, POLLIN, 0};
            if (poll(&wait, 1, 50) > 0) {
                char chunk[4096];
                const ssize_t got = read(terminal, chunk, sizeof chunk);
                if (got <= 0)
                    return;
                output.append(chunk, static_cast<std::size_t>(got));
            }
        }
    };
    readUntilPrompt(1);
    const std::string input = "A printer 10.0.0.1\n";
    ASSERT_EQ(write(terminal, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    readUntilPrompt(2);
    ASSERT_EQ(write(terminal, "e\n", 2), 2);
    int status = 0;
    waitpid(child, &status, 0);
    close(terminal);

    const std::size_t lastClear = output.rfind("\x1b[H\x1b[2J");
    ASSERT_NE(lastClear, std::string::npos) << output;
    EXPECT_NE(output.find("\x1b[H\x1b[2J"), lastClear); // one clear per screen
    EXPECT_EQ(output.substr(lastClear + 7), "> The Velquorn Software DNS Server\r\n\r\n\x1b[3;1H"
                                            "> Entry Editor\r\n\r\n"
                                            "> > 0 : printer : 10.0.0.1\r\n\r\n> ");
}
