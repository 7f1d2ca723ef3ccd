#pragma once

// Console operations. Those that draw write terminal escape sequences to standard output, and only when it is
// a terminal: elsewhere they write nothing, so the output stays plain text.

#include <string>
#include <string_view>
#include <vector>

// Makes standard output reach a log or a pipe line by line, as it is written, not when a buffer fills.
void StartConsoleOutput();

bool StandardOutputIsTerminal();

// The program's arguments as UTF-8 text, its own name first, whatever the system's code page.
std::vector<std::string> ProgramArguments(int argumentCount, char** arguments);

// Sends standard output from now on to the end of the file, which is made when missing, for a run without a
// console. On Windows each line goes behind the local date and time, and the file is rolled over to FILE.1 at
// 10 MB. Returns 0 or the platform's code of the failure, output unchanged then.
int SendConsoleOutputTo(const char* fileName);

// The end of a run: every line written so far reaches where standard output goes, the file of
// SendConsoleOutputTo included. Nothing may be written afterwards.
void FinishConsoleOutput();

void SetConsoleTitle(const char* title);

// Blanks the screen and puts the cursor in its top left corner.
void ClearConsole();

// Moves the cursor; column and row count from 0 at the top left corner.
void MoveConsoleCursor(int column, int row);

// Asks the terminal to iconify its window (show false) or to restore it (show true).
void ShowConsoleWindow(bool show);

// Writes the text to standard output at once, after whatever the C library still holds for it.
void WriteConsole(std::string_view text);
