// The real program against the simulator on a pseudo-terminal, in real time.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "run_program.h"

namespace {

using speed_run = std::pair<std::uint32_t, std::string>;

const std::string activation = std::string("\x05") + "\x10\x26\x40\x40" + "\x10\x2A\x40\x40" + "\r";

class EndToEnd : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/brontal-e2e-XXXXXX";
        dir = mkdtemp(tmpl);
        transcript = dir + "/transcript.txt";
        one = write_file("one.s19", "S1050000AABB95\r\nS1050002CCDD4F\r\n");
        two = write_file("two.txt", "plain text line\n");
        three = write_file("three.hex", ":0300300002337A1E\n:00000001FF\n");
    }
    void TearDown() override {
        if (sim.pid > 0) test_support::stop_program(sim);
    }
    std::string write_file(const std::string& name, const std::string& contents) const {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
    void start_sim(std::vector<std::string> options) {
        std::vector<std::string> args{QUORVEL_SIM, "--transcript", transcript};
        args.insert(args.end(), options.begin(), options.end());
        sim = test_support::start_program(args, 10);
        ASSERT_GT(sim.pid, 0);
        ASSERT_EQ(sim.first_line.rfind("/dev/pts/", 0), 0u) << sim.first_line;
    }
    test_support::run_result run_brontal(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{BRONTAL_BINARY, sim.first_line, one, two, three};
        args.insert(args.end(), extra.begin(), extra.end());
        test_support::run_result r = test_support::run_program(args, 120);
        test_support::stop_program(sim);
        return r;
    }
    // What the device received, grouped into runs of one line speed.
    std::vector<speed_run> received() const {
        std::vector<speed_run> runs;
        std::ifstream in(transcript);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            double ms = 0;
            std::uint32_t baud = 0;
            std::string hex;
            fields >> ms >> baud >> hex;
            if (runs.empty() || runs.back().first != baud) runs.emplace_back(baud, "");
            runs.back().second.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
        }
        return runs;
    }
    std::string report_pattern(const std::string& path, std::size_t size) const {
        return "Load file: " + path + "\n" + std::to_string(size) +
               " bytes, estimated load time    0\\.0 minutes\n"
               "\nActual load time: +[0-9]+\\.[0-9]{2} minutes;  +[0-9]+ bytes/sec\n";
    }
    static std::string quote(const std::string& text) {
        return std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    }

    std::string dir;
    std::string transcript;
    std::string one;
    std::string two;
    std::string three;
    test_support::background sim;
};

TEST_F(EndToEnd, WholeUpdateAtTheRaisedSpeedFromASleepingConsole) {
    start_sim({"--paced"});
    const test_support::run_result r = run_brontal({"-f"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_EQ(r.err, "");
    const std::string expected =
        quote("brontal 1.0 - Quorvel firmware update\nUsing port " + sim.first_line +
              "\nQuorvel connected.\n\n forcing 57600 baud  using 57600 baud\nMemory scrubbed\n") +
        report_pattern(one, 32) + report_pattern(two, 16) + report_pattern(three, 30) +
        quote("\n Please wait. Do not interrupt power to the device\n or it will be rendered inoperable!\n") +
        "[\r|/\\\\-]*" + quote("\n Update complete. Cycle power to restart. ");
    EXPECT_TRUE(std::regex_match(r.out, std::regex(expected))) << r.out;
    const std::vector<speed_run> expected_bytes = {
        {9600, "\r\r" + activation + "c b57600\r"},
        {57600, "\rFD 0 E8000\r0\rLOAD 0\rS1050000AABB95\rS1050002CCDD4F\rplain text line\rg 90000\r"
                ":0300300002337A1E\r:00000001FF\rXc b9600\r"},
        {9600, "\rRB\rY\r"}};
    EXPECT_EQ(received(), expected_bytes);
}

TEST_F(EndToEnd, ALineRejectedInTheThirdFileIsALoaderFailure) {
    start_sim({"--active", "--reject-line", "3:2"});
    const test_support::run_result r = run_brontal();
    EXPECT_EQ(r.exit_code, 7) << r.out;
    EXPECT_NE(r.out.find(" ?? loader failure. k=? (3f); Log:\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("retry"), std::string::npos);
    const std::vector<speed_run> got = received();
    ASSERT_FALSE(got.empty());
    const std::string& sent = got.back().second;
    EXPECT_EQ(sent.substr(sent.size() - 13), "\r:00000001FF\r") << "nothing after the rejected line";
}

TEST_F(EndToEnd, ADeviceThatVanishesEndsTheTransferPromptly) {
    one = write_file("long.txt", [] {
        std::string s;
        for (int i = 0; i < 200; ++i) s += "line " + std::to_string(i) + "\n";
        return s;
    }());
    start_sim({"--active", "--vanish-after", "1:50"});
    const test_support::run_result r = run_brontal();
    EXPECT_EQ(r.exit_code, 6) << r.out;
    EXPECT_NE(r.out.find("\rretry ?? lost connection to target. log:\n"), std::string::npos) << r.out;
    // Two unanswered exchanges of 250 ms after the last answer; no busy loop meanwhile.
    EXPECT_LT(r.seconds, 20.0);
    EXPECT_LT(r.cpu_seconds, 0.5 * r.seconds);
}

}  // namespace
