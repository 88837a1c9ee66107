#pragma once
// The simulated device on the virtual clock, and what the tests read back.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quorvel_model.h"

namespace test_platform {

// A fresh process with the simulated device on an open port.
void start_with_device(const quorvel_sim::options& device_options, std::uint32_t tick_base = 0);
quorvel_sim::device& simulated_device();

// The bytes sent, grouped into runs of one line speed.
using speed_run = std::pair<std::uint32_t, std::string>;
std::vector<speed_run> sent_by_speed();

std::string logged_bytes();  // the receive log, oldest first

// A file with the given contents in this test program's own temporary folder.
std::string make_file(const std::string& name, const std::string& contents);
const std::string& temp_dir();

// Console output with the paging prompts of a log dump taken out.
std::string without_paging(std::string out);

}  // namespace test_platform
