#include "console/entry_editor.h"

#include "common/ipv4.h"
#include "resolutions/resolution_file.h"
#include "tests/test_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// The screen the editor draws when standard output is not a terminal: title, list, prompt.
std::string Screen(const std::string& list) { return "> Entry Editor\n\n" + list + "\n> "; }

// A table and the file in a fresh directory that the editor saves it to.
struct Edited {
    TemporaryDirectory directory;
    ResolutionTable table;
    std::string fileName = directory.File("default.drf");
};

// Runs the editor on the given input without its pause and returns everything it printed.
std::string Edit(Edited& edited, const std::string& input) {
    std::FILE* in = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    testing::internal::CaptureStdout();
    RunEntryEditor({edited.table, edited.fileName, false, 2, in, std::chrono::milliseconds(0)});
    std::fflush(stdout);
    std::fclose(in);
    return testing::internal::GetCapturedStdout();
}

// Only the messages: what follows each screen's prompt up to the next screen.
std::vector<std::string> Messages(const std::string& output) {
    std::vector<std::string> messages;
    for (std::size_t screen = output.find("> Entry Editor\n"); screen != std::string::npos;) {
        const std::size_t next = output.find("> Entry Editor\n", screen + 1);
        const std::string chunk = output.substr(screen, next == std::string::npos ? next : next - screen);
        if (const std::string message = chunk.substr(chunk.rfind("\n\n> ") + 4); !message.empty())
            messages.push_back(message);
        screen = next;
    }
    return messages;
}

} // namespace

TEST(RunEntryEditor, AddsForwardsAndDeletesAndSavesEachChange) {
    Edited edited;
    const std::string output =
        Edit(edited, "A extra 10.0.0.1\nA printer 192.168.1.20\nforward files nas\nadd gateway\nD 0\nexit\n");
    EXPECT_THAT(Messages(output),
                ElementsAre("> Entry [extra -> 10.0.0.1] added\n", "> Entry [printer -> 192.168.1.20] added\n",
                            "> Entry [files -> nas] added\n", "> Entry [gateway -> Local] added\n",
                            "> Entry [extra] [10.0.0.1] deleted\n"));
    // The first screen shows the empty table, the last one the table as it is now, renumbered; the file holds it.
    EXPECT_TRUE(output.starts_with(Screen("> > No entries\n")));
    EXPECT_TRUE(
        output.ends_with(Screen("> > 0 : printer : 192.168.1.20\n> > 1 : files : nas\n> > 2 : gateway : Local\n")));
    EXPECT_THAT(ReadBytes(edited.fileName), ElementsAreArray(ExampleFile));
}

TEST(RunEntryEditor, TakesValuesAsTheWholeRestOfTheLine) {
    Edited edited;
    EXPECT_THAT(Messages(Edit(edited, "F host other.name more \nA word notanaddress\nA  spaced   10.0.0.2\n"
                                      "A nas 10.0.0.1\nA nas 0.0.0.0\n")),
                ElementsAre("> Entry [host -> other.name more ] added\n", "> Entry [word -> 255.255.255.255] added\n",
                            "> Entry [spaced -> 10.0.0.2] added\n", "> Entry [nas -> 10.0.0.1] added\n",
                            "> Entry [nas -> Local] added\n"));
    // A name added twice stands twice; the first one answers.
    EXPECT_EQ(FindResolution(edited.table, "nas")->address, MakeAddress(10, 0, 0, 1));
}

TEST(RunEntryEditor, AnswersWrongLinesWithOneMessageAndChangesNothing) {
    Edited edited;
    AppendResolution(edited.table, {"keep", {}, 0, 0});
    // A line with a NUL byte is one unknown command, and the line after it is read as usual.
    const std::string input = "A\nF host\nA\thost\t10.0.0.1\n A host\nx\nD5\nD abc\nD 1\nD -1\nD 99999999999\n"
                              "D -99999999999999999999\nA " +
                              std::string(300, 'n') + "\nA nul" + std::string(1, '\0') + "x 2.2.2.2\nD 7\n";
    const std::string missing = "> Data missing from command\n", unknown = "> Unknown command\n",
                      number = "> Entry number error\n";
    EXPECT_THAT(Messages(Edit(edited, input)),
                ElementsAre(missing, missing, missing, unknown, unknown, number, number, "> Entry 1 does not exist\n",
                            "> Entry -1 does not exist\n", "> Entry 2147483647 does not exist\n",
                            "> Entry -2147483648 does not exist\n", unknown, unknown, "> Entry 7 does not exist\n"));
    EXPECT_THAT(EntryNames(edited.table), ElementsAre("keep"));
    EXPECT_TRUE(ReadBytes(edited.fileName).empty());
}

TEST(RunEntryEditor, LeavesOnEOrAtTheEndOfInputAndReportsAFailedSave) {
    Edited edited;
    AppendResolution(edited.table, {"keep", {}, 0, 0});
    // Left after one screen each: a line after E is never read.
    for (const char* input : {"E\nA never 10.0.0.1\n", "e\n", "exit now\n", ""})
        EXPECT_EQ(Edit(edited, input), Screen("> > 0 : keep : Local\n")) << input;
    EXPECT_TRUE(Edit(edited, "A last 10.0.0.9").ends_with("\n> "));
    // Only the unterminated last line changed anything.
    EXPECT_THAT(EntryNames(edited.table), ElementsAre("keep", "last"));
    EXPECT_EQ(ReadBytes(edited.fileName).size(), 4u + 10 + 4 + 10 + 4);
    // A change that cannot be saved is not made, and never told as made; the reason is the platform's text.
    const std::string blocked = edited.fileName = edited.directory.File("missing/default.drf");
    EXPECT_THAT(
        Messages(Edit(edited, "A nas 10.0.0.1\n")),
        ElementsAre(testing::AllOf(testing::StartsWith("> Error: could not save resolutions to " + blocked + ": "),
                                   testing::EndsWith("; nothing was changed\n"))));
    EXPECT_THAT(EntryNames(edited.table), ElementsAre("keep", "last"));
}

TEST(RunEntryEditor, RefusesAChangeWhileAnotherHoldsTheLockAndLosesNothingAfter) {
    Edited edited;
    AppendResolution(edited.table, {"keep", {}, 0, 0});
    ASSERT_EQ(SaveResolutionFile(edited.table, edited.fileName.c_str()), 0);
    const FileLockResult held = LockFile((edited.fileName + ".lock").c_str(), std::chrono::milliseconds(0));
    ASSERT_EQ(held.error, 0);
    EXPECT_THAT(Messages(Edit(edited, "A edlock 10.6.6.6\n")),
                ElementsAre(testing::EndsWith("; nothing was changed\n")));
    // Meanwhile the service learned a name; the next change, with the lock free, keeps it and adds only itself.
    UnlockFile(held.lock);
    ResolutionTable service = edited.table;
    AppendResolution(service, {"learned", {}, 0, MakeAddress(10, 0, 0, 8)});
    ASSERT_EQ(SaveResolutionFile(service, edited.fileName.c_str()), 0);
    Edit(edited, "A later 10.0.0.2\n");
    EXPECT_THAT(EntryNames(*LoadResolutionFile(edited.fileName.c_str()).table),
                ElementsAre("keep", "learned", "later"));
}

TEST(RunEntryEditor, MakesEachChangeToTheTableTheFileHoldsNow) {
    Edited edited;
    AppendResolution(edited.table, {"printer", {}, 0, MakeAddress(192, 168, 1, 20)});
    AppendResolution(edited.table, {"gone", {}, 0, 0});
    // Someone else saved the file after the editor read its table: printer moved to the end, learned was added.
    ResolutionTable theirs;
    for (const char* name : {"gateway", "learned", "printer"})
        AppendResolution(theirs, {name, {}, 0, name[0] == 'p' ? MakeAddress(192, 168, 1, 20) : 0});
    ASSERT_EQ(SaveResolutionFile(theirs, edited.fileName.c_str()), 0);
    const std::string output = Edit(edited, "D 0\nA nas 10.0.0.1\n");
    EXPECT_THAT(Messages(output),
                ElementsAre("> Entry [printer] [192.168.1.20] deleted\n", "> Entry [nas -> 10.0.0.1] added\n"));
    EXPECT_THAT(EntryNames(edited.table), ElementsAre("gateway", "learned", "nas"));
    EXPECT_THAT(ReadBytes(edited.fileName), ElementsAreArray(SerializeResolutionTable(edited.table)));
    EXPECT_TRUE(output.ends_with(Screen("> > 0 : gateway : Local\n> > 1 : learned : Local\n> > 2 : nas : 10.0.0.1\n")));

    // The file cut short under the editor: what can still be read stays with the editor's table merged behind
    // it, and the cut file is kept beside it.
    AppendResolution(theirs, {"second", {}, 0, 0});
    Bytes cut = SerializeResolutionTable(theirs);
    cut.resize(cut.size() - 3);
    WriteBytes(edited.fileName, cut);
    EXPECT_THAT(Messages(Edit(edited, "A x 1.2.3.4\n")),
                ElementsAre("> Entry [x -> 1.2.3.4] added\n> Warning: " + edited.fileName +
                            " was not a whole table of resolutions; kept it as " + edited.fileName + ".damaged\n"));
    EXPECT_THAT(EntryNames(*LoadResolutionFile(edited.fileName.c_str()).table),
                ElementsAre("gateway", "learned", "printer", "nas", "x"));
    EXPECT_EQ(ReadBytes(edited.fileName + ".damaged"), cut);
}

TEST(RunEntryEditor, DeletesTheEntryChosenByItsPlaceNotAnotherOfTheSameName) {
    Edited edited;
    for (const auto& [name, address] : {std::pair{"dup", 1}, {"DUP", 2}, {"dup", 1}})
        AppendResolution(edited.table, {name, {}, 0, MakeAddress(10, 0, 0, std::uint8_t(address))});
    Edit(edited, "D 2\n");
    EXPECT_THAT(EntryNames(edited.table), ElementsAre("dup", "DUP"));
    EXPECT_EQ(FindResolution(edited.table, "dup")->address, MakeAddress(10, 0, 0, 1));
}
