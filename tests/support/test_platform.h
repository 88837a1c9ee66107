#pragma once
// The test platform: a virtual millisecond clock that only pauses (and tests)
// advance, and a scripted serial device. Linked in place of the real platform.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel_sim {
struct device;
}

namespace test_platform {

// Thrown by exit_process, so a test can look at what happened before the exit.
struct exit_called {
    int code;
};
// Thrown when virtual time runs away: the program would have hung.
struct runaway {};

struct sent_byte {
    std::uint64_t time_ms;
    std::uint32_t baud;
    std::uint8_t value;
};

// Everything back to a fresh process: clock at 0 (tick = tick_base + clock),
// no device, no keys, program state cleared.
void reset(std::uint32_t tick_base = 0);

std::uint64_t now_ms();
void advance(std::uint64_t milliseconds);

// Scripted device: bytes that arrive at the given virtual time.
void deliver(std::uint64_t at_ms, std::string_view bytes);
// Called for every write, with the bytes, the time and the line speed.
void on_write(std::function<void(std::string_view bytes, std::uint64_t at_ms, std::uint32_t baud)> hook);
// The simulator's device model in place of a script.
void attach(quorvel_sim::device* model);

const std::vector<sent_byte>& sent();
std::string sent_text();  // the written bytes alone
std::uint32_t line_speed();
std::uint64_t pending_queries();  // how often the port was polled
std::uint64_t pauses_taken();

// Faults.
void refuse_rate(std::uint32_t baud);
void fail_writes(bool fail);
void vanish_at(std::uint64_t at_ms);
void fail_open(int error);
void fail_reads_after(std::uint64_t bytes, int error);

// Keyboard: each byte is one key, there from the given virtual time on.
void press_keys(std::string_view keys, std::uint64_t at_ms = 0);
std::size_t keys_left();
// Calendar time is base + clock / 1000 seconds, or base alone while stopped.
void set_calendar(std::int64_t base_seconds, bool running);

// Runs body with standard output captured; returns the output and sets code
// to the exit code, or -1 when body returned.
std::string run_captured(const std::function<void()>& body, int& code);

}  // namespace test_platform
