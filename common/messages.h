#pragma once

// Tells the user that a change of the table was not written to the resolution file.
void PrintSaveError(const char* fileName, int error);
