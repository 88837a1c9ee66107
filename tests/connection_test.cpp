#include <gtest/gtest.h>

#include <bit>
#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "driver.h"
#include "file_transfer.h"
#include "serial_port.h"
#include "test_platform.h"

namespace {

using test_platform::speed_run;

const std::string activation = std::string("\x05") + "\x10\x26\x40\x40" + "\x10\x2A\x40\x40" + "\r";
constexpr std::uint32_t fast_bits = 0x370637BD;  // 8.0e-6
constexpr std::uint32_t slow_bits = 0x37D1B717;  // 2.5e-5

struct connection_case {
    const char* name;
    std::function<void(quorvel_sim::options&)> device;
    std::function<void()> faults;  // on the host's side, after the port is open
    int fast;
    int slow;
    std::vector<speed_run> sent;
    std::string out;
    int exit_code;  // -1: the phase returns
    std::uint32_t baud;
    std::uint32_t minutes_per_byte_bits;
};

void PrintTo(const connection_case& c, std::ostream* os) { *os << c.name; }

void asleep(quorvel_sim::options&) {}
void nothing() {}

class Connection : public testing::TestWithParam<connection_case> {};

TEST_P(Connection, SendsReportsAndChoosesTheSpeed) {
    const connection_case& c = GetParam();
    quorvel_sim::options o;
    c.device(o);
    test_platform::start_with_device(o);
    c.faults();
    int code = 0;
    const std::string out =
        test_platform::run_captured([&] { driver::connect("COM3", c.fast, c.slow); }, code);
    EXPECT_EQ(out, c.out);
    EXPECT_EQ(code, c.exit_code);
    EXPECT_EQ(test_platform::sent_by_speed(), c.sent);
    if (c.exit_code == -1) {
        EXPECT_EQ(serial_link::current_baud, c.baud);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(transfer::minutes_per_byte), c.minutes_per_byte_bits);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Connection,
    testing::Values(
        connection_case{"ConsoleAlreadyUp", [](auto& o) { o.console_active = true; }, nothing, 0, 0,
                        {{9600, "\r\r"}}, " using 9600 baud\n", -1, 9600, slow_bits},
        connection_case{"SleepingConsoleWakes", asleep, nothing, 0, 0, {{9600, "\r\r" + activation}},
                        "Quorvel connected.\n using 9600 baud\n", -1, 9600, slow_bits},
        // The last poll of the 2000 ms window is at 1990 ms after the ENQ.
        connection_case{"DleAtTheLastPoll", [](auto& o) { o.dle_delay_ms = 1990; }, nothing, 0, 0,
                        {{9600, "\r\r" + activation}}, "Quorvel connected.\n using 9600 baud\n", -1, 9600,
                        slow_bits},
        connection_case{"DleAt1999", [](auto& o) { o.dle_delay_ms = 1999; }, nothing, 0, 0,
                        {{9600, "\r\r\x05"}}, " ?? No Quorvel found on port COM3\n", 3, 0, 0},
        connection_case{"DleAt2000", [](auto& o) { o.dle_delay_ms = 2000; }, nothing, 0, 0,
                        {{9600, "\r\r\x05"}}, " ?? No Quorvel found on port COM3\n", 3, 0, 0},
        connection_case{"NoAnswerToEnq", [](auto& o) { o.enq_unanswered = true; }, nothing, 1, 0,
                        {{9600, "\r\r\x05"}}, " ?? No Quorvel found on port COM3\n", 3, 0, 0},
        connection_case{"NoiseBeforeDle", [](auto& o) { o.noise_before_dle = 7; }, nothing, 0, 0,
                        {{9600, "\r\r" + activation}}, "Quorvel connected.\n using 9600 baud\n", -1, 9600,
                        slow_bits},
        connection_case{"EnqCannotBeWritten", asleep, [] { test_platform::fail_writes(true); }, 0, 0, {},
                        " ?? Could not send a character via port COM3\n", 3, 0, 0},
        connection_case{"ActivationAnsweredWithQuestionMark", [](auto& o) { o.refuse_activation = true; },
                        nothing, 1, 0, {{9600, "\r\r" + activation}},
                        "Quorvel connected.\n ?? couldn't activate Quorvel console \n", 4, 0, 0},
        connection_case{"FastDeviceSwitches", asleep, nothing, 1, 0,
                        {{9600, "\r\r" + activation + "c b57600\r"}, {57600, "\r"}},
                        "Quorvel connected.\n\n forcing 57600 baud  using 57600 baud\n", -1, 57600, fast_bits},
        connection_case{"FastConsoleAlreadyUp", [](auto& o) { o.console_active = true; }, nothing, 1, 0,
                        {{9600, "\r\rc b57600\r"}, {57600, "\r"}}, "\n forcing 57600 baud  using 57600 baud\n",
                        -1, 57600, fast_bits},
        // The device stays at 9600: the CR at 57600 is garbage to it, so fall back.
        connection_case{"FastDeviceDoesNotSwitch", [](auto& o) { o.refuse_57600 = true; }, nothing, 1, 0,
                        {{9600, "\r\r" + activation + "c b57600\r"}, {57600, "\r"}, {9600, "\r"}},
                        "Quorvel connected.\n\n forcing 57600 baud  using 9600 baud\n", -1, 9600, slow_bits},
        connection_case{"FastPortRefuses57600", asleep, [] { test_platform::refuse_rate(57600); }, 1, 0,
                        {{9600, "\r\r" + activation + "c b57600\r\r\r"}},
                        "Quorvel connected.\n\n forcing 57600 baud  using 9600 baud\n", -1, 9600, slow_bits},
        connection_case{"Slow", asleep, nothing, 0, 1, {{9600, "\r\r" + activation}},
                        "Quorvel connected.\n\n forcing 9600 baud  using 9600 baud\n", -1, 9600, slow_bits}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ConnectionScripted, OnlyTheSecondCrDecides) {
    // A prompt after the first CR only: the console is asleep again by the second.
    test_platform::start_with_device(quorvel_sim::options{});
    test_platform::deliver(10, "\r\n>");
    int code = 0;
    const std::string out = test_platform::run_captured([&] { driver::connect("COM1", 0, 0); }, code);
    EXPECT_EQ(out, "Quorvel connected.\n using 9600 baud\n");
    EXPECT_EQ(test_platform::sent_text(), "\r\r" + activation);
}

TEST(ConnectionTiming, WaitsOfTheWakeUpAndActivation) {
    test_platform::start_with_device(quorvel_sim::options{});
    int code = 0;
    test_platform::run_captured([&] { driver::connect("COM1", 1, 0); }, code);
    const auto& s = test_platform::sent();
    ASSERT_EQ(s.size(), 2 + activation.size() + 9 + 1);
    EXPECT_EQ(s[0].time_ms, 0u);
    EXPECT_EQ(s[1].time_ms, 250u);  // the first CR gets no answer
    EXPECT_EQ(s[2].time_ms, 500u);  // ENQ
    // DLE after 20 ms, read at the next 10 ms poll; then 2000 ms of draining.
    EXPECT_EQ(s[3].time_ms, 520u + 2000u);
    EXPECT_GT(s[7].time_ms, s[3].time_ms);
    EXPECT_LE(s[7].time_ms, s[3].time_ms + 250u);
    EXPECT_GE(s[11].time_ms, s[7].time_ms + 2000u);  // then 2000 ms of draining
    EXPECT_LE(s[11].time_ms, s[7].time_ms + 500u + 2000u);
    // The CR at 57600 goes out after 2000 ms of draining.
    EXPECT_GE(s.back().time_ms, s[12].time_ms + 2000u);
    EXPECT_LT(s.back().time_ms, s[12].time_ms + 2000u + 260u);
    // The DLE is logged with the rest.
    EXPECT_NE(test_platform::logged_bytes().find('\x10'), std::string::npos);
}

}  // namespace
