// Behaviour model of the Quorvel console as seen over its serial line.
// Pure state and functions on a caller-supplied microsecond clock, no
// allocation and no system calls, so tests can drive it on virtual time
// and quorvel-sim can drive it on a real pty.
#pragma once

#include <array>
#include <cstdint>

namespace quorvel_sim {

enum class line_fault : uint8_t { none, reject_once, reject_always, never_answer };
enum class colon_reply : uint8_t { normal, late, never, prompt };

struct line_ref {
  uint8_t file = 0;  // 0 = not set
  uint32_t line = 0;
};

struct options {
  bool console_active = false;
  bool paced = false;
  uint32_t dle_delay_ms = 20;
  bool enq_unanswered = false;
  uint32_t noise_before_dle = 0;
  bool refuse_activation = false;
  bool refuse_57600 = false;
  bool reject_fill = false;
  bool reject_offset = false;
  uint32_t file1_lines = 0;
  line_ref fault_at{};
  line_fault fault = line_fault::none;
  bool probe_unanswered = false;
  colon_reply colon = colon_reply::normal;
  uint32_t colon_delay_ms = 1500;
  uint32_t y_bytes = 100;
  uint32_t y_gap_ms = 20;
  uint32_t y_start_delay_ms = 300;  // from "Y" to the first progress byte
  line_ref vanish_after{};
  line_ref flood_after{};
  uint32_t flood_bytes = 0;
};

inline constexpr uint8_t enq = 0x05;
inline constexpr uint8_t dle = 0x10;
inline constexpr std::array<uint8_t, 8> activation_packets{0x10, 0x26, 0x40, 0x40,
                                                           0x10, 0x2A, 0x40, 0x40};
inline constexpr uint32_t output_capacity = 4096;
inline constexpr uint32_t line_capacity = 2048;
inline constexpr uint32_t fill_time_ms = 300;
inline constexpr uint32_t rb_reply_delay_ms = 10;

// 8N1: ten bits per byte, rounded up to whole microseconds.
constexpr uint32_t byte_time_us(uint32_t baud) {
  return baud == 0 ? 0 : (10'000'000u + baud - 1) / baud;
}

// What a host sees when it reads a byte sent at another speed.
constexpr uint8_t garbled(uint8_t b) { return static_cast<uint8_t>(0xF0 | (b & 0x0F)); }

enum class console_state : uint8_t { asleep, woken, refused, active, fill_value, load, await_y };

struct output_entry {
  uint64_t due_us = 0;
  uint32_t baud = 0;
  uint8_t byte = 0;
};

struct device {
  options opt{};
  console_state state = console_state::asleep;
  uint32_t baud = 9600;

  bool switch_pending = false;
  uint32_t switch_baud = 0;
  uint64_t switch_at_us = 0;

  bool vanish_pending = false;
  bool gone = false;
  uint64_t vanish_at_us = 0;

  uint64_t rx_free_us = 0;
  uint64_t tx_free_us = 0;
  uint64_t busy_until_us = 0;

  uint8_t activation_index = 0;
  bool swallowing_activation = false;  // a re-woken active console eats the packets

  std::array<char, line_capacity> line{};
  uint32_t line_len = 0;
  bool line_overflow = false;

  // Load mode: segment 1 holds files 1 and 2, segment 3 holds file 3.
  uint8_t segment = 0;
  uint32_t load_line = 0;  // number of the next line within the segment
  bool last_line_failed = false;
  bool fault_spent = false;

  std::array<output_entry, output_capacity> out{};
  uint32_t out_head = 0;
  uint32_t out_count = 0;
  uint32_t out_dropped = 0;
};

// nullptr when the options are usable, else a one-line reason.
const char* options_error(const options& o);

void reset(device& d, const options& o);
void receive(device& d, uint8_t byte, uint32_t host_baud, uint64_t now_us);
uint32_t output_ready(const device& d, uint64_t now_us);
bool take_output(device& d, uint64_t now_us, uint32_t host_baud, uint8_t& byte);
uint64_t next_event_us(const device& d);
bool vanished(const device& d, uint64_t now_us);
uint32_t device_baud(const device& d, uint64_t now_us);

// Record checks used on load lines; exposed for tests.
enum class record_check : uint8_t { not_a_record, good, bad };
record_check check_record(const char* text, uint32_t len);

}  // namespace quorvel_sim
