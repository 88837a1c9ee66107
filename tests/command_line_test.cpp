// The command line, through the real program.

#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string banner = "brontal 1.0 - Quorvel firmware update\n";
const std::string usage = "brontal comport file1name file2name file3name [-sf]\n";
const std::string in_use = " ?? port in use? make sure QV_HOST is un-installed.\n";

struct command_line_case {
    const char* name;
    std::vector<std::string> args;  // after the program name; "PTY" is a held pseudo-terminal
    std::string out;                // "PTY" stands for its path
    int exit_code;
};

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
    return s;
}

void PrintTo(const command_line_case& c, std::ostream* os) { *os << c.name; }

class CommandLine : public testing::TestWithParam<command_line_case> {};

TEST_P(CommandLine, PrintsExactlyAndExits) {
    const command_line_case& c = GetParam();
    // A port that is there but held by someone else: it must not be touched.
    test_support::pty_pair pty = test_support::open_pty();
    ASSERT_GE(pty.master, 0);
    const int holder = open(pty.device_path.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    std::vector<std::string> args{BRONTAL_BINARY};
    for (const std::string& a : c.args) args.push_back(a == "PTY" ? pty.device_path : a);
    // Numbered ports are /dev/ttyS<n-1>; where one exists, its outcome is not ours to know.
    for (const std::string& a : args) {
        if (c.exit_code == 2 && a == args[1] && a[0] != '/') {
            const std::string dev = "/dev/ttyS" + std::to_string(std::atoi(a.c_str()) - 1);
            if (access(dev.c_str(), F_OK) == 0) GTEST_SKIP() << dev << " exists here";
        }
    }
    const test_support::run_result r = test_support::run_program(args, 20);
    EXPECT_EQ(r.out, replace_all(c.out, "PTY", pty.device_path));
    EXPECT_EQ(r.exit_code, c.exit_code);
    if (c.exit_code == 2) {
        EXPECT_NE(r.err.find(": "), std::string::npos);
        EXPECT_EQ(r.err.back(), '\n');
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    } else {
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(test_support::read_available(pty.master, 0), "") << "nothing reaches the port";
    close(holder);
    close(pty.master);
}

const std::vector<std::string> files = {"a", "b", "c"};
std::vector<std::string> with(std::string port, std::vector<std::string> rest = {}) {
    std::vector<std::string> v{std::move(port)};
    v.insert(v.end(), files.begin(), files.end());
    v.insert(v.end(), rest.begin(), rest.end());
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Counts, CommandLine,
    testing::Values(command_line_case{"None", {}, banner + usage, 1},
                    command_line_case{"Three", {"1", "a", "b"}, banner + usage, 1},
                    command_line_case{"Six", {"1", "a", "b", "c", "-f", "x"}, banner + usage, 1},
                    command_line_case{"SixWithBadPort", {"0", "a", "b", "c", "-f", "x"}, banner + usage, 1}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Ports, CommandLine,
    testing::Values(
        command_line_case{"Zero", with("0"), banner + "Bad argument 0\n" + usage, 1},
        command_line_case{"Above255", with("256"), banner + "Bad argument 256\n" + usage, 1},
        command_line_case{"Negative", with("-1"), banner + "Bad argument -1\n" + usage, 1},
        command_line_case{"ComPrefix", with("COM2"), banner + "Bad argument COM2\n" + usage, 1},
        command_line_case{"Empty", with(""), banner + "Bad argument \n" + usage, 1},
        command_line_case{"RelativePath", with("dev/ttyS0"), banner + "Bad argument dev/ttyS0\n" + usage, 1},
        command_line_case{"One", with("1"), banner + "Using port COM1\n" + in_use, 2},
        command_line_case{"Max", with("255"), banner + "Using port COM255\n" + in_use, 2},
        command_line_case{"LeadingZero", with("02"), banner + "Using port COM2\n" + in_use, 2},
        command_line_case{"TrailingText", with("5x"), banner + "Using port COM5\n" + in_use, 2},
        command_line_case{"HeldDevicePath", with("PTY", {"-f"}), banner + "Using port PTY\n" + in_use, 2},
        command_line_case{"MissingDevicePath", with("/dev/brontal-none"),
                          banner + "Using port /dev/brontal-none\n" + in_use, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// Every bad switch is reported before the port is opened: the held port stays untouched.
INSTANTIATE_TEST_SUITE_P(
    Switches, CommandLine,
    testing::Values(
        command_line_case{"Dash", with("PTY", {"-"}), banner + "Using port PTY\nBad switch -\n" + usage, 1},
        command_line_case{"NoDash", with("PTY", {"x"}), banner + "Using port PTY\nBad switch x\n" + usage, 1},
        command_line_case{"DoubleDash", with("PTY", {"--f"}), banner + "Using port PTY\nBad switch --f\n" + usage, 1},
        command_line_case{"EmptySwitch", with("PTY", {""}), banner + "Using port PTY\nBad switch \n" + usage, 1},
        command_line_case{"OtherLetter", with("7", {"-x"}), banner + "Using port COM7\nBad switch -x\n" + usage, 1},
        command_line_case{"Fast", with("PTY", {"-f"}), banner + "Using port PTY\n" + in_use, 2},
        command_line_case{"FastUpper", with("PTY", {"-F"}), banner + "Using port PTY\n" + in_use, 2},
        command_line_case{"Slow", with("PTY", {"-s"}), banner + "Using port PTY\n" + in_use, 2},
        command_line_case{"SlowUpper", with("PTY", {"-S"}), banner + "Using port PTY\n" + in_use, 2},
        command_line_case{"OnlySecondCharacterCounts", with("PTY", {"-sf"}), banner + "Using port PTY\n" + in_use, 2},
        command_line_case{"FastThenAnything", with("PTY", {"-fs"}), banner + "Using port PTY\n" + in_use, 2}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
