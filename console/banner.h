#pragma once

inline constexpr const char* ConsoleTitle = "The Velquorn Software DNS Server";

// Rows that the banner takes: its own line and the empty line below it.
inline constexpr int BannerRows = 2;

// Writes the banner line and the empty line below it.
void PrintBanner();
