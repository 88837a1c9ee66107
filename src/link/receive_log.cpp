#include "receive_log.h"

#include <cstdio>

#include "platform.h"

namespace serial_link {

std::array<std::uint8_t, log_size> receive_log{};
std::uint32_t log_write_index = 0;
std::uint32_t log_fill_count = 0;
std::uint32_t log_read_cursor = 0;

namespace {

constexpr std::uint32_t first_page_line_ends = 10;
constexpr std::uint32_t page_line_ends = 20;
constexpr std::uint32_t key_poll_ms = 20;

void wait_for_key() {
    std::printf("\n  Hit any key to continue.. ");
    std::fflush(stdout);
    while (!platform::key_waiting()) platform::pause_ms(key_poll_ms);
    platform::take_key();
}

}  // namespace

void log_byte(std::uint8_t value) {
    receive_log[log_write_index] = value;
    log_write_index = (log_write_index + 1) % log_size;
    if (log_fill_count < log_size) ++log_fill_count;
}

void dump_log(std::uint32_t count) {
    const std::uint32_t to_print = count < log_fill_count ? count : log_fill_count;
    log_read_cursor = (log_write_index + log_size - to_print) % log_size;
    // The first page is shorter: the failure message above it takes room.
    std::uint32_t line_ends = first_page_line_ends;
    for (std::uint32_t i = 0; i < to_print; ++i) {
        const std::uint8_t byte = receive_log[log_read_cursor++];
        if (byte == '\r' || byte == '\n') {
            if (++line_ends > page_line_ends) {
                wait_for_key();
                line_ends = 0;
            }
        }
        std::putc(byte, stdout);
        if (log_read_cursor == log_size) log_read_cursor = 0;
    }
}

}  // namespace serial_link
