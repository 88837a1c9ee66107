#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver.h"
#include "platform.h"
#include "serial_port.h"

namespace driver {

std::array<std::array<char, file_slot_size>, 3> file_slots{};

namespace {

constexpr const char* banner = "brontal 1.0 - Quorvel firmware update";
constexpr const char* usage = "brontal comport file1name file2name file3name [-sf]";

// "COMn" for a port number; a device path stands for itself.
std::array<char, 16> port_display_name{};

[[noreturn]] void usage_exit() {
    std::printf("%s\n", usage);
    finish(exit_code::bad_command_line);
}

}  // namespace

void finish(exit_code code) { platform::exit_process(static_cast<int>(code)); }

void run(int argc, char** argv) {
    int fast = 0;
    int slow = 0;
    std::printf("%s\n", banner);
    if (argc != 5 && argc != 6) usage_exit();

    // A device path (/dev/ttyUSB0, /dev/serial/by-id/..., a pseudo-terminal) is
    // used as it stands; anything else is a port number.
    const bool is_path = argv[1][0] == '/';
    int port_number = 0;
    const char* port_name = argv[1];
    if (!is_path) {
        port_number = std::atoi(argv[1]);
        if (port_number < 1 || port_number > 255) {
            std::printf("Bad argument %s\n", argv[1]);
            usage_exit();
        }
        std::snprintf(port_display_name.data(), port_display_name.size(), "COM%d", port_number);
        port_name = port_display_name.data();
    }

    for (std::size_t slot = 0; slot < file_slots.size(); ++slot) {
        std::strncpy(file_slots[slot].data(), argv[slot + 2], file_slot_size - 1);
        file_slots[slot][file_slot_size - 1] = '\0';
    }

    std::printf("Using port %s\n", port_name);
    if (argc == 6) {
        const char* speed_switch = argv[5];
        if (speed_switch[0] != '-') {
            std::printf("Bad switch %s\n", speed_switch);
            usage_exit();
        }
        switch (speed_switch[1]) {
            case 'f':
            case 'F':
                fast = 1;
                break;
            case 's':
            case 'S':
                slow = 1;
                break;
            default:
                std::printf("Bad switch %s\n", speed_switch);
                usage_exit();
        }
    }

    const int opened = is_path ? serial_link::open_port_at(argv[1]) : serial_link::open_port(port_number - 1);
    if (opened != 0) {
        std::printf(" ?? port in use? make sure QV_HOST is un-installed.\n");
        // The message above guesses; the operating system knows why.
        std::fprintf(stderr, "brontal: %s: %s\n", serial_link::port_path(), std::strerror(serial_link::open_error()));
        finish(exit_code::port_unavailable);
    }

    connect(port_name, fast, slow);
    run_update_sequence();
}

}  // namespace driver
