#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange.h"
#include "receive_log.h"
#include "serial_port.h"
#include "test_platform.h"

namespace {

using serial_link::drain;
using serial_link::exchange;

struct arrival {
    std::uint64_t at_ms;
    std::string bytes;
};

struct exchange_case {
    const char* name;
    const char* command;
    std::uint16_t wait;
    std::vector<arrival> device;  // what the device sends, on the virtual clock
    int result;
    std::uint64_t returns_at;
    std::string logged;
    std::string left_queued;
};

std::string logged_bytes() {
    std::string s;
    for (std::uint32_t i = 0; i < serial_link::log_fill_count; ++i) s.push_back(static_cast<char>(serial_link::receive_log[i]));
    return s;
}

std::string read_rest() {
    std::string s;
    std::uint8_t b = 0;
    while (serial_link::bytes_pending() != 0 && serial_link::read_byte(&b) == 1) s.push_back(static_cast<char>(b));
    return s;
}

void PrintTo(const exchange_case& c, std::ostream* os) { *os << c.name; }

class Exchange : public testing::TestWithParam<exchange_case> {
protected:
    void SetUp() override {
        test_platform::reset();
        ASSERT_EQ(serial_link::open_port_at("/dev/test"), 0);
    }
};

TEST_P(Exchange, ResultTimingAndLog) {
    const exchange_case& c = GetParam();
    for (const arrival& a : c.device) test_platform::deliver(a.at_ms, a.bytes);
    const int result = exchange(c.command, c.wait);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(test_platform::now_ms(), c.returns_at);
    EXPECT_EQ(test_platform::sent_text(), c.command);
    EXPECT_EQ(logged_bytes(), c.logged);
    test_platform::advance(100000);
    EXPECT_EQ(read_rest(), c.left_queued);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Exchange,
    testing::Values(
        exchange_case{"PromptEndsAtOnce", "\r", 1, {{12, "\r\n>"}, {12, "late"}}, '>', 15, "\r\n>", "late"},
        exchange_case{"QuestionBeforePrompt", "bad\r", 1, {{3, "\r\n?\r\n>"}}, '?', 5, "\r\n?\r\n>", ""},
        exchange_case{"NoReply", "\r", 1, {}, 0, 250, "", ""},
        exchange_case{"NoPromptRunsFullTimeout", "RB\r", 4, {{40, "confirm:"}}, ':', 1000, "confirm:", ""},
        // The last poll of a 1000 ms wait is at 995 ms.
        exchange_case{"ColonAt995", "RB\r", 4, {{995, ":"}}, ':', 1000, ":", ""},
        exchange_case{"ColonAt999", "RB\r", 4, {{999, ":"}}, 0, 1000, "", ":"},
        exchange_case{"ColonAt1000", "RB\r", 4, {{1000, ":"}}, 0, 1000, "", ":"},
        exchange_case{"ColonAt1001", "RB\r", 4, {{1001, ":"}}, 0, 1000, "", ":"},
        exchange_case{"EmptyCommandOnlyListens", "", 4, {{500, ":"}}, ':', 1000, ":", ""},
        // The look right after the write does not end the exchange on '>'.
        exchange_case{"WaitingPromptThenNothing", "\r", 1, {{0, ">"}}, '>', 250, ">", ""},
        exchange_case{"WaitingPromptThenAnother", "\r", 1, {{0, ">"}, {30, ">"}}, '>', 30, ">>", ""},
        exchange_case{"WaitZero", "X", 0, {{0, "ab"}}, 'a', 0, "a", "b"},
        exchange_case{"StaleQuestionMark", "\r", 1, {{0, "?"}, {10, "\r\n>"}}, '?', 10, "?\r\n>", ""},
        exchange_case{"WaitingBytesReadBackToBack", "\r", 1, {{0, "abc>de"}}, '>', 0, "abc>", "de"},
        exchange_case{"NulIsALastByteLikeAnyOther", "\r", 1, {{20, std::string("a\0", 2)}}, 0, 250,
                      std::string("a\0", 2), ""}),
    [](const testing::TestParamInfo<exchange_case>& info) { return std::string(info.param.name); });

TEST(ExchangeClock, TimeoutHoldsWhenTheTickWrapsDuringTheWait) {
    test_platform::reset(0xFFFFFF00u);  // wraps 256 ms into the wait
    ASSERT_EQ(serial_link::open_port_at("/dev/test"), 0);
    EXPECT_EQ(exchange("\r", 4), 0);
    EXPECT_EQ(test_platform::now_ms(), 1000u);
}

TEST(ExchangeClock, AFailedWriteChangesNothing) {
    test_platform::reset();
    ASSERT_EQ(serial_link::open_port_at("/dev/test"), 0);
    test_platform::fail_writes(true);
    test_platform::deliver(20, ">");
    EXPECT_EQ(exchange("\r", 1), '>');
    EXPECT_EQ(test_platform::now_ms(), 20u);
}

class Drain : public testing::Test {
protected:
    void SetUp() override {
        test_platform::reset();
        ASSERT_EQ(serial_link::open_port_at("/dev/test"), 0);
    }
};

TEST_F(Drain, ZeroMillisecondsReturnsWithoutPolling) {
    test_platform::deliver(0, "x");
    drain(0);
    EXPECT_EQ(test_platform::pending_queries(), 0u);
    EXPECT_EQ(serial_link::log_fill_count, 0u);
}

TEST_F(Drain, ReadsAndLogsEverythingUntilTheClockRunsOut) {
    test_platform::deliver(10, ">?>");
    test_platform::deliver(1995, "z");
    test_platform::deliver(2000, "late");
    drain(2000);
    EXPECT_EQ(test_platform::now_ms(), 2000u);
    EXPECT_EQ(logged_bytes(), ">?>z");
    EXPECT_EQ(read_rest(), "late");
}

}  // namespace
