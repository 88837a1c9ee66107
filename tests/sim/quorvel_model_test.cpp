// The console model on a virtual microsecond clock.
#include "quorvel_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace quorvel_sim;

constexpr uint64_t ms = 1000;
constexpr std::string_view prompt = "\r\n>";
constexpr std::string_view rejected = "\r\n?\r\n>";
const std::string activation = "\x05\x10\x26\x40\x40\x10\x2A\x40\x40";

struct rig {
  device d;
  uint64_t now = 0;
  uint32_t host = 9600;
};

std::unique_ptr<rig> make_rig(const options& o) {
  auto r = std::make_unique<rig>();
  reset(r->d, o);
  return r;
}

options active() {
  options o;
  o.console_active = true;
  return o;
}

void write(rig& r, std::string_view s) {
  for (char c : s) receive(r.d, static_cast<uint8_t>(c), r.host, r.now);
}

// Plays the clock forward event by event, taking each byte when it is due.
std::vector<std::pair<uint64_t, uint8_t>> run_timed(rig& r, uint64_t for_us) {
  std::vector<std::pair<uint64_t, uint8_t>> got;
  const uint64_t end = r.now + for_us;
  for (;;) {
    uint8_t b = 0;
    bool took = false;
    while (take_output(r.d, r.now, r.host, b)) {
      got.emplace_back(r.now, b);
      took = true;
    }
    const uint64_t next = next_event_us(r.d);
    if (next == UINT64_MAX || next > end) break;
    if (next <= r.now && !took) {
      ADD_FAILURE() << "next event " << next << " does not move past " << r.now;
      break;
    }
    r.now = std::max(r.now, next);
  }
  r.now = end;
  return got;
}

std::string run_for(rig& r, uint64_t for_us) {
  std::string s;
  for (const auto& [t, b] : run_timed(r, for_us)) s += static_cast<char>(b);
  return s;
}

std::string talk(rig& r, std::string_view s, uint64_t for_us = 50 * ms) {
  write(r, s);
  return run_for(r, for_us);
}

// Sends each line with CR and sums up the answers: P prompt, R rejected, - silent.
std::string load_session(const options& o, const std::vector<std::string>& lines) {
  auto r = make_rig(o);
  EXPECT_EQ(talk(*r, "LOAD 0\r"), prompt);
  std::string codes;
  for (const std::string& line : lines) {
    const std::string reply = talk(*r, line + "\r");
    codes += reply == prompt ? 'P' : reply == rejected ? 'R' : reply.empty() ? '-' : '!';
  }
  return codes;
}

TEST(quorvel_model, wake_up_and_activation) {
  struct wake_case {
    const char* name;
    void (*tweak)(options&);
    std::string input;
    std::string expected;
  };
  const std::vector<wake_case> cases = {
      {"asleep ignores CR", [](options&) {}, "\r\rhello\r", ""},
      {"ENQ gets DLE", [](options&) {}, "\x05", "\x10"},
      {"no answer to ENQ", [](options& o) { o.enq_unanswered = true; }, "\x05", ""},
      {"activation then CR", [](options&) {}, activation + "\r", "\x10\r\n>"},
      {"wrong packet stays asleep", [](options&) {}, "\x05\x10\x26\x40\x41\x10\x2A\x40\x40\r", "\x10"},
      {"packet after junk", [](options&) {}, "\x05zz\x10\x10\x26\x40\x40\x10\x2A\x40\x40\r", "\x10\r\n>"},
      {"activation refused", [](options& o) { o.refuse_activation = true; }, activation + "\r", "\x10\r\n?\r\n>"},
      {"already active", [](options& o) { o.console_active = true; }, "\r\r", "\r\n>\r\n>"},
      {"active console re-woken", [](options& o) { o.console_active = true; }, activation + "\r", "\x10\r\n>"},
  };
  for (const wake_case& c : cases) {
    options o;
    c.tweak(o);
    auto r = make_rig(o);
    EXPECT_EQ(talk(*r, c.input, 100 * ms), c.expected) << c.name;
  }
}

TEST(quorvel_model, dle_delay_and_noise) {
  struct delay_case {
    uint32_t delay_ms;
    uint32_t noise;
  };
  for (const delay_case c : {delay_case{20, 0}, delay_case{250, 0}, delay_case{20, 5}, delay_case{0, 3}}) {
    options o;
    o.dle_delay_ms = c.delay_ms;
    o.noise_before_dle = c.noise;
    auto r = make_rig(o);
    write(*r, "\x05");
    const auto got = run_timed(*r, 1000 * ms);
    ASSERT_EQ(got.size(), c.noise + 1) << c.delay_ms;
    EXPECT_EQ(got.back(), std::make_pair(uint64_t{c.delay_ms} * ms, dle));
    for (size_t i = 0; i + 1 < got.size(); ++i) {
      EXPECT_NE(got[i].second, dle);
      EXPECT_NE(got[i].second, '>');
      EXPECT_NE(got[i].second, '?');
    }
  }
}

TEST(quorvel_model, command_replies) {
  struct command_case {
    const char* input;
    void (*tweak)(options&);
    std::string expected;
  };
  const std::vector<command_case> cases = {
      {"\r", [](options&) {}, "\r\n>"},
      {"bogus\r", [](options&) {}, "\r\n?\r\n>"},
      {"c b19200\r", [](options&) {}, "\r\n?\r\n>"},
      {"c b9600\r", [](options&) {}, "\r\n>"},
      {"c b57600\r", [](options& o) { o.refuse_57600 = true; }, "\r\n?\r\n>"},
      {"FD 0 E8000\r", [](options&) {}, "\r\nvalue: "},
      {"FD 0 E8000\r", [](options& o) { o.reject_fill = true; }, "\r\n?\r\n>"},
      {"LOAD 0\r", [](options&) {}, "\r\n>"},
      {"LOAD 0\r", [](options& o) { o.reject_offset = true; }, "\r\n?\r\n>"},
      {"X\r", [](options&) {}, "\r\n?\r\n>"},  // X only means something in load mode
      {"RB\r", [](options&) {}, "\r\nProgram flash, confirm with Y:"},
      {"RB\r", [](options& o) { o.colon = colon_reply::never; }, "\r\nbusy"},
      {"RB\r", [](options& o) { o.colon = colon_reply::prompt; }, "\r\n>"},
  };
  for (const command_case& c : cases) {
    options o = active();
    c.tweak(o);
    auto r = make_rig(o);
    EXPECT_EQ(talk(*r, c.input), c.expected) << c.input;
  }
}

TEST(quorvel_model, refused_57600_keeps_9600) {
  options o = active();
  o.refuse_57600 = true;
  auto r = make_rig(o);
  talk(*r, "c b57600\r");
  EXPECT_EQ(device_baud(r->d, r->now), 9600u);
  EXPECT_EQ(talk(*r, "\r"), prompt);
}

TEST(quorvel_model, fill_takes_its_time) {
  auto r = make_rig(active());
  write(*r, "FD 0 E8000\r0\r");
  const auto got = run_timed(*r, 1000 * ms);
  std::string text;
  for (const auto& [t, b] : got) text += static_cast<char>(b);
  EXPECT_EQ(text, "\r\nvalue: \r\n>");
  EXPECT_EQ(got.front().first, 0u);
  EXPECT_EQ(got.back().first, fill_time_ms * ms);
}

TEST(quorvel_model, speed_switch_after_reply_and_garbling) {
  for (const bool paced : {false, true}) {
    options o = active();
    o.paced = paced;
    auto r = make_rig(o);
    write(*r, "c b57600\r");
    if (paced) {
      EXPECT_EQ(device_baud(r->d, r->now), 9600u) << "not before the reply is out";
    }
    EXPECT_EQ(run_for(*r, 20 * ms), prompt);
    EXPECT_EQ(device_baud(r->d, r->now), 57600u);

    EXPECT_EQ(talk(*r, "\r"), "") << "bytes at 9600 are lost";
    r->host = 57600;
    EXPECT_EQ(talk(*r, "\r"), prompt);

    write(*r, "\r");
    r->host = 9600;  // host reads at the wrong speed
    EXPECT_EQ(run_for(*r, 20 * ms), "\xFD\xFA\xFE");

    r->host = 57600;
    EXPECT_EQ(talk(*r, "c b9600\r"), prompt) << "reply still at 57600";
    r->host = 9600;
    EXPECT_EQ(talk(*r, "\r"), prompt);
  }
}

TEST(quorvel_model, garbled_bytes_never_look_meaningful) {
  for (int b = 0; b < 256; ++b) {
    const uint8_t g = garbled(static_cast<uint8_t>(b));
    for (const uint8_t meaningful : {uint8_t{'>'}, uint8_t{'?'}, uint8_t{':'}, uint8_t{'\r'}, dle})
      EXPECT_NE(g, meaningful) << b;
  }
}

TEST(quorvel_model, pacing_timings) {
  struct pacing_case {
    uint32_t baud;
    const char* input;
    uint64_t prompt_at_us;  // time the '>' is fully out
  };
  // 9600: 1042 us per byte, 57600: 174 us per byte.
  const std::vector<pacing_case> cases = {
      {9600, "\r", 1042 * 4},
      {9600, "bogus\r", 1042 * 6 + 1042 * 6},
      {57600, "\r", 174 * 4},
  };
  for (const pacing_case& c : cases) {
    options o = active();
    o.paced = true;
    auto r = make_rig(o);
    r->d.baud = c.baud;
    r->host = c.baud;
    write(*r, c.input);
    const auto got = run_timed(*r, 100 * ms);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), std::make_pair(c.prompt_at_us, uint8_t{'>'})) << c.input << " at " << c.baud;
  }

  options o;
  o.paced = true;
  auto r = make_rig(o);
  write(*r, "\x05");
  EXPECT_EQ(run_timed(*r, 100 * ms), (std::vector<std::pair<uint64_t, uint8_t>>{{1042 + 20 * ms + 1042, dle}}));
}

TEST(quorvel_model, record_checks) {
  struct record_case {
    const char* text;
    record_check expected;
  };
  const std::vector<record_case> cases = {
      {"S00600004844521B", record_check::good},
      {"S1130000285F245F2212226A000424290008237C2A", record_check::good},
      {"s1130000285f245f2212226a000424290008237c2a", record_check::not_a_record},
      {"S1130000285f245f2212226a000424290008237c2a", record_check::good},
      {"S9030000FC", record_check::good},
      {"S70500000000FA", record_check::good},
      {"S1130000285F245F2212226A000424290008237C2B", record_check::bad},  // checksum
      {"S1140000285F245F2212226A000424290008237C2A", record_check::bad},  // count
      {"S1130000285F245F2212226A000424290008237C2", record_check::bad},   // odd length
      {"S11300G0285F245F2212226A000424290008237C2A", record_check::bad},  // not hex
      {"S4030000FC", record_check::bad},
      {"S1", record_check::bad},
      {"S9020000", record_check::bad},  // too short for its address
      {":10010000214601360121470136007EFE09D2190140", record_check::good},
      {":00000001FF", record_check::good},
      {":10010000214601360121470136007EFE09D2190141", record_check::bad},
      {":0F010000214601360121470136007EFE09D2190140", record_check::bad},
      {":000000FF", record_check::bad},
      {":", record_check::bad},
      {"Setup 1", record_check::not_a_record},
      {"; comment", record_check::not_a_record},
      {"", record_check::not_a_record},
  };
  for (const record_case& c : cases) {
    EXPECT_EQ(check_record(c.text, static_cast<uint32_t>(std::string_view(c.text).size())), c.expected) << c.text;
  }
}

TEST(quorvel_model, load_lines_and_faults) {
  const std::string good = "S9030000FC";
  const std::string bad = "S9030000FD";
  struct fault_case {
    const char* name;
    void (*tweak)(options&);
    std::vector<std::string> lines;
    const char* expected;
  };
  const std::vector<fault_case> cases = {
      {"records checked, text accepted", [](options&) {}, {good, bad, "", good, "plain text"}, "PRPPP"},
      {"reject once",
       [](options& o) { o.fault_at = {1, 2}, o.fault = line_fault::reject_once; },
       {"a", "b", "", "b", "c"}, "PRPPP"},
      {"reject always",
       [](options& o) { o.fault_at = {1, 2}, o.fault = line_fault::reject_always; },
       {"a", "b", "", "b", "", "b"}, "PRPRPR"},
      {"never answered",
       [](options& o) { o.fault_at = {1, 2}, o.fault = line_fault::never_answer; },
       {"a", "b", "", "b"}, "P-P-"},
      {"probe unanswered",
       [](options& o) { o.fault_at = {1, 1}, o.fault = line_fault::reject_once, o.probe_unanswered = true; },
       {"a", "", "a", ""}, "R-PP"},
      {"bad record and probe do not count",
       [](options& o) { o.fault_at = {1, 3}, o.fault = line_fault::reject_once; },
       {bad, "", "a", "b", "c", "", "c", "d"}, "RPPPRPPP"},
      {"empty lines count",
       [](options& o) { o.fault_at = {1, 3}, o.fault = line_fault::reject_once; },
       {"a", "", "", "b"}, "PPRP"},
      {"file 2 after file 1",
       [](options& o) { o.file1_lines = 2, o.fault_at = {2, 1}, o.fault = line_fault::reject_once; },
       {"a", "b", "c", "", "c"}, "PPRPP"},
      {"file 3 after go",
       [](options& o) { o.fault_at = {3, 1}, o.fault = line_fault::reject_once; },
       {"a", "g 90000", "a", "", "a"}, "PPRPP"},
      {"file 1 line beyond go is not file 3",
       [](options& o) { o.fault_at = {1, 2}, o.fault = line_fault::reject_always; },
       {"a", "g 90000", "a", "b"}, "PPPP"},
  };
  for (const fault_case& c : cases) {
    options o = active();
    c.tweak(o);
    EXPECT_EQ(load_session(o, c.lines), c.expected) << c.name;
  }
}

TEST(quorvel_model, x_ends_load_mode) {
  auto r = make_rig(active());
  talk(*r, "LOAD 0\r");
  EXPECT_EQ(talk(*r, "bogus\r"), prompt) << "any text is a load line";
  EXPECT_EQ(talk(*r, "X"), prompt);
  EXPECT_EQ(talk(*r, "bogus\r"), rejected);
}

TEST(quorvel_model, programming_after_y) {
  struct y_case {
    uint32_t bytes;
    uint32_t gap_ms;
    uint32_t delay_ms;
  };
  for (const y_case c : {y_case{100, 20, 300}, y_case{5, 50, 0}, y_case{0, 20, 300}}) {
    options o = active();
    o.y_bytes = c.bytes;
    o.y_gap_ms = c.gap_ms;
    o.y_start_delay_ms = c.delay_ms;
    auto r = make_rig(o);
    EXPECT_EQ(talk(*r, "RB\r").back(), ':');
    const uint64_t y_at = r->now;
    write(*r, "Y");
    const auto got = run_timed(*r, 10'000 * ms);
    ASSERT_EQ(got.size(), c.bytes);
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].first, y_at + c.delay_ms * ms + i * c.gap_ms * ms);
      EXPECT_EQ(got[i].second, '.');
    }
    EXPECT_EQ(talk(*r, "\r"), prompt);
  }
}

TEST(quorvel_model, late_colon) {
  options o = active();
  o.colon = colon_reply::late;
  o.colon_delay_ms = 1500;
  auto r = make_rig(o);
  write(*r, "RB\r");
  const std::string early = run_for(*r, 1499 * ms);
  EXPECT_EQ(early.find(':'), std::string::npos);
  EXPECT_EQ(early.find('?'), std::string::npos);
  EXPECT_EQ(run_for(*r, 1 * ms), ":");
}

TEST(quorvel_model, vanish_after_answer) {
  options o = active();
  o.paced = true;
  o.vanish_after = {1, 2};
  auto r = make_rig(o);
  talk(*r, "LOAD 0\r");
  talk(*r, "a\r");
  write(*r, "b\r");
  EXPECT_FALSE(vanished(r->d, r->now)) << "the answer is still going out";
  EXPECT_EQ(run_for(*r, 50 * ms), prompt);
  EXPECT_TRUE(vanished(r->d, r->now));
  EXPECT_EQ(talk(*r, "\r"), "");
  EXPECT_EQ(next_event_us(r->d), UINT64_MAX);
}

TEST(quorvel_model, flood_after_answer) {
  options o = active();
  o.flood_after = {1, 1};
  o.flood_bytes = 300;
  auto r = make_rig(o);
  talk(*r, "LOAD 0\r");
  const std::string got = talk(*r, "a\r");
  ASSERT_EQ(got.size(), prompt.size() + 300);
  EXPECT_EQ(got.substr(0, 3), prompt);
  EXPECT_EQ(got.find_first_of(">?:", 3), std::string::npos);
  EXPECT_EQ(talk(*r, "b\r"), prompt) << "only once";
}

TEST(quorvel_model, output_ring_overflow_is_safe) {
  options o = active();
  o.flood_after = {1, 1};
  o.flood_bytes = output_capacity * 3;
  auto r = make_rig(o);
  talk(*r, "LOAD 0\r");
  write(*r, "a\r");
  EXPECT_EQ(output_ready(r->d, r->now), output_capacity);
  write(*r, "b\r");  // its answer has no room
  EXPECT_EQ(run_for(*r, 10 * ms).size(), output_capacity);
  EXPECT_EQ(talk(*r, "c\r"), prompt);
}

TEST(quorvel_model, overlong_lines_are_rejected) {
  const std::string longest(line_capacity, 'a');
  auto r = make_rig(active());
  EXPECT_EQ(talk(*r, "RB" + longest + "\r"), rejected);
  talk(*r, "LOAD 0\r");
  EXPECT_EQ(talk(*r, longest + "\r"), prompt);
  EXPECT_EQ(talk(*r, longest + "b\r"), rejected);
}

TEST(quorvel_model, options_errors) {
  struct option_case {
    void (*tweak)(options&);
    bool ok;
  };
  const std::vector<option_case> cases = {
      {[](options&) {}, true},
      {[](options& o) { o.fault_at = {2, 1}, o.fault = line_fault::reject_once; }, false},
      {[](options& o) { o.file1_lines = 4, o.fault_at = {2, 1}, o.fault = line_fault::reject_once; }, true},
      {[](options& o) { o.vanish_after = {2, 1}; }, false},
      {[](options& o) { o.flood_after = {4, 1}, o.flood_bytes = 1; }, false},
      {[](options& o) { o.fault_at = {1, 0}, o.fault = line_fault::reject_once; }, false},
      {[](options& o) { o.fault = line_fault::reject_once; }, false},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    options o;
    cases[i].tweak(o);
    EXPECT_EQ(options_error(o) == nullptr, cases[i].ok) << "case " << i;
  }
}

}  // namespace
