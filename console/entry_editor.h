#pragma once

#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <chrono>
#include <cstdio>
#include <string>

struct EditorSettings {
    ResolutionTable& table;
    std::string fileName;  // where every change is saved
    bool terminal = false; // the screen is drawn anew on a terminal, and names show control bytes as '?'
    int homeRow = 0;       // the screen's first row, below the banner
    std::FILE* input = stdin;
    // Every cycle starts with this pause, so the last message stays readable.
    std::chrono::milliseconds pause{1000};
    // The file as the table was loaded from it.
    KnownResolutionFile loaded{};
};

// Runs the editor on the table until the E command or the end of the input. Every change is saved at once, or
// not made, with a line that says why. When someone else (the running service, another editor) changed the file
// since the editor last read or wrote it, the change is made to the table the file holds, which the editor shows
// from then on; a file that holds no whole table is kept beside it before it is replaced with its readable part
// and the editor's table.
void RunEntryEditor(const EditorSettings& settings);

// Writes the numbered entry list, or "> > No entries".
void PrintEntryList(const ResolutionTable& table, bool terminal);
