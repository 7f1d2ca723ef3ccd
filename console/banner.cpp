#include "console/banner.h"

#include <cstdio>

void PrintBanner() { std::puts("> The Velquorn Software DNS Server\n"); }
