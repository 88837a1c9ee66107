#include "test_platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <deque>

#include "driver.h"
#include "file_transfer.h"
#include "platform.h"
#include "quorvel_model.h"
#include "receive_log.h"
#include "serial_port.h"

namespace test_platform {

namespace {

struct scripted_byte {
    std::uint64_t at_ms;
    std::uint8_t value;
};

// Two virtual hours: far past every wait of an update.
constexpr std::uint64_t runaway_ms = 2ull * 60 * 60 * 1000;

struct state {
    std::uint32_t tick_base = 0;
    std::uint64_t clock = 0;
    std::deque<scripted_byte> script;
    std::function<void(std::string_view, std::uint64_t, std::uint32_t)> write_hook;
    quorvel_sim::device* model = nullptr;
    std::vector<sent_byte> sent;
    platform::line_settings settings;
    std::vector<std::uint32_t> refused;
    bool writes_fail = false;
    std::uint64_t vanish_ms = UINT64_MAX;
    int open_error = 0;
    std::uint64_t read_limit = UINT64_MAX;
    int read_error = 0;
    std::uint64_t bytes_read = 0;
    std::deque<std::pair<std::uint64_t, int>> keys;
    std::int64_t calendar_base = 1'700'000'000;
    bool calendar_running = true;
    std::uint64_t pending_queries = 0;
    std::uint64_t pauses = 0;
};

state& s() {
    static state instance;
    return instance;
}

bool gone() {
    if (s().clock >= s().vanish_ms) return true;
    return s().model != nullptr && quorvel_sim::vanished(*s().model, s().clock * 1000);
}

std::uint32_t script_due() {
    std::uint32_t n = 0;
    for (const scripted_byte& b : s().script) {
        if (b.at_ms > s().clock) break;
        ++n;
    }
    return n;
}

}  // namespace

void reset(std::uint32_t tick_base) {
    s() = state{};
    s().tick_base = tick_base;
    s().settings.baud = 0;
    serial_link::receive_log.fill(0);
    serial_link::log_write_index = 0;
    serial_link::log_fill_count = 0;
    serial_link::log_read_cursor = 0;
    serial_link::port_handle = platform::invalid_handle;
    serial_link::current_baud = 0;
    transfer::close_load_file();
    transfer::minutes_per_byte = 0.0f;
    for (auto& slot : driver::file_slots) slot.fill(0);
}

std::uint64_t now_ms() { return s().clock; }

void advance(std::uint64_t milliseconds) {
    s().clock += milliseconds;
    if (s().clock > runaway_ms) throw runaway{};
}

void deliver(std::uint64_t at_ms, std::string_view bytes) {
    // Kept in arrival order; bytes of one call arrive together.
    auto it = s().script.begin();
    while (it != s().script.end() && it->at_ms <= at_ms) ++it;
    for (char c : bytes) {
        it = s().script.insert(it, scripted_byte{at_ms, static_cast<std::uint8_t>(c)});
        ++it;
    }
}

void on_write(std::function<void(std::string_view, std::uint64_t, std::uint32_t)> hook) {
    s().write_hook = std::move(hook);
}

void attach(quorvel_sim::device* model) { s().model = model; }

const std::vector<sent_byte>& sent() { return s().sent; }

std::string sent_text() {
    std::string text;
    for (const sent_byte& b : s().sent) text.push_back(static_cast<char>(b.value));
    return text;
}

std::uint32_t line_speed() { return s().settings.baud; }
std::uint64_t pending_queries() { return s().pending_queries; }
std::uint64_t pauses_taken() { return s().pauses; }
void refuse_rate(std::uint32_t baud) { s().refused.push_back(baud); }
void fail_writes(bool fail) { s().writes_fail = fail; }
void vanish_at(std::uint64_t at_ms) { s().vanish_ms = at_ms; }
void fail_open(int error) { s().open_error = error; }

void fail_reads_after(std::uint64_t bytes, int error) {
    s().read_limit = bytes;
    s().read_error = error;
}

void press_keys(std::string_view keys, std::uint64_t at_ms) {
    for (char c : keys) s().keys.emplace_back(at_ms, static_cast<unsigned char>(c));
}

std::size_t keys_left() { return s().keys.size(); }
void set_calendar(std::int64_t base_seconds, bool running) {
    s().calendar_base = base_seconds;
    s().calendar_running = running;
}

std::string run_captured(const std::function<void()>& body, int& code) {
    code = -1;
    testing::internal::CaptureStdout();
    try {
        body();
    } catch (const exit_called& e) {
        code = e.code;
    } catch (const runaway&) {
        std::fflush(stdout);
        testing::internal::GetCapturedStdout();
        ADD_FAILURE() << "virtual time ran away: the program would hang";
        return {};
    }
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

}  // namespace test_platform

namespace platform {

using test_platform::s;

handle serial_open(const char*) {
    if (s().open_error != 0) return invalid_handle;
    s().settings = line_settings{};
    s().settings.baud = 4800;  // whatever the port had before
    return 3;
}

bool serial_get_settings(handle, line_settings& settings) {
    settings = s().settings;
    return true;
}

bool serial_set_settings(handle, const line_settings& settings) {
    for (std::uint32_t r : s().refused) {
        if (r == settings.baud) return false;
    }
    s().settings = settings;
    return true;
}

void serial_set_timeouts(handle, std::uint32_t, std::uint32_t) {}

void serial_purge(handle) {
    const std::uint32_t due = test_platform::script_due();
    s().script.erase(s().script.begin(), s().script.begin() + due);
    if (s().model != nullptr) {
        std::uint8_t byte = 0;
        while (quorvel_sim::take_output(*s().model, s().clock * 1000, s().settings.baud, byte)) {
        }
    }
}

bool serial_pending(handle, std::uint32_t& count) {
    ++s().pending_queries;
    count = 0;
    if (test_platform::gone()) return true;
    count = test_platform::script_due();
    if (s().model != nullptr) count += quorvel_sim::output_ready(*s().model, s().clock * 1000);
    return true;
}

bool serial_read(handle, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& got) {
    got = 0;
    if (test_platform::gone()) return false;
    while (got < length) {
        if (test_platform::script_due() > 0) {
            buffer[got++] = s().script.front().value;
            s().script.pop_front();
            continue;
        }
        if (s().model != nullptr &&
            quorvel_sim::take_output(*s().model, s().clock * 1000, s().settings.baud, buffer[got])) {
            ++got;
            continue;
        }
        break;
    }
    return true;
}

bool serial_write(handle, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& written) {
    written = 0;
    if (s().writes_fail || test_platform::gone()) return false;
    for (std::uint32_t i = 0; i < length; ++i) {
        s().sent.push_back(test_platform::sent_byte{s().clock, s().settings.baud, buffer[i]});
        if (s().model != nullptr) quorvel_sim::receive(*s().model, buffer[i], s().settings.baud, s().clock * 1000);
    }
    written = length;
    if (s().write_hook) {
        s().write_hook(std::string_view(reinterpret_cast<const char*>(buffer), length), s().clock, s().settings.baud);
    }
    return true;
}

void serial_close(handle) {}
int serial_error() { return EIO; }

std::uint32_t tick_ms() { return static_cast<std::uint32_t>(s().tick_base + s().clock); }

void pause_ms(std::uint32_t milliseconds) {
    ++s().pauses;
    test_platform::advance(milliseconds);
}

std::int64_t calendar_seconds() {
    return s().calendar_base + (s().calendar_running ? static_cast<std::int64_t>(s().clock / 1000) : 0);
}

bool key_waiting() { return !s().keys.empty() && s().keys.front().first <= s().clock; }

int take_key() {
    if (!key_waiting()) return -1;
    const int key = s().keys.front().second;
    s().keys.pop_front();
    return key;
}

std::size_t read_chunk(std::FILE* file, std::uint8_t* buffer, std::size_t length, int& error) {
    error = 0;
    if (s().bytes_read >= s().read_limit) {
        error = s().read_error;
        return 0;
    }
    const std::uint64_t room = s().read_limit - s().bytes_read;
    if (room < length) length = static_cast<std::size_t>(room);
    const std::size_t got = std::fread(buffer, 1, length, file);
    s().bytes_read += got;
    return got;
}

void console_init() {}

void exit_process(int code) {
    std::fflush(stdout);
    throw test_platform::exit_called{code};
}

}  // namespace platform
