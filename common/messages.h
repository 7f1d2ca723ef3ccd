#pragma once

#include <string>

// The line that tells the user that a change of the table was not written to the resolution file.
std::string SaveErrorLine(const char* fileName, int error);
void PrintSaveError(const char* fileName, int error);
