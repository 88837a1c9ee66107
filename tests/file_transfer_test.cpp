#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cerrno>
#include <string>
#include <vector>

#include "device_fixture.h"
#include "exchange.h"
#include "file_transfer.h"
#include "test_platform.h"

namespace {

using transfer::load_file;

using test_platform::make_file;
using test_platform::temp_dir;

std::string repeat(const std::string& s, std::size_t n) {
    std::string r;
    for (std::size_t i = 0; i < n; ++i) r += s;
    return r;
}

struct outcome {
    std::string out;
    int code;
    std::string sent;  // what went to the device after "LOAD 0\r"
};

// The console is up and in load mode; the transfer runs against the device model.
outcome transfer_file(const std::string& path, int no_retry, quorvel_sim::options o = {}) {
    o.console_active = true;
    test_platform::start_with_device(o);
    test_platform::set_calendar(1'700'000'000, false);  // the whole transfer within one clock second
    test_platform::press_keys(std::string(20, 'k'));    // for the paging of a failure's log
    serial_link::exchange("LOAD 0\r", 1);
    const std::size_t before = test_platform::sent_text().size();
    transfer::minutes_per_byte = 2.5e-5f;
    outcome r;
    r.out = test_platform::run_captured([&] { load_file(path.c_str(), no_retry); }, r.code);
    r.sent = test_platform::sent_text().substr(before);
    EXPECT_EQ(transfer::open_load_file, nullptr) << "the file is closed on every path";
    return r;
}

// Everything the transfer prints around the progress, for a transfer within one clock second.
std::string framed(const std::string& path, long size, const std::string& progress, const char* rate) {
    char estimate[64];
    std::snprintf(estimate, sizeof estimate, "%6.1f", 2.5e-5f * static_cast<float>(size));
    return "Load file: " + path + "\n" + std::to_string(size) + " bytes, estimated load time " + estimate +
           " minutes\n" + progress + "\nActual load time:     0.00 minutes;  " + rate + " bytes/sec\n";
}

struct assembly_case {
    const char* name;
    std::string contents;
    std::string sent;
};

void PrintTo(const assembly_case& c, std::ostream* os) { *os << c.name; }

class LineAssembly : public testing::TestWithParam<assembly_case> {};

TEST_P(LineAssembly, SendsEachCompleteLineOnceWithOneCr) {
    const assembly_case& c = GetParam();
    const outcome r = transfer_file(make_file("assembly.txt", c.contents), 0);
    EXPECT_EQ(r.code, -1) << r.out;
    EXPECT_EQ(r.sent, c.sent);
}

const std::string line_1022(1022, 'a');

INSTANTIATE_TEST_SUITE_P(
    Cases, LineAssembly,
    testing::Values(assembly_case{"OneCrDroppedOneAppended", "abc\r\r\n", "abc\r\r"},
                    assembly_case{"CrInsideALineStays", "a\rb\n", "a\rb\r"},
                    assembly_case{"EmptyLines", "\n\r\nx\n", "\r\rx\r"},
                    assembly_case{"TrailingFragmentIsNotSent", "one\ntwo", "one\r"},
                    assembly_case{"EmptyFile", "", ""},
                    assembly_case{"Longest", line_1022 + "\n" + line_1022 + "\r\n", line_1022 + "\r" + line_1022 + "\r"},
                    assembly_case{"ControlBytesPassUnchanged", "\x01\x7f\xff\x1b\n", "\x01\x7f\xff\x1b\r"},
                    // 32760 bytes, then a line that the first read cuts after 8 of its 20 bytes.
                    assembly_case{"LineAcrossTheChunkBoundary", repeat(std::string(39, 'p') + "\n", 819) + "S-straddling-line!!\n",
                                  repeat(std::string(39, 'p') + "\r", 819) + "S-straddling-line!!\r"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileTransfer, ReportsSizeEstimateAndThroughput) {
    const std::string path = make_file("report.txt", "ab\ncd\r\nef\nfragment");
    const outcome r = transfer_file(path, 0);
    // 18 bytes in 0.001 minutes: 18 / 0.06 bytes per second.
    EXPECT_EQ(r.out, framed(path, 18, "", "     300"));
    EXPECT_EQ(r.sent, "ab\rcd\ref\r");
    EXPECT_EQ(std::bit_cast<std::uint32_t>(transfer::minutes_per_byte),
              std::bit_cast<std::uint32_t>(static_cast<float>(static_cast<double>(0.001f) / 18.0)));
}

TEST(FileTransfer, AnEmptyFileLeavesTheEstimateAlone) {
    const std::string path = make_file("empty.txt", "");
    const outcome r = transfer_file(path, 0);
    EXPECT_EQ(r.out, framed(path, 0, "", "       0"));
    EXPECT_EQ(transfer::minutes_per_byte, 2.5e-5f);
}

TEST(FileTransfer, PercentageAfterEvery256thLine) {
    const std::string p255 = make_file("l255.txt", repeat("x\n", 255));
    EXPECT_EQ(transfer_file(p255, 0).out, framed(p255, 510, "", "    8500"));
    const std::string p256 = make_file("l256.txt", repeat("x\n", 256));
    EXPECT_EQ(transfer_file(p256, 0).out, framed(p256, 512, "\r  100.0% ", "    8533"));
    // Of 900 bytes, 768 are through by line 256: 85.3 %.
    const std::string p300 = make_file("l300.txt", repeat("ab\n", 300));
    EXPECT_EQ(transfer_file(p300, 0).out, framed(p300, 900, "\r   85.3% ", "   15000"));
}

TEST(FileTransfer, NextEstimateComesFromTheMeasuredRate) {
    // 1000 lines at the pace of a 9600 baud line cross several clock seconds.
    const std::string first = make_file("first.txt", repeat("0123456789\n", 1000));
    const std::string second = make_file("second.txt", repeat("0123456789\n", 100000));
    quorvel_sim::options o;
    o.console_active = true;
    o.paced = true;
    test_platform::start_with_device(o);
    serial_link::exchange("LOAD 0\r", 1);
    transfer::minutes_per_byte = 2.5e-5f;
    int code = 0;
    const std::uint64_t start = test_platform::now_ms();
    test_platform::run_captured([&] { load_file(first.c_str(), 0); }, code);
    const std::uint64_t seconds = (test_platform::now_ms() / 1000) - (start / 1000);
    ASSERT_GE(seconds, 1u);
    const float minutes = static_cast<float>(static_cast<double>(seconds) * static_cast<double>(1.0f / 60.0f));
    const float rate = static_cast<float>(static_cast<double>(minutes) / 11000.0);
    EXPECT_EQ(transfer::minutes_per_byte, rate);
    // The second file's estimate line uses it; stop the transfer at once with a read error.
    test_platform::fail_reads_after(0, EIO);
    const std::string out = test_platform::run_captured([&] { load_file(second.c_str(), 0); }, code);
    char expected[128];
    std::snprintf(expected, sizeof expected, "1100000 bytes, estimated load time %6.1f minutes\n",
                  static_cast<double>(rate) * static_cast<double>(1100000.0f));
    EXPECT_NE(out.find(expected), std::string::npos) << out;
}

struct retry_case {
    const char* name;
    quorvel_sim::line_fault fault;
    bool probe_unanswered;
    int no_retry;
    std::string message;  // printed after the first line's progress, before the log
    int code;
    std::string sent;
};

void PrintTo(const retry_case& c, std::ostream* os) { *os << c.name; }

class Retry : public testing::TestWithParam<retry_case> {};

TEST_P(Retry, OneResendAfterAProbeThenTheRightExit) {
    const retry_case& c = GetParam();
    const std::string path = make_file("retry.txt", "L1\nL2\nL3\n");
    quorvel_sim::options o;
    o.fault_at = {1, 2};
    o.fault = c.fault;
    o.probe_unanswered = c.probe_unanswered;
    const outcome r = transfer_file(path, c.no_retry, o);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.sent, c.sent);
    const std::string head = "Load file: " + path + "\n9 bytes, estimated load time    0.0 minutes\n";
    if (c.code == -1) {
        EXPECT_EQ(r.out, head + c.message + "\nActual load time:     0.00 minutes;       150 bytes/sec\n");
        return;
    }
    const std::string log = test_platform::logged_bytes();
    EXPECT_EQ(test_platform::without_paging(r.out), head + c.message + log.substr(log.size() > 150 ? log.size() - 150 : 0));
}

using quorvel_sim::line_fault;

INSTANTIATE_TEST_SUITE_P(
    Cases, Retry,
    testing::Values(
        retry_case{"AcceptedOnTheResend", line_fault::reject_once, false, 0, "\rretry", -1, "L1\rL2\r\rL2\rL3\r"},
        retry_case{"SilentLineAndSilentProbe", line_fault::never_answer, true, 0,
                   "\rretry ?? lost connection to target. log:\n", 6, "L1\rL2\r\r"},
        retry_case{"RejectedAgain", line_fault::reject_always, false, 0,
                   "\rretry ?? loader failure. k=? (3f); Log:\n", 7, "L1\rL2\r\rL2\r"},
        retry_case{"NoRetryRejected", line_fault::reject_once, false, 1, " ?? loader failure. k=? (3f); Log:\n", 7,
                   "L1\rL2\r"},
        retry_case{"NoRetrySilent", line_fault::never_answer, false, 1,
                   std::string(" ?? loader failure. k=\0 (00); Log:\n", 35), 7, "L1\rL2\r"}),
    [](const auto& info) { return std::string(info.param.name); });

struct refusal_case {
    const char* name;
    std::string contents;
    std::string message;  // "PATH" stands for the file's full path
    std::string sent;
};

void PrintTo(const refusal_case& c, std::ostream* os) { *os << c.name; }

class Refusal : public testing::TestWithParam<refusal_case> {};

// Lines the device cannot take whole are refused before any of them is sent.
TEST_P(Refusal, StopsBeforeTheLineWithCodeOne) {
    const refusal_case& c = GetParam();
    const std::string path = make_file("refused.txt", c.contents);
    const outcome r = transfer_file(path, 0);
    std::string message = c.message;
    message.replace(message.find("PATH"), 4, path);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.sent, c.sent);
    EXPECT_EQ(r.out.substr(r.out.find('\n', r.out.find('\n') + 1) + 1), message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    testing::Values(
        refusal_case{"Line1023", "ok\nok\n" + std::string(1023, 'a') + "\nnever\n",
                     " ?? line 3 of PATH is longer than 1022 bytes\n", "ok\rok\r"},
        refusal_case{"Line1023EndingInCr", std::string(1023, 'a') + "\r\n", " ?? line 1 of PATH is longer than 1022 bytes\n", ""},
        refusal_case{"VeryLongLine", "ok\n" + std::string(70000, 'b') + "\n", " ?? line 2 of PATH is longer than 1022 bytes\n", "ok\r"},
        refusal_case{"NulInALine", std::string("ok\nab\0cd\nnever\n", 15), " ?? line 2 of PATH holds a NUL byte\n", "ok\r"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileTransfer, ALongOrNulFragmentAfterTheLastLineIsIgnoredLikeAnyFragment) {
    const outcome r = transfer_file(make_file("fragment.txt", "ok\n" + std::string(2000, 'z') + std::string("\0", 1)), 0);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.sent, "ok\r");
}

TEST(FileTransfer, AReadErrorPartWayIsNoEndOfFile) {
    const std::string path = make_file("unreadable.txt", repeat(std::string(99, 'r') + "\n", 700));
    quorvel_sim::options o;
    o.console_active = true;
    test_platform::start_with_device(o);
    serial_link::exchange("LOAD 0\r", 1);
    const std::size_t before = test_platform::sent_text().size();
    test_platform::fail_reads_after(40050, EIO);
    int code = 0;
    const std::string out = test_platform::run_captured([&] { load_file(path.c_str(), 0); }, code);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(test_platform::sent_text().substr(before), repeat(std::string(99, 'r') + "\r", 400));
    EXPECT_EQ(out.substr(out.rfind(" ?? ")), " ?? " + path + ": Input/output error\n");
    EXPECT_EQ(out.find("Actual load time"), std::string::npos);
    EXPECT_EQ(transfer::open_load_file, nullptr);
}

struct open_case {
    const char* name;
    std::string given;  // "DIR" stands for the test directory
    std::string out;    // likewise
};

void PrintTo(const open_case& c, std::ostream* os) { *os << c.name; }

class OpenFailure : public testing::TestWithParam<open_case> {};

TEST_P(OpenFailure, PrintsTheReasonAndExitsWithOne) {
    const open_case& c = GetParam();
    auto fill = [](std::string s) {
        for (std::size_t at = s.find("DIR"); at != std::string::npos; at = s.find("DIR")) s.replace(at, 3, temp_dir());
        return s;
    };
    mkdir((temp_dir() + "/adir").c_str(), 0755);
    const outcome r = transfer_file(fill(c.given), 0);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, fill(c.out));
    EXPECT_EQ(r.sent, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenFailure,
    testing::Values(
        open_case{"Missing", "DIR/none.txt", "Load file: DIR/none.txt\n ?? DIR/none.txt: No such file or directory\n"},
        open_case{"Directory", "DIR/adir", "Load file: DIR/adir\n ?? DIR/adir: Is a directory\n"},
        open_case{"DotsResolvedLexically", "DIR/adir/../adir/./", "Load file: DIR/adir/\n ?? DIR/adir/: Is a directory\n"},
        open_case{"PathTooLong", "/" + std::string(259, 'n'), " bad path /" + std::string(259, 'n') + "\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileTransfer, RelativeNamesAreMadeAbsoluteFromTheCurrentDirectory) {
    make_file("here.txt", "h\n");
    std::array<char, 4096> old{};
    ASSERT_NE(getcwd(old.data(), old.size()), nullptr);
    ASSERT_EQ(chdir(temp_dir().c_str()), 0);
    const outcome r = transfer_file("sub/../here.txt", 0);
    ASSERT_EQ(chdir(old.data()), 0);
    EXPECT_EQ(r.code, -1);
    EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "Load file: " + temp_dir() + "/here.txt");
    EXPECT_EQ(r.sent, "h\r");
}

}  // namespace
