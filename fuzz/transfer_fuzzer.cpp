// Whatever a load file holds, what reaches the device is exactly its complete
// lines, in order, each once, each with one CR, and nothing else; a line that
// cannot be sent whole stops the transfer before any of it goes out.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "file_transfer.h"
#include "serial_port.h"
#include "test_platform.h"

namespace {

// The lines the device must see, and whether the file must be refused.
std::string expected_lines(const std::uint8_t* data, std::size_t size, bool& refused) {
    std::string sent;
    refused = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\n') continue;
        std::string line(reinterpret_cast<const char*>(data) + start, i - start);
        start = i + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > 1022 || line.find('\0') != std::string::npos) {
            refused = true;
            break;
        }
        sent += line + '\r';
    }
    return sent;
}

const std::string& file_path() {
    static const std::string path = "/tmp/brontal-fuzz-" + std::to_string(getpid()) + ".txt";
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    std::FILE* f = std::fopen(file_path().c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    test_platform::reset();
    test_platform::set_calendar(1'700'000'000, false);
    test_platform::on_write([](std::string_view bytes, std::uint64_t at_ms, std::uint32_t) {
        if (!bytes.empty() && bytes.back() == '\r') test_platform::deliver(at_ms + 1, "\r\n>");
    });
    if (serial_link::open_port_at("/dev/fuzz") != 0) std::abort();
    transfer::minutes_per_byte = 2.5e-5f;

    int code = -1;
    try {
        transfer::load_file(file_path().c_str(), 0);
    } catch (const test_platform::exit_called& e) {
        code = e.code;
    }
    bool refused = false;
    const std::string expected = expected_lines(data, size, refused);
    if (test_platform::sent_text() != expected) std::abort();
    if (code != (refused ? 1 : -1)) std::abort();
    if (transfer::open_load_file != nullptr) std::abort();
    return 0;
}
