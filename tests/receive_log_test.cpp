#include <gtest/gtest.h>

#include <string>

#include "receive_log.h"
#include "test_platform.h"

namespace {

using serial_link::dump_log;
using serial_link::log_byte;

constexpr const char* page_prompt = "\n  Hit any key to continue.. ";

// Logs n bytes whose values tell their arrival number (mod 256), skipping line ends.
std::string log_numbered(std::uint32_t n) {
    std::string all;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::uint8_t v = static_cast<std::uint8_t>(i);
        if (v == '\r' || v == '\n') v = 'x';
        log_byte(v);
        all.push_back(static_cast<char>(v));
    }
    return all;
}

std::string dump(std::uint32_t count) {
    int code = 0;
    return test_platform::run_captured([&] { dump_log(count); }, code);
}

class ReceiveLog : public testing::Test {
protected:
    void SetUp() override { test_platform::reset(); }
};

struct tail_case {
    std::uint32_t logged;
    std::uint32_t count;
    std::uint32_t write_index;
    std::uint32_t fill;
};

class ReceiveLogTail : public ReceiveLog, public testing::WithParamInterface<tail_case> {};

TEST_P(ReceiveLogTail, PrintsTheMostRecentBytesOldestFirst) {
    const tail_case c = GetParam();
    const std::string all = log_numbered(c.logged);
    EXPECT_EQ(serial_link::log_write_index, c.write_index);
    EXPECT_EQ(serial_link::log_fill_count, c.fill);
    const std::uint32_t shown = std::min(c.count, c.fill);
    EXPECT_EQ(dump(c.count), all.substr(all.size() - shown));
}

INSTANTIATE_TEST_SUITE_P(Cases, ReceiveLogTail,
                         testing::Values(tail_case{0, 30, 0, 0}, tail_case{5, 30, 5, 5}, tail_case{30, 30, 30, 30},
                                         tail_case{1024 + 6, 150, 6, 1024}, tail_case{1024 + 150, 150, 150, 1024},
                                         tail_case{5000, 150, 5000 % 1024, 1024}, tail_case{40, 0, 40, 40},
                                         tail_case{2000, 5000, 2000 % 1024, 1024}));

TEST_F(ReceiveLog, ControlBytesAreWrittenUnchangedAndASecondDumpRepeatsTheFirst) {
    const std::string bytes("a\0\x1b\x7f\xff\x05z", 7);
    for (char c : bytes) log_byte(static_cast<std::uint8_t>(c));
    EXPECT_EQ(dump(30), bytes);
    EXPECT_EQ(dump(30), bytes);
    EXPECT_EQ(serial_link::log_fill_count, 7u);
}

struct paging_case {
    std::string text;
    std::string keys;
    std::string expected;  // '#' marks where the prompt must appear
    std::size_t keys_left;
};

class ReceiveLogPaging : public ReceiveLog, public testing::WithParamInterface<paging_case> {};

TEST_P(ReceiveLogPaging, PromptsBeforeTheEleventhLineEndAndEveryTwentyFirstAfter) {
    const paging_case& c = GetParam();
    for (char ch : c.text) log_byte(static_cast<std::uint8_t>(ch));
    test_platform::press_keys(c.keys);
    std::string expected;
    for (char ch : c.expected) expected += ch == '#' ? std::string(page_prompt) : std::string(1, ch);
    EXPECT_EQ(dump(1024), expected);
    EXPECT_EQ(test_platform::keys_left(), c.keys_left);
}

std::string repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReceiveLogPaging,
    testing::Values(
        // Ten line ends never prompt.
        paging_case{repeat("a\n", 10), "k", repeat("a\n", 10), 1},
        // The eleventh does, before it is printed; one key per prompt.
        paging_case{repeat("a\n", 11), "kk", repeat("a\n", 10) + "a#\n", 1},
        // CR LF counts two: the prompt comes after the sixth line's text.
        paging_case{repeat("l\r\n", 7), "k", repeat("l\r\n", 5) + "l#\r\nl\r\n", 0},
        // Then every 21st line end after the previous prompt.
        paging_case{repeat("\n", 32), "abc", repeat("\n", 10) + "#" + repeat("\n", 21) + "#\n", 1}));

TEST_F(ReceiveLog, PromptPollsTheKeyboardEveryTwentyMilliseconds) {
    for (int i = 0; i < 11; ++i) log_byte('\n');
    test_platform::press_keys("k", 95);
    dump(1024);
    // Polls at 0, 20, 40, 60, 80 and 100 ms; the key is there at the last one.
    EXPECT_EQ(test_platform::now_ms(), 100u);
    EXPECT_EQ(test_platform::keys_left(), 0u);
}

}  // namespace
