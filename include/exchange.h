#pragma once
// One command to the device's console and its reply, summed up in one byte.

#include <cstdint>

namespace serial_link {

inline constexpr std::uint8_t prompt = '>';
inline constexpr std::uint8_t rejection = '?';
inline constexpr std::uint32_t quarter_ms = 250;

// '?' if any '?' was read, else the last byte read, else 0.
using exchange_result = std::uint8_t;

// Writes command (up to its NUL) and listens until a '>' or wait_quarters x 250 ms
// from the call's start.
exchange_result exchange(const char* command, std::uint16_t wait_quarters);
// Reads and logs whatever arrives for the given time.
void drain(std::uint32_t milliseconds);

}  // namespace serial_link
