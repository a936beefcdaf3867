// The usage text shown for a wrong command line.
#pragma once
#include <string>

// The whole text as printed, line ends included.
std::string UsageText();

// Prints the text, then waits for one key at the console (not at all when no one is there).
void ShowUsage();
