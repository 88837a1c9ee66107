#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "driver.h"
#include "test_platform.h"

namespace {

using test_platform::speed_run;

const std::string activation = std::string("\x05") + "\x10\x26\x40\x40" + "\x10\x2A\x40\x40" + "\r";
const std::string head = "brontal 1.0 - Quorvel firmware update\nUsing port /dev/test\n";
const std::string warning = "\n Please wait. Do not interrupt power to the device\n or it will be rendered inoperable!\n";
const std::string done = "\n Update complete. Cycle power to restart. ";
// One output every 8 bytes for 100 bytes.
const std::string spinner_100 = "\r/\r-\r\\\r|\r/\r-";

std::string file(const std::string& name, const std::string& contents) {
    return test_platform::make_file(name, contents);
}

struct files {
    std::string one = file("one.txt", "a1\na2\n");
    std::string two = file("two.txt", "b1\n");
    std::string three = file("three.txt", "c1\nc2\nc3\n");
};

std::string report(const std::string& path, const std::string& size, const std::string& rate) {
    return "Load file: " + path + "\n" + size + " bytes, estimated load time    0.0 minutes\n" +
           "\nActual load time:     0.00 minutes;  " + rate + " bytes/sec\n";
}

struct run_outcome {
    std::string out;
    int code;
};

run_outcome run_update(const quorvel_sim::options& o, std::vector<std::string> args,
                       const std::function<void()>& faults = [] {}) {
    test_platform::start_with_device(o);
    test_platform::set_calendar(1'700'000'000, false);
    test_platform::press_keys(std::string(20, 'k'));
    faults();
    std::vector<char*> argv;
    static std::string program = "brontal";
    argv.push_back(program.data());
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    run_outcome r;
    r.out = test_platform::run_captured([&] { driver::run(static_cast<int>(argv.size() - 1), argv.data()); }, r.code);
    return r;
}

std::string last_logged(std::size_t n) {
    const std::string log = test_platform::logged_bytes();
    return log.substr(log.size() > n ? log.size() - n : 0);
}

TEST(UpdateSequence, WholeUpdateAtTheRaisedSpeed) {
    const files f;
    const run_outcome r = run_update({}, {"/dev/test", f.one, f.two, f.three, "-f"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, head + "Quorvel connected.\n\n forcing 57600 baud  using 57600 baud\nMemory scrubbed\n" +
                         report(f.one, "6", "     100") + report(f.two, "3", "      50") +
                         report(f.three, "9", "     150") + warning + spinner_100 + done);
    const std::vector<speed_run> expected = {
        {9600, "\r\r" + activation + "c b57600\r"},
        {57600, "\rFD 0 E8000\r0\rLOAD 0\ra1\ra2\rb1\rg 90000\rc1\rc2\rc3\rXc b9600\r"},
        {9600, "\rRB\rY\r"}};
    EXPECT_EQ(test_platform::sent_by_speed(), expected);
}

TEST(UpdateSequence, WholeUpdateWithoutASwitch) {
    const files f;
    quorvel_sim::options o;
    o.console_active = true;
    const run_outcome r = run_update(o, {"/dev/test", f.one, f.two, f.three});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, head + " using 9600 baud\nMemory scrubbed\n" + report(f.one, "6", "     100") +
                         report(f.two, "3", "      50") + report(f.three, "9", "     150") + warning +
                         spinner_100 + done);
    const std::vector<speed_run> expected = {
        {9600, "\r\rFD 0 E8000\r0\rLOAD 0\ra1\ra2\rb1\rg 90000\rc1\rc2\rc3\rXRB\rY\r"}};
    EXPECT_EQ(test_platform::sent_by_speed(), expected);
}

TEST(UpdateSequence, AfterTheFallbackTo9600NoSpeedCommandFollows) {
    const files f;
    quorvel_sim::options o;
    o.refuse_57600 = true;
    const run_outcome r = run_update(o, {"/dev/test", f.one, f.two, f.three, "-F"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(test_platform::sent_text().find("c b9600"), std::string::npos);
    EXPECT_NE(r.out.find(" forcing 57600 baud  using 9600 baud\n"), std::string::npos);
}

TEST(UpdateSequence, OnlyTheSecondCharacterOfTheSwitchCounts) {
    const files f;
    quorvel_sim::options o;
    o.console_active = true;
    EXPECT_NE(run_update(o, {"/dev/test", f.one, f.two, f.three, "-sf"}).out.find("\n forcing 9600 baud  using 9600 baud\n"),
              std::string::npos);
    EXPECT_EQ(test_platform::sent_text().find("c b57600"), std::string::npos);
    EXPECT_NE(run_update(o, {"/dev/test", f.one, f.two, f.three, "-fs"}).out.find(" using 57600 baud\n"),
              std::string::npos);
}

struct failure_case {
    const char* name;
    std::function<void(quorvel_sim::options&)> device;
    std::string message;
    std::size_t log_bytes;
    int code;
};

void PrintTo(const failure_case& c, std::ostream* os) { *os << c.name; }

class UpdateFailure : public testing::TestWithParam<failure_case> {};

TEST_P(UpdateFailure, PrintsTheMessageAndTheLogTail) {
    const failure_case& c = GetParam();
    const files f;
    quorvel_sim::options o;
    o.console_active = true;
    c.device(o);
    run_outcome r = run_update(o, {"/dev/test", f.one, f.two, f.three});
    EXPECT_EQ(r.code, c.code);
    r.out = test_platform::without_paging(r.out);
    const std::string tail = c.message + last_logged(c.log_bytes);
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(test_platform::sent_text().find('Y'), std::string::npos) << "nothing is programmed";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFailure,
    testing::Values(failure_case{"MemoryFill", [](auto& o) { o.reject_fill = true; },
                                 " using 9600 baud\n ?? target memory fill failed. Log:\n", 30, 4},
                    failure_case{"LoadOffset", [](auto& o) { o.reject_offset = true; },
                                 "Memory scrubbed\n ?? target load offset failed. Log:\n", 30, 4},
                    failure_case{"PromptInsteadOfColon", [](auto& o) { o.colon = quorvel_sim::colon_reply::prompt; },
                                 " Programming failure. Text was:\n", 150, 5},
                    failure_case{"NoColon", [](auto& o) { o.colon = quorvel_sim::colon_reply::never; },
                                 " Programming failure. Text was:\n", 150, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateSequence, AColonInTheSecondListeningSecondIsInTime) {
    const files f;
    quorvel_sim::options o;
    o.console_active = true;
    o.colon = quorvel_sim::colon_reply::late;
    o.colon_delay_ms = 1500;
    const run_outcome r = run_update(o, {"/dev/test", f.one, f.two, f.three});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find(warning), std::string::npos);
}

struct completion_case {
    const char* name;
    std::uint32_t y_bytes;
    std::uint32_t y_gap_ms;
    std::string spinner;
};

void PrintTo(const completion_case& c, std::ostream* os) { *os << c.name; }

class CompletionWait : public testing::TestWithParam<completion_case> {};

// The final CR goes out 5 s after the last byte of the device, however long it talks.
TEST_P(CompletionWait, EndsAfterFiveSecondsOfSilence) {
    const completion_case& c = GetParam();
    const files f;
    quorvel_sim::options o;
    o.console_active = true;
    o.y_bytes = c.y_bytes;
    o.y_gap_ms = c.y_gap_ms;
    const run_outcome r = run_update(o, {"/dev/test", f.one, f.two, f.three});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out.substr(r.out.find(warning) + warning.size()), c.spinner + done);
    const auto& sent = test_platform::sent();
    ASSERT_GE(sent.size(), 2u);
    const std::uint64_t y_at = sent[sent.size() - 2].time_ms;
    const std::uint64_t talking = c.y_bytes == 0 ? 0 : std::uint64_t{c.y_bytes} * c.y_gap_ms;
    EXPECT_GE(sent.back().time_ms, y_at + talking + 5000 - c.y_gap_ms);
    EXPECT_LE(sent.back().time_ms, y_at + talking + 5000 + 300);
}

INSTANTIATE_TEST_SUITE_P(Cases, CompletionWait,
                         testing::Values(completion_case{"Silent", 0, 20, ""},
                                         completion_case{"SevenBytesShowNothing", 7, 20, ""},
                                         completion_case{"HundredBytes", 100, 20, spinner_100},
                                         completion_case{"GapsJustUnderFiveSeconds", 3, 4900, ""}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UpdateSequence, AFileNameIsCutTo260Characters) {
    const std::string name = "/" + std::string(299, 'n');
    const run_outcome r = run_update({}, {"/dev/test", name, "b", "c"}, [] { test_platform::fail_open(EBUSY); });
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(std::string(driver::file_slots[0].data()), name.substr(0, 260));
    EXPECT_EQ(std::string(driver::file_slots[1].data()), "b");
}

}  // namespace
