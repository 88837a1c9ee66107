#include "exchange.h"

#include <cstring>

#include "platform.h"
#include "receive_log.h"
#include "serial_port.h"

namespace serial_link {

namespace {

constexpr std::uint32_t poll_pause_ms = 5;

bool take_byte(std::uint8_t& byte) { return bytes_pending() != 0 && read_byte(&byte) == 1; }

}  // namespace

exchange_result exchange(const char* command, std::uint16_t wait_quarters) {
    const std::uint32_t start = platform::tick_ms();
    const std::uint32_t timeout = static_cast<std::uint32_t>(wait_quarters) * quarter_ms;
    const std::size_t length = std::strlen(command);
    std::uint32_t received = 0;
    std::uint32_t questions = 0;
    bool prompt_seen = false;
    std::uint8_t last = 0;

    if (length != 0) {
        write_bytes(reinterpret_cast<const std::uint8_t*>(command), static_cast<std::uint32_t>(length));
        // One look at once: this can only find a byte that was already waiting,
        // so a '>' here does not end the exchange.
        std::uint8_t byte = 0;
        if (take_byte(byte)) {
            if (byte == rejection) questions = 1;
            log_byte(byte);
            last = byte;
            received = 1;
        }
    }

    while (static_cast<std::uint32_t>(platform::tick_ms() - start) < timeout) {
        std::uint8_t byte = 0;
        if (!take_byte(byte)) {
            platform::pause_ms(poll_pause_ms);
            continue;
        }
        // Bytes already waiting are read back to back, without a clock test.
        for (;;) {
            ++received;
            last = byte;
            if (byte == rejection) {
                ++questions;
            } else if (byte == prompt) {
                prompt_seen = true;
            }
            log_byte(byte);
            if (prompt_seen || !take_byte(byte)) break;
        }
        if (prompt_seen) break;
        platform::pause_ms(poll_pause_ms);
    }

    if (questions != 0) return rejection;
    return received != 0 ? last : 0;
}

void drain(std::uint32_t milliseconds) {
    const std::uint32_t start = platform::tick_ms();
    while (static_cast<std::uint32_t>(platform::tick_ms() - start) < milliseconds) {
        if (bytes_pending() == 0) {
            platform::pause_ms(poll_pause_ms);
            continue;
        }
        std::uint8_t byte = 0;
        if (read_byte(&byte) == 1) log_byte(byte);
    }
}

}  // namespace serial_link
