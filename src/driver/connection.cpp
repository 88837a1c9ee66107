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

constexpr std::uint8_t enq = 0x05;
constexpr std::uint8_t dle = 0x10;
constexpr std::uint32_t wake_window_ms = 2000;
constexpr std::uint32_t wake_poll_ms = 10;
constexpr std::uint32_t settle_ms = 2000;
constexpr const char activation_1[] = "\x10\x26\x40\x40";
constexpr const char activation_2[] = "\x10\x2A\x40\x40";

constexpr float minutes_per_byte_fast = 8.0e-6f;
constexpr float minutes_per_byte_slow = 2.5e-5f;

bool wait_for_dle() {
    const std::uint32_t start = platform::tick_ms();
    while (static_cast<std::uint32_t>(platform::tick_ms() - start) < wake_window_ms) {
        std::uint8_t byte = 0;
        if (serial_link::bytes_pending() != 0 && serial_link::read_byte(&byte) == 1) {
            serial_link::log_byte(byte);
            if (byte == dle) return true;
            continue;
        }
        platform::pause_ms(wake_poll_ms);
    }
    return false;
}

void wake_and_activate(const char* port_name) {
    if (serial_link::write_bytes(&enq, 1) != 1) {
        std::printf(" ?? Could not send a character via port %s\n", port_name);
        finish(exit_code::no_target);
    }
    if (!wait_for_dle()) {
        std::printf(" ?? No Quorvel found on port %s\n", port_name);
        finish(exit_code::no_target);
    }
    std::printf("Quorvel connected.\n");
    serial_link::drain(settle_ms);
    serial_link::exchange(activation_1, 1);
    serial_link::exchange(activation_2, 2);
    serial_link::drain(settle_ms);
    if (serial_link::exchange("\r", 1) != serial_link::prompt) {
        std::printf(" ?? couldn't activate Quorvel console \n");
        finish(exit_code::console_inactive);
    }
}

}  // namespace

void connect(const char* port_name, int fast, int slow) {
    serial_link::current_baud = 9600;
    serial_link::exchange("\r", 1);
    if (serial_link::exchange("\r", 1) != serial_link::prompt) wake_and_activate(port_name);

    if (fast != 0) {
        std::printf("\n forcing 57600 baud ");
        serial_link::exchange("c b57600\r", 1);
        serial_link::set_baud(57600);
        serial_link::drain(settle_ms);
        if (serial_link::exchange("\r", 1) != serial_link::prompt) {
            serial_link::set_baud(9600);
            serial_link::exchange("\r", 1);
        }
    } else if (slow != 0) {
        std::printf("\n forcing 9600 baud ");
    }
    std::printf(" using %lu baud\n", static_cast<unsigned long>(serial_link::current_baud));
    transfer::minutes_per_byte =
        serial_link::current_baud == 57600 ? minutes_per_byte_fast : minutes_per_byte_slow;
}

}  // namespace driver
