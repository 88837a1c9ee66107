#pragma once
// The most recent bytes the device sent, kept for the failure reports.

#include <array>
#include <cstdint>

namespace serial_link {

inline constexpr std::uint32_t log_size = 1024;

extern std::array<std::uint8_t, log_size> receive_log;
extern std::uint32_t log_write_index;
extern std::uint32_t log_fill_count;
extern std::uint32_t log_read_cursor;

void log_byte(std::uint8_t value);
// Prints the last count bytes, oldest first, pausing for a key every so many line ends.
void dump_log(std::uint32_t count);

}  // namespace serial_link
