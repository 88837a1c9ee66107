#include "serial_port.h"

#include <array>
#include <cstdio>

namespace serial_link {

platform::handle port_handle = platform::invalid_handle;
std::uint32_t current_baud = 0;

namespace {

constexpr std::uint32_t write_constant_ms = 2000;
constexpr std::uint32_t write_per_byte_ms = 10;
constexpr std::array<std::uint32_t, 10> accepted_rates = {110,  300,  600,   1200,  2400,
                                                          4800, 9600, 19200, 38400, 57600};

int last_open_error = 0;
std::array<char, 32> numbered_path{};
const char* last_path = "";

}  // namespace

int open_port(int port_index) {
    std::snprintf(numbered_path.data(), numbered_path.size(), "/dev/ttyS%d", port_index);
    return open_port_at(numbered_path.data());
}

int open_port_at(const char* device_path) {
    last_path = device_path;
    port_handle = platform::serial_open(device_path);
    if (port_handle == platform::invalid_handle) {
        last_open_error = platform::serial_error();
        return -1;
    }
    platform::line_settings settings;
    if (!platform::serial_get_settings(port_handle, settings)) {
        last_open_error = platform::serial_error();
        return -1;
    }
    settings.baud = 9600;
    settings.data_bits = 8;
    settings.parity = false;
    settings.two_stop_bits = false;
    settings.hardware_flow = false;
    settings.software_flow = false;
    settings.dtr = true;
    settings.rts = true;
    if (!platform::serial_set_settings(port_handle, settings)) {
        last_open_error = platform::serial_error();
        return -1;
    }
    platform::serial_set_timeouts(port_handle, write_constant_ms, write_per_byte_ms);
    platform::serial_purge(port_handle);
    return 0;
}

int open_error() { return last_open_error; }
const char* port_path() { return last_path; }

int set_baud(std::uint32_t rate) {
    bool accepted = false;
    for (std::uint32_t r : accepted_rates) accepted = accepted || r == rate;
    if (!accepted) return -1;
    platform::line_settings settings;
    if (!platform::serial_get_settings(port_handle, settings)) return -1;
    settings.baud = rate;
    if (!platform::serial_set_settings(port_handle, settings)) return -1;
    current_baud = rate;
    return 0;
}

std::uint32_t bytes_pending() {
    std::uint32_t count = 0;
    if (!platform::serial_pending(port_handle, count)) return 0;
    return count;
}

int read_byte(std::uint8_t* buffer) {
    std::uint32_t got = 0;
    if (!platform::serial_read(port_handle, buffer, 1, got)) return 0;
    return got == 1 ? 1 : 0;
}

int write_bytes(const std::uint8_t* buffer, std::uint32_t length) {
    std::uint32_t written = 0;
    if (!platform::serial_write(port_handle, buffer, length, written)) return 0;
    return written == length ? 1 : 0;
}

void close_port() { platform::serial_close(port_handle); }

}  // namespace serial_link
