#include "quorvel_model.h"

#include <algorithm>
#include <string_view>

namespace quorvel_sim {
namespace {

constexpr uint8_t cr = 0x0D;
constexpr uint8_t lf = 0x0A;
constexpr uint64_t ms = 1000;
constexpr std::string_view prompt = "\r\n>";
constexpr std::string_view rejected = "\r\n?\r\n>";
constexpr std::string_view rb_question = "\r\nProgram flash, confirm with Y";
constexpr std::array<uint8_t, 4> noise_pattern{0x00, 0xFF, 0x7E, 0x80};
constexpr std::string_view flood_pattern = "abcdefghijklmnopqrstuvwxyz0123456789 .,-=+*#";

uint32_t baud_at(const device& d, uint64_t t) {
  return d.switch_pending && t >= d.switch_at_us ? d.switch_baud : d.baud;
}

const output_entry& entry(const device& d, uint32_t i) {
  return d.out[(d.out_head + i) % output_capacity];
}

void apply_timed(device& d, uint64_t now) {
  if (d.switch_pending && now >= d.switch_at_us) {
    d.baud = d.switch_baud;
    d.switch_pending = false;
  }
  if (d.vanish_pending && now >= d.vanish_at_us) {
    d.vanish_pending = false;
    d.gone = true;
    // Nothing leaves the line once the device is gone.
    while (d.out_count > 0 && entry(d, d.out_count - 1).due_us > d.vanish_at_us) --d.out_count;
  }
}

bool send(device& d, uint8_t b, uint64_t ready) {
  if (d.gone) return false;
  if (d.out_count == output_capacity) {
    ++d.out_dropped;
    return false;
  }
  const uint64_t start = std::max(ready, d.tx_free_us);
  const uint32_t baud = baud_at(d, start);
  const uint64_t due = d.opt.paced ? start + byte_time_us(baud) : start;
  d.out[(d.out_head + d.out_count) % output_capacity] = {due, baud, b};
  ++d.out_count;
  d.tx_free_us = due;
  return true;
}

// Returns false if any byte was dropped.
bool send_text(device& d, std::string_view s, uint64_t ready) {
  bool all = true;
  ready = std::max(ready, d.busy_until_us);
  for (char c : s) all = send(d, static_cast<uint8_t>(c), ready) && all;
  return all;
}

void schedule_switch(device& d, uint32_t baud, bool reply_queued, uint64_t t) {
  if (d.switch_pending) d.baud = d.switch_baud;  // an older switch is overtaken
  if (!reply_queued) {
    d.baud = baud;
    d.switch_pending = false;
    return;
  }
  d.switch_pending = true;
  d.switch_baud = baud;
  d.switch_at_us = std::max(d.tx_free_us, t);
}

void clear_line(device& d) {
  d.line_len = 0;
  d.line_overflow = false;
}

void wake(device& d, uint64_t t) {
  if (d.opt.enq_unanswered) return;
  const uint64_t dle_at = t + d.opt.dle_delay_ms * ms;
  for (uint32_t i = 0; i < d.opt.noise_before_dle; ++i) {
    const uint64_t at = t + (dle_at - t) * i / (d.opt.noise_before_dle + 1);
    send(d, noise_pattern[i % noise_pattern.size()], at);
  }
  send(d, dle, dle_at);
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint8_t hex_value(char c) {
  if (c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a') return static_cast<uint8_t>(c - 'a' + 10);
  return static_cast<uint8_t>(c - 'A' + 10);
}

bool all_hex(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), is_hex);
}

// Decodes hex pairs into a running sum; false on odd length or non-hex.
bool sum_pairs(std::string_view s, uint32_t& sum, uint32_t& count, uint8_t& first) {
  if (s.size() % 2 != 0) return false;
  sum = 0;
  count = 0;
  first = 0;
  for (size_t i = 0; i < s.size(); i += 2) {
    if (!is_hex(s[i]) || !is_hex(s[i + 1])) return false;
    const uint8_t v = static_cast<uint8_t>(hex_value(s[i]) << 4 | hex_value(s[i + 1]));
    if (count == 0) first = v;
    sum += v;
    ++count;
  }
  return true;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// "<word> <hex>" with a single space.
bool one_hex_arg(std::string_view s, std::string_view word) {
  return starts_with(s, word) && s.size() > word.size() + 1 && s[word.size()] == ' ' &&
         all_hex(s.substr(word.size() + 1));
}

bool targets(const device& d, line_ref r) {
  switch (r.file) {
    case 1: return d.segment == 1 && d.load_line == r.line;
    case 2: return d.opt.file1_lines > 0 && d.segment == 1 && d.load_line == d.opt.file1_lines + r.line;
    case 3: return d.segment == 3 && d.load_line == r.line;
    default: return false;
  }
}

void on_command(device& d, std::string_view cmd, uint64_t t) {
  if (cmd.empty()) {
    send_text(d, prompt, t);
  } else if (cmd == "c b57600" || cmd == "c b9600") {
    const uint32_t rate = cmd == "c b9600" ? 9600 : 57600;
    if (rate == 57600 && d.opt.refuse_57600) {
      send_text(d, rejected, t);
      return;
    }
    schedule_switch(d, rate, send_text(d, prompt, t), t);
  } else if (starts_with(cmd, "FD ")) {
    const std::string_view args = cmd.substr(3);
    const size_t space = args.find(' ');
    const bool ok = space != std::string_view::npos && all_hex(args.substr(0, space)) &&
                    all_hex(args.substr(space + 1));
    if (!ok || d.opt.reject_fill) {
      send_text(d, rejected, t);
      return;
    }
    send_text(d, "\r\nvalue: ", t);
    d.state = console_state::fill_value;
  } else if (one_hex_arg(cmd, "LOAD")) {
    if (d.opt.reject_offset) {
      send_text(d, rejected, t);
      return;
    }
    send_text(d, prompt, t);
    d.state = console_state::load;
    d.segment = 1;
    d.load_line = 1;
    d.last_line_failed = false;
  } else if (one_hex_arg(cmd, "g")) {
    send_text(d, prompt, t);
  } else if (cmd == "RB") {
    const uint64_t at = t + rb_reply_delay_ms * ms;
    switch (d.opt.colon) {
      case colon_reply::normal:
        send_text(d, rb_question, at);
        send_text(d, ":", at);
        d.state = console_state::await_y;
        break;
      case colon_reply::late:
        send_text(d, rb_question, at);
        send_text(d, ":", t + d.opt.colon_delay_ms * ms);
        d.state = console_state::await_y;
        break;
      case colon_reply::never: send_text(d, "\r\nbusy", at); break;
      case colon_reply::prompt: send_text(d, prompt, at); break;
    }
  } else {
    send_text(d, rejected, t);
  }
}

void on_fill_value(device& d, std::string_view value, uint64_t t) {
  d.state = console_state::active;
  if (value.empty()) {
    send_text(d, prompt, t);  // nothing entered: fill cancelled
  } else if (all_hex(value)) {
    d.busy_until_us = std::max(d.busy_until_us, t + fill_time_ms * ms);
    send_text(d, prompt, t);
  } else {
    send_text(d, rejected, t);
  }
}

void on_load_line(device& d, std::string_view text, uint64_t t) {
  if (text.empty() && d.last_line_failed) {
    // The host's probe after a failed line; not a line of the file.
    d.last_line_failed = false;
    if (!d.opt.probe_unanswered) send_text(d, prompt, t);
    return;
  }
  if (one_hex_arg(text, "g")) {
    send_text(d, prompt, t);
    d.segment = 3;
    d.load_line = 1;
    d.last_line_failed = false;
    return;
  }
  line_fault fault = targets(d, d.opt.fault_at) ? d.opt.fault : line_fault::none;
  if (fault == line_fault::reject_once) {
    if (d.fault_spent) fault = line_fault::none;
    d.fault_spent = true;
  }
  const bool bad = d.line_overflow || check_record(text.data(), static_cast<uint32_t>(text.size())) == record_check::bad;
  if (fault == line_fault::never_answer) {
    d.last_line_failed = true;
    return;
  }
  if (bad || fault != line_fault::none) {
    send_text(d, rejected, t);
    d.last_line_failed = true;
    return;
  }
  d.last_line_failed = false;
  const bool queued = send_text(d, prompt, t);
  if (targets(d, d.opt.vanish_after)) {
    d.vanish_pending = true;
    d.vanish_at_us = queued ? d.tx_free_us : t;
    apply_timed(d, t);
  }
  if (targets(d, d.opt.flood_after)) {
    for (uint32_t i = 0; i < d.opt.flood_bytes; ++i)
      send(d, static_cast<uint8_t>(flood_pattern[i % flood_pattern.size()]), t);
  }
  ++d.load_line;
}

void on_line_end(device& d, uint64_t t) {
  std::string_view text(d.line.data(), d.line_len);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  if (d.line_overflow && d.state != console_state::load) {
    d.state = console_state::active;  // what was cut off cannot be trusted
    send_text(d, rejected, t);
    clear_line(d);
    return;
  }
  switch (d.state) {
    case console_state::fill_value: on_fill_value(d, text, t); break;
    case console_state::load: on_load_line(d, text, t); break;
    default: on_command(d, text, t); break;
  }
  clear_line(d);
}

void match_activation(device& d, uint8_t b) {
  if (b == activation_packets[d.activation_index]) {
    if (++d.activation_index < activation_packets.size()) return;
    d.activation_index = 0;
    d.state = d.opt.refuse_activation ? console_state::refused : console_state::active;
    clear_line(d);
    return;
  }
  d.activation_index = b == activation_packets[0] ? 1 : 0;
}

void on_byte(device& d, uint8_t b, uint64_t t) {
  switch (d.state) {
    case console_state::asleep:
      if (b == enq && !d.opt.enq_unanswered) {
        wake(d, t);
        d.state = console_state::woken;
        d.activation_index = 0;
      }
      return;
    case console_state::woken:
    case console_state::refused:
      if (b == enq) {
        wake(d, t);
        d.state = console_state::woken;
        d.activation_index = 0;
      } else if (b == cr && d.state == console_state::refused) {
        send_text(d, rejected, t);
      } else if (d.state == console_state::woken) {
        match_activation(d, b);
      }
      return;
    case console_state::await_y:
      d.state = console_state::active;
      if (b == 'Y') {
        const uint64_t gap = d.opt.y_gap_ms * ms;
        // The device erases before it reports: the first byte comes after the
        // host has stopped listening to the reply to "Y".
        const uint64_t start = std::max(t, d.busy_until_us) + d.opt.y_start_delay_ms * ms;
        for (uint32_t i = 0; i < d.opt.y_bytes; ++i) send(d, '.', start + gap * i);
        d.busy_until_us = start + gap * (d.opt.y_bytes == 0 ? 0 : d.opt.y_bytes - 1);
        return;
      }
      if (b == cr) {
        send_text(d, prompt, t);  // not confirmed: nothing programmed
        return;
      }
      break;
    default: break;
  }

  if (d.swallowing_activation) {
    if (b == activation_packets[d.activation_index]) {
      if (++d.activation_index == activation_packets.size()) d.swallowing_activation = false;
      return;
    }
    d.swallowing_activation = false;
  }
  if (b == enq) {
    // Already awake; answer so a host that lost track can carry on.
    if (d.line_len == 0 && d.state == console_state::active) {
      wake(d, t);
      d.swallowing_activation = true;
      d.activation_index = 0;
    }
    return;
  }
  if (b == 'X' && d.state == console_state::load && d.line_len == 0) {
    send_text(d, prompt, t);
    d.state = console_state::active;
    d.segment = 0;
    d.last_line_failed = false;
    return;
  }
  if (b == lf) return;
  if (b == cr) {
    on_line_end(d, t);
    return;
  }
  if (d.line_len < line_capacity) {
    d.line[d.line_len++] = static_cast<char>(b);
  } else {
    d.line_overflow = true;
  }
}

}  // namespace

record_check check_record(const char* text, uint32_t len) {
  const std::string_view s(text, len);
  uint32_t sum = 0;
  uint32_t count = 0;
  uint8_t first = 0;
  if (s.size() >= 2 && s[0] == 'S' && s[1] >= '0' && s[1] <= '9') {
    // Address bytes per record type; S4 is reserved.
    constexpr std::array<uint32_t, 10> address_bytes{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const uint32_t addr = address_bytes[static_cast<uint32_t>(s[1] - '0')];
    if (addr == 0 || !sum_pairs(s.substr(2), sum, count, first)) return record_check::bad;
    if (count < 2 || first != count - 1 || first < addr + 1) return record_check::bad;
    return (sum & 0xFF) == 0xFF ? record_check::good : record_check::bad;
  }
  if (!s.empty() && s[0] == ':') {
    if (!sum_pairs(s.substr(1), sum, count, first)) return record_check::bad;
    if (count < 5 || first != count - 5) return record_check::bad;
    return (sum & 0xFF) == 0 ? record_check::good : record_check::bad;
  }
  return record_check::not_a_record;
}

const char* options_error(const options& o) {
  for (const line_ref r : {o.fault_at, o.vanish_after, o.flood_after}) {
    if (r.file > 3) return "file number must be 1, 2 or 3";
    if (r.file != 0 && r.line == 0) return "line numbers start at 1";
    if (r.file == 2 && o.file1_lines == 0) return "a line of file 2 needs the number of lines of file 1";
  }
  if (o.fault != line_fault::none && o.fault_at.file == 0) return "a line fault needs a line";
  if (o.flood_bytes > 0 && o.flood_after.file == 0) return "a flood needs a line";
  return nullptr;
}

void reset(device& d, const options& o) {
  d = device{};
  d.opt = o;
  d.state = o.console_active ? console_state::active : console_state::asleep;
}

void receive(device& d, uint8_t byte, uint32_t host_baud, uint64_t now_us) {
  uint64_t t = now_us;
  if (d.opt.paced) {
    t = std::max(now_us, d.rx_free_us) + byte_time_us(host_baud);
    d.rx_free_us = t;
  }
  apply_timed(d, t);
  if (d.gone) return;
  if (host_baud != d.baud) return;  // framing error: the byte is lost
  on_byte(d, byte, t);
}

uint32_t output_ready(const device& d, uint64_t now_us) {
  const bool gone = d.gone || (d.vanish_pending && now_us >= d.vanish_at_us);
  uint32_t n = 0;
  while (n < d.out_count) {
    const uint64_t due = entry(d, n).due_us;
    if (due > now_us || (gone && due > d.vanish_at_us)) break;
    ++n;
  }
  return n;
}

bool take_output(device& d, uint64_t now_us, uint32_t host_baud, uint8_t& byte) {
  apply_timed(d, now_us);
  if (d.out_count == 0 || d.out[d.out_head].due_us > now_us) return false;
  const output_entry& e = d.out[d.out_head];
  byte = e.baud == host_baud ? e.byte : garbled(e.byte);
  d.out_head = (d.out_head + 1) % output_capacity;
  --d.out_count;
  apply_timed(d, now_us);
  return true;
}

uint64_t next_event_us(const device& d) {
  uint64_t next = UINT64_MAX;
  if (d.out_count > 0) next = d.out[d.out_head].due_us;
  if (d.switch_pending) next = std::min(next, d.switch_at_us);
  if (d.vanish_pending) next = std::min(next, d.vanish_at_us);
  return next;
}

bool vanished(const device& d, uint64_t now_us) {
  return d.gone || (d.vanish_pending && now_us >= d.vanish_at_us);
}

uint32_t device_baud(const device& d, uint64_t now_us) { return baud_at(d, now_us); }

}  // namespace quorvel_sim
