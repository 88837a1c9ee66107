#pragma once
// Runs a program to its end with standard input empty and both outputs captured.

#include <string>
#include <vector>

namespace test_support {

struct run_result {
    int exit_code = -1;     // -1 when killed by a signal or timed out
    bool timed_out = false;
    std::string out;
    std::string err;
    double seconds = 0.0;
};

run_result run_program(const std::vector<std::string>& args, double timeout_seconds);

// A pseudo-terminal pair owned by a test: the master end plays the device.
struct pty_pair {
    int master = -1;
    std::string device_path;
};
pty_pair open_pty();
std::string read_available(int fd, int wait_ms);

}  // namespace test_support
