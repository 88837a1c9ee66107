// The serial port on a real pseudo-terminal, with the real clock.

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "exchange.h"
#include "platform.h"
#include "run_program.h"
#include "serial_port.h"

namespace {

using namespace serial_link;

class SerialPort : public testing::Test {
protected:
    void SetUp() override {
        pty = test_support::open_pty();
        ASSERT_GE(pty.master, 0);
    }
    void TearDown() override {
        if (port_handle != platform::invalid_handle) close_port();
        port_handle = platform::invalid_handle;
        current_baud = 0;
        if (pty.master >= 0) close(pty.master);
    }
    void open_it() { ASSERT_EQ(open_port_at(pty.device_path.c_str()), 0); }
    termios settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(pty.master, &t), 0);  // a pty pair shares one set of settings
        return t;
    }
    // The pty passes bytes on through a work queue: give them a moment.
    std::uint32_t pending_after_a_moment() {
        for (int i = 0; i < 200 && bytes_pending() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return bytes_pending();
    }
    test_support::pty_pair pty;
};

TEST_F(SerialPort, OpensRaw8N1At9600WithReadsThatNeverWait) {
    open_it();
    const termios t = settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    EXPECT_EQ(cfgetispeed(&t), B9600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(current_baud, 0u) << "the caller records the first speed";
    std::uint8_t b = 0;
    EXPECT_EQ(bytes_pending(), 0u);
    EXPECT_EQ(read_byte(&b), 0);
}

TEST_F(SerialPort, ASecondOpenFailsWhileTheFirstHoldsThePort) {
    open_it();
    EXPECT_EQ(platform::serial_open(pty.device_path.c_str()), platform::invalid_handle);
    EXPECT_EQ(platform::serial_error(), EBUSY);
}

TEST_F(SerialPort, OpenFailuresTellTheReason) {
    EXPECT_EQ(open_port_at("/dev/brontal-no-such-port"), -1);
    EXPECT_EQ(port_handle, platform::invalid_handle);
    EXPECT_EQ(open_error(), ENOENT);
    // Not a serial device: the open works, the settings do not.
    EXPECT_EQ(open_port_at("/dev/null"), -1);
    EXPECT_EQ(open_error(), ENOTTY);
}

TEST_F(SerialPort, BytesSentBeforeTheOpenAreDiscarded) {
    ASSERT_EQ(write(pty.master, "stale", 5), 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    open_it();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(bytes_pending(), 0u);
}

TEST_F(SerialPort, SetBaudTakesTheTenRatesOnlyAndKeepsWaitingBytes) {
    open_it();
    current_baud = 9600;
    ASSERT_EQ(write(pty.master, "ab", 2), 2);
    ASSERT_EQ(pending_after_a_moment(), 2u);
    EXPECT_EQ(set_baud(57600), 0);
    EXPECT_EQ(current_baud, 57600u);
    termios t = settings();
    EXPECT_EQ(cfgetospeed(&t), B57600);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8)) << "framing survives a speed change";
    EXPECT_EQ(bytes_pending(), 2u);
    for (std::uint32_t refused : {0u, 115200u, 14400u, 9601u, 56000u}) {
        EXPECT_EQ(set_baud(refused), -1) << refused;
        EXPECT_EQ(current_baud, 57600u);
    }
    t = settings();
    EXPECT_EQ(cfgetospeed(&t), B57600);
    for (std::uint32_t rate : {110u, 300u, 600u, 1200u, 2400u, 4800u, 19200u, 38400u, 9600u, 9600u}) {
        EXPECT_EQ(set_baud(rate), 0) << rate;
        EXPECT_EQ(current_baud, rate);
    }
}

TEST_F(SerialPort, ReadsAndWritesRawBytes) {
    open_it();
    const std::string all_values = [] {
        std::string s;
        for (int i = 0; i < 256; ++i) s.push_back(static_cast<char>(i));
        return s;
    }();
    ASSERT_EQ(write(pty.master, all_values.data(), all_values.size()), 256);
    std::string got;
    for (int i = 0; i < 400 && got.size() < 256; ++i) {
        std::uint8_t b = 0;
        if (bytes_pending() != 0 && read_byte(&b) == 1) {
            got.push_back(static_cast<char>(b));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(got, all_values);
    EXPECT_EQ(write_bytes(reinterpret_cast<const std::uint8_t*>(all_values.data()), 256), 1);
    EXPECT_EQ(test_support::read_available(pty.master, 500), all_values);
}

TEST_F(SerialPort, AVanishedDeviceLooksLikeASilentLine) {
    open_it();
    close(pty.master);
    pty.master = -1;
    const auto start = std::chrono::steady_clock::now();
    std::uint8_t b = 0;
    EXPECT_EQ(bytes_pending(), 0u);
    EXPECT_EQ(read_byte(&b), 0);
    EXPECT_EQ(write_bytes(reinterpret_cast<const std::uint8_t*>("x"), 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(SerialPort, ExchangeRunsOnTheRealClock) {
    open_it();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange("\r", 1), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));

    std::thread device([&] {
        pollfd p{pty.master, POLLIN, 0};
        poll(&p, 1, 5000);  // the command
        ASSERT_EQ(write(pty.master, "\r\n>", 3), 3);
    });
    start = std::chrono::steady_clock::now();
    const auto result = exchange("\r", 40);
    const auto took = std::chrono::steady_clock::now() - start;
    device.join();
    EXPECT_EQ(result, '>');
    EXPECT_LT(took, std::chrono::milliseconds(9000)) << "ends on the prompt, not at the 10 s timeout";
}

}  // namespace
