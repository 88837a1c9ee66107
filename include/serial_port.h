#pragma once
// The one serial port of the process.

#include <cstdint>

#include "platform.h"

namespace serial_link {

extern platform::handle port_handle;  // invalid until open_port runs
extern std::uint32_t current_baud;    // line speed last set successfully; 0 at start

// Opens port number port_index + 1 (/dev/ttyS<port_index> here).
int open_port(int port_index);
// Opens the device at path: raw 8N1 at 9600 baud, DTR and RTS raised, reads
// that never wait, both queues purged. 0 on success, -1 on failure.
int open_port_at(const char* device_path);
int open_error();         // errno-style reason when open_port failed
const char* port_path();  // the device open_port was given or formed

int set_baud(std::uint32_t rate);  // 0 once the port runs at rate, else -1
std::uint32_t bytes_pending();
int read_byte(std::uint8_t* buffer);
int write_bytes(const std::uint8_t* buffer, std::uint32_t length);
void close_port();

}  // namespace serial_link
