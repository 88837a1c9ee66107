#include "file_transfer.h"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "driver.h"
#include "exchange.h"
#include "platform.h"
#include "receive_log.h"

namespace transfer {

float minutes_per_byte = 0.0f;
std::FILE* open_load_file = nullptr;

namespace {

constexpr std::size_t path_size = 260;
constexpr std::size_t chunk_size = 32768;
constexpr std::size_t line_size = 1024;
// Content of one line: room is left for the CR and the NUL sent after it.
constexpr std::size_t max_line_content = line_size - 2;
constexpr std::uint64_t lines_per_progress = 256;
constexpr std::uint32_t failure_log_bytes = 150;

constexpr float one_sixtieth = 1.0f / 60.0f;
constexpr float shortest_minutes = 0.001f;
static_assert(std::bit_cast<std::uint32_t>(one_sixtieth) == 0x3C888889);
static_assert(std::bit_cast<std::uint32_t>(shortest_minutes) == 0x3A83126F);

std::array<char, path_size> full_path_buffer{};
std::array<std::uint8_t, chunk_size> read_buffer{};
std::array<char, line_size> line_buffer{};

// After the failure message: the device's last words, the file closed, the exit.
[[noreturn]] void fail_transfer(exit_code code) {
    serial_link::dump_log(failure_log_bytes);
    close_load_file();
    driver::finish(code);
}

[[noreturn]] void fail_file(exit_code code) {
    close_load_file();
    driver::finish(code);
}

// Sends the assembled line; returns only once the console has accepted it.
void send_line(int no_retry) {
    serial_link::exchange_result last = serial_link::exchange(line_buffer.data(), 1);
    if (last == serial_link::prompt) return;
    if (no_retry == 0) {
        std::printf("\rretry");
        if (serial_link::exchange("\r", 1) != serial_link::prompt) {
            std::printf(" ?? lost connection to target. log:\n");
            fail_transfer(exit_code::lost_connection);
        }
        last = serial_link::exchange(line_buffer.data(), 1);
        if (last == serial_link::prompt) return;
    }
    std::printf(" ?? loader failure. k=%c (%02x); Log:\n", last, static_cast<unsigned>(last));
    fail_transfer(exit_code::loader_failure);
}

}  // namespace

void close_load_file() {
    if (open_load_file != nullptr) {
        std::fclose(open_load_file);
        open_load_file = nullptr;
    }
}

void load_file(const char* path, int no_retry) {
    if (!platform::full_path(full_path_buffer.data(), full_path_buffer.size(), path)) {
        std::printf(" bad path %s\n", path);
        driver::finish(exit_code::bad_load_file);
    }
    const char* const name = full_path_buffer.data();
    std::printf("Load file: %s\n", name);
    open_load_file = platform::open_for_reading(name);
    if (open_load_file == nullptr) {
        std::printf(" ?? %s: %s\n", name, std::strerror(errno));
        driver::finish(exit_code::bad_load_file);
    }
    std::int64_t file_size = 0;
    if (!platform::file_length(open_load_file, file_size)) {
        const int error = errno;
        std::printf(" ?? %s: %s\n", name, std::strerror(error));
        fail_file(exit_code::bad_load_file);
    }
    const float size_as_float = static_cast<float>(file_size);
    std::printf("%ld bytes, estimated load time %6.1f minutes\n", static_cast<long>(file_size),
                static_cast<double>(minutes_per_byte) * static_cast<double>(size_as_float));
    const std::int64_t start_time = platform::calendar_seconds();

    std::size_t line_length = 0;
    bool line_too_long = false;
    bool line_has_nul = false;
    std::uint64_t line_count = 0;
    std::uint64_t bytes_before_chunk = 0;

    for (;;) {
        int read_error = 0;
        const std::size_t got = platform::read_chunk(open_load_file, read_buffer.data(), chunk_size, read_error);
        if (got == 0) {
            // A failed read is no end of file: sending the rest of nothing and
            // programming it would report a partial image as a success.
            if (read_error != 0) {
                std::printf(" ?? %s: %s\n", name, std::strerror(read_error));
                fail_file(exit_code::bad_load_file);
            }
            break;
        }
        for (std::size_t position = 0; position < got;) {
            const std::uint8_t byte = read_buffer[position++];
            if (byte != '\n') {
                // One byte more than the content limit is kept: it may be the CR
                // that is dropped before the LF.
                if (line_length < max_line_content + 1) {
                    line_buffer[line_length++] = static_cast<char>(byte);
                } else {
                    line_too_long = true;
                }
                if (byte == 0) line_has_nul = true;
                continue;
            }
            if (line_length > 0 && line_buffer[line_length - 1] == '\r') --line_length;
            // Refused before any of it goes out: a cut line would be executed
            // by the device as a command of its own.
            if (line_too_long || line_length > max_line_content) {
                std::printf(" ?? line %lu of %s is longer than %zu bytes\n",
                            static_cast<unsigned long>(line_count + 1), name, max_line_content);
                fail_file(exit_code::bad_load_file);
            }
            if (line_has_nul) {
                std::printf(" ?? line %lu of %s holds a NUL byte\n",
                            static_cast<unsigned long>(line_count + 1), name);
                fail_file(exit_code::bad_load_file);
            }
            line_buffer[line_length] = '\r';
            line_buffer[line_length + 1] = '\0';
            ++line_count;
            send_line(no_retry);
            line_length = 0;
            if (line_count % lines_per_progress == 0) {
                const std::uint64_t consumed = bytes_before_chunk + position;
                std::printf("\r%7.1f%% ", static_cast<double>(consumed) * static_cast<double>(100.0f) /
                                              static_cast<double>(size_as_float));
            }
        }
        bytes_before_chunk += got;
    }

    const std::int64_t end_time = platform::calendar_seconds();
    const double elapsed = static_cast<double>(end_time - start_time);
    const double product = elapsed * static_cast<double>(one_sixtieth);
    float minutes = static_cast<float>(product);
    if (product == 0.0) minutes = shortest_minutes;
    const std::uint64_t total = bytes_before_chunk;
    std::printf("\nActual load time: %8.2f minutes; ", static_cast<double>(minutes));
    std::printf(" %8.0f bytes/sec\n", static_cast<double>(total) / (static_cast<double>(minutes) * 60.0));
    if (total > 0) {
        minutes_per_byte = static_cast<float>(static_cast<double>(minutes) / static_cast<double>(total));
    }
    close_load_file();
}

}  // namespace transfer
