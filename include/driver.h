#pragma once
// The three phases of an update.

#include <array>

#include "exit_codes.h"

namespace driver {

inline constexpr int file_slot_size = 261;
extern std::array<std::array<char, file_slot_size>, 3> file_slots;

// Command line and start-up, then the other two phases. Never returns.
[[noreturn]] void run(int argc, char** argv);
// Wakes and activates the console and chooses the line speed.
void connect(const char* port_name, int fast, int slow);
// Memory fill, the three files, programming and the completion wait. Never returns.
[[noreturn]] void run_update_sequence();

[[noreturn]] void finish(exit_code code);

}  // namespace driver
