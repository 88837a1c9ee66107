#include <array>
#include <cstdint>
#include <cstdio>

#include "driver.h"
#include "exchange.h"
#include "file_transfer.h"
#include "platform.h"
#include "receive_log.h"
#include "serial_port.h"

namespace driver {

namespace {

constexpr std::uint32_t silence_ms = 5000;
constexpr std::uint32_t completion_poll_ms = 10;
constexpr std::uint32_t command_log_bytes = 30;
constexpr std::uint32_t programming_log_bytes = 150;
constexpr std::array<char, 4> spinner = {'|', '/', '-', '\\'};

[[noreturn]] void fail(const char* message, std::uint32_t log_bytes, exit_code code) {
    std::printf("%s", message);
    serial_link::dump_log(log_bytes);
    finish(code);
}

// Waits until the device has been silent for 5 s, turning the spinner.
void wait_for_completion() {
    std::uint32_t count = 0;
    std::uint32_t silence_start = platform::tick_ms();
    while (static_cast<std::uint32_t>(platform::tick_ms() - silence_start) < silence_ms) {
        if (serial_link::bytes_pending() == 0) {
            platform::pause_ms(completion_poll_ms);
            continue;
        }
        std::uint8_t byte = 0;
        if (serial_link::read_byte(&byte) != 1) continue;
        ++count;
        if (count % 16 == 0) std::putc(spinner[(count / 16) % 4], stdout);
        if (count % 16 == 8) std::putc('\r', stdout);
        silence_start = platform::tick_ms();
    }
}

}  // namespace

void run_update_sequence() {
    if (serial_link::exchange("FD 0 E8000\r0\r", 4) != serial_link::prompt) {
        fail(" ?? target memory fill failed. Log:\n", command_log_bytes, exit_code::target_command_failed);
    }
    std::printf("Memory scrubbed\n");
    if (serial_link::exchange("LOAD 0\r", 1) != serial_link::prompt) {
        fail(" ?? target load offset failed. Log:\n", command_log_bytes, exit_code::target_command_failed);
    }

    transfer::load_file(file_slots[0].data(), 0);
    transfer::load_file(file_slots[1].data(), 0);
    serial_link::exchange("g 90000\r", 1);
    transfer::load_file(file_slots[2].data(), 1);
    serial_link::exchange("X", 1);

    if (serial_link::current_baud > 9600) {
        serial_link::exchange("c b9600\r", 1);
        serial_link::set_baud(9600);
        serial_link::exchange("\r", 1);
    }

    if (serial_link::exchange("RB\r", 4) != ':' && serial_link::exchange("", 4) != ':') {
        fail(" Programming failure. Text was:\n", programming_log_bytes, exit_code::programming_failure);
    }
    std::printf("\n Please wait. Do not interrupt power to the device\n");
    std::printf(" or it will be rendered inoperable!\n");
    serial_link::exchange("Y", 1);

    wait_for_completion();
    serial_link::exchange("\r", 1);
    std::printf("\n Update complete. Cycle power to restart. ");
    serial_link::close_port();
    finish(exit_code::update_complete);
}

}  // namespace driver
