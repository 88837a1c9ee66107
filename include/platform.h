#pragma once
// What the operating system provides. One implementation per system under
// src/platform/, plus the test platform (virtual clock, scripted device).

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace platform {

using handle = int;
inline constexpr handle invalid_handle = -1;

// Line settings of an open port: what the program asks for and reads back.
struct line_settings {
    std::uint32_t baud = 0;
    std::uint8_t data_bits = 8;
    bool parity = false;
    bool two_stop_bits = false;
    bool hardware_flow = false;  // RTS/CTS
    bool software_flow = false;  // XON/XOFF, either direction
    bool dtr = true;
    bool rts = true;
};

// Serial port.
// Opens an existing device for reading and writing, exclusively: fails while
// another process holds it. invalid_handle on failure; serial_error() tells why.
handle serial_open(const char* device_path);
bool serial_get_settings(handle port, line_settings& settings);
// Applies every setting and checks that the port really runs with them.
bool serial_set_settings(handle port, const line_settings& settings);
// Reads return at once; a write of n bytes may take constant + per_byte * n ms.
void serial_set_timeouts(handle port, std::uint32_t write_constant_ms, std::uint32_t write_per_byte_ms);
void serial_purge(handle port);
bool serial_pending(handle port, std::uint32_t& count);
bool serial_read(handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& got);
bool serial_write(handle port, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& written);
void serial_close(handle port);
int serial_error();  // errno-style reason of the last failure

// Time.
std::uint32_t tick_ms();  // free-running, wraps at 2^32
void pause_ms(std::uint32_t milliseconds);
std::int64_t calendar_seconds();  // wall-clock time in whole seconds

// Keyboard.
bool key_waiting();
int take_key();

// Files.
// Absolute path made lexically from the current directory; false if it does not fit.
bool full_path(char* out, std::size_t size, const char* path);
// Opens a regular file for binary reading; null with errno set otherwise.
std::FILE* open_for_reading(const char* path);
bool file_length(std::FILE* file, std::int64_t& length);
// Reads up to length bytes; 0 at the end or on error, with error set to the
// errno value on error and 0 at the end.
std::size_t read_chunk(std::FILE* file, std::uint8_t* buffer, std::size_t length, int& error);

// Process.
void console_init();  // unbuffered standard output, no death by SIGPIPE
[[noreturn]] void exit_process(int code);

}  // namespace platform
