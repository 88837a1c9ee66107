#include "device_fixture.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "receive_log.h"
#include "serial_port.h"
#include "test_platform.h"

namespace test_platform {

quorvel_sim::device& simulated_device() {
    static quorvel_sim::device model;
    return model;
}

void start_with_device(const quorvel_sim::options& device_options, std::uint32_t tick_base) {
    reset(tick_base);
    quorvel_sim::reset(simulated_device(), device_options);
    attach(&simulated_device());
    serial_link::open_port_at("/dev/test");
}

std::vector<speed_run> sent_by_speed() {
    std::vector<speed_run> runs;
    for (const sent_byte& b : sent()) {
        if (runs.empty() || runs.back().first != b.baud) runs.emplace_back(b.baud, "");
        runs.back().second.push_back(static_cast<char>(b.value));
    }
    return runs;
}

std::string logged_bytes() {
    std::string s;
    const std::uint32_t n = serial_link::log_fill_count;
    for (std::uint32_t i = 0; i < n; ++i) {
        s.push_back(static_cast<char>(serial_link::receive_log[(serial_link::log_write_index + serial_link::log_size - n + i) % serial_link::log_size]));
    }
    return s;
}

const std::string& temp_dir() {
    static const std::string dir = [] {
        std::string d = testing::TempDir() + "brontal-test-XXXXXX";
        return std::string(mkdtemp(d.data()));
    }();
    return dir;
}

std::string make_file(const std::string& name, const std::string& contents) {
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
}

std::string without_paging(std::string out) {
    const std::string page = "\n  Hit any key to continue.. ";
    for (std::size_t at = out.find(page); at != std::string::npos; at = out.find(page)) out.erase(at, page.size());
    return out;
}

}  // namespace test_platform
