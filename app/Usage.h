#pragma once

// Writes the usage text to the wide console stream.
void PrintUsage();
