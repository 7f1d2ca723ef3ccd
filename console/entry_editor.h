#pragma once

#include <chrono>
#include <cstdio>

struct EditorSettings {
    std::FILE* input = stdin;
    // Every cycle starts with this pause, so the last message stays readable.
    std::chrono::milliseconds pause{1000};
};

// Runs the editor on the table that Resolutions reaches until the E command or the end of the input. Every
// change is saved at once; a failed save is reported.
void RunEntryEditor(const EditorSettings& settings = {});

// Writes the numbered entry list, or "> > No entries".
void PrintEntryList();
