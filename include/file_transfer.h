#pragma once
// Sends one load file to the console line by line.

#include <cstdio>

namespace transfer {

extern float minutes_per_byte;      // load-time estimate factor
extern std::FILE* open_load_file;   // null while no transfer runs

void load_file(const char* path, int no_retry);
void close_load_file();

}  // namespace transfer
