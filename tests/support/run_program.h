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
    double cpu_seconds = 0.0;  // user and system time of the program
};

run_result run_program(const std::vector<std::string>& args, double timeout_seconds);

// A pseudo-terminal pair owned by a test: the master end plays the device.
struct pty_pair {
    int master = -1;
    std::string device_path;
};
pty_pair open_pty();
std::string read_available(int fd, int wait_ms);

// A program running in the background, its first line of output read.
struct background {
    int pid = -1;
    int out = -1;  // kept open so that later output never kills it
    std::string first_line;
};
background start_program(const std::vector<std::string>& args, double timeout_seconds);
int stop_program(background& program);  // SIGTERM, then its exit code

}  // namespace test_support
