// Serial port on termios.
//
// The port is opened non-blocking and configured with VMIN = VTIME = 0, so a
// read returns at once with what is waiting; a write waits for writability
// against its own deadline. A device that goes away (a USB adapter pulled out,
// the far side of a pseudo-terminal closed) shows up as EIO or a hang-up: the
// calls then fail or report nothing waiting, which the callers treat as a
// silent line.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "platform.h"

namespace platform {

namespace {

int last_error = 0;
std::uint32_t write_constant = 2000;
std::uint32_t write_per_byte = 10;

struct rate {
    std::uint32_t baud;
    speed_t speed;
};
constexpr std::array<rate, 12> rates = {{{110, B110},
                                         {300, B300},
                                         {600, B600},
                                         {1200, B1200},
                                         {2400, B2400},
                                         {4800, B4800},
                                         {9600, B9600},
                                         {19200, B19200},
                                         {38400, B38400},
                                         {57600, B57600},
                                         {115200, B115200},
                                         {230400, B230400}}};

bool to_speed(std::uint32_t baud, speed_t& speed) {
    for (const rate& r : rates) {
        if (r.baud == baud) {
            speed = r.speed;
            return true;
        }
    }
    return false;
}

std::uint32_t to_baud(speed_t speed) {
    for (const rate& r : rates) {
        if (r.speed == speed) return r.baud;
    }
    return 0;
}

constexpr tcflag_t framing_bits = CSIZE | PARENB | CSTOPB | CRTSCTS;
constexpr tcflag_t software_flow_bits = IXON | IXOFF | IXANY;

bool fail(int error) {
    last_error = error;
    return false;
}

}  // namespace

handle serial_open(const char* device_path) {
    // O_NONBLOCK also keeps the open from waiting for carrier detect.
    const int fd = ::open(device_path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        last_error = errno;
        return invalid_handle;
    }
    // TIOCEXCL keeps later openers out, but not root; a lock covers root too.
    // The lock comes first so that a loser never marks a port it does not hold.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        last_error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        return invalid_handle;
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

bool serial_get_settings(handle port, line_settings& settings) {
    termios t{};
    if (::tcgetattr(port, &t) != 0) return fail(errno);
    settings.baud = to_baud(::cfgetospeed(&t));
    switch (t.c_cflag & CSIZE) {
        case CS5: settings.data_bits = 5; break;
        case CS6: settings.data_bits = 6; break;
        case CS7: settings.data_bits = 7; break;
        default: settings.data_bits = 8; break;
    }
    settings.parity = (t.c_cflag & PARENB) != 0;
    settings.two_stop_bits = (t.c_cflag & CSTOPB) != 0;
    settings.hardware_flow = (t.c_cflag & CRTSCTS) != 0;
    settings.software_flow = (t.c_iflag & software_flow_bits) != 0;
    int lines = 0;
    if (::ioctl(port, TIOCMGET, &lines) == 0) {
        settings.dtr = (lines & TIOCM_DTR) != 0;
        settings.rts = (lines & TIOCM_RTS) != 0;
    }
    return true;
}

bool serial_set_settings(handle port, const line_settings& settings) {
    speed_t speed = B0;
    if (!to_speed(settings.baud, speed)) return fail(EINVAL);
    termios t{};
    if (::tcgetattr(port, &t) != 0) return fail(errno);
    ::cfmakeraw(&t);
    // Receiver on; modem status lines (carrier detect) ignored.
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~framing_bits;
    switch (settings.data_bits) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
    }
    if (settings.parity) t.c_cflag |= PARENB;
    if (settings.two_stop_bits) t.c_cflag |= CSTOPB;
    if (settings.hardware_flow) t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~software_flow_bits;
    if (settings.software_flow) t.c_iflag |= IXON | IXOFF;
    // cfmakeraw leaves VMIN at 1, which would make a read wait for a byte.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(port, TCSANOW, &t) != 0) return fail(errno);

    // tcsetattr succeeds when any one of the changes took, and drivers add
    // flag bits of their own: compare what matters, not the whole flags word.
    termios back{};
    if (::tcgetattr(port, &back) != 0) return fail(errno);
    if (::cfgetospeed(&back) != speed || ::cfgetispeed(&back) != speed ||
        (back.c_cflag & framing_bits) != (t.c_cflag & framing_bits) ||
        (back.c_iflag & software_flow_bits) != (t.c_iflag & software_flow_bits)) {
        return fail(EINVAL);
    }

    // Opening the tty raised DTR and RTS before any setting was applied, and some
    // drivers reset them on a change of settings: set them again. A device without
    // modem lines (a pseudo-terminal) refuses the call, which is no failure.
    int set_lines = (settings.dtr ? TIOCM_DTR : 0) | (settings.rts ? TIOCM_RTS : 0);
    int clear_lines = (settings.dtr ? 0 : TIOCM_DTR) | (settings.rts ? 0 : TIOCM_RTS);
    if (set_lines != 0) ::ioctl(port, TIOCMBIS, &set_lines);
    if (clear_lines != 0) ::ioctl(port, TIOCMBIC, &clear_lines);
    return true;
}

void serial_set_timeouts(handle, std::uint32_t write_constant_ms, std::uint32_t write_per_byte_ms) {
    write_constant = write_constant_ms;
    write_per_byte = write_per_byte_ms;
}

void serial_purge(handle port) { ::tcflush(port, TCIOFLUSH); }

bool serial_pending(handle port, std::uint32_t& count) {
    int waiting = 0;
    if (::ioctl(port, FIONREAD, &waiting) != 0) return fail(errno);
    count = waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0;
    return true;
}

bool serial_read(handle port, std::uint8_t* buffer, std::uint32_t length, std::uint32_t& got) {
    got = 0;
    const ssize_t n = ::read(port, buffer, length);
    if (n >= 0) {
        got = static_cast<std::uint32_t>(n);
        return true;
    }
    if (errno == EAGAIN || errno == EINTR) return true;
    return fail(errno);
}

bool serial_write(handle port, const std::uint8_t* buffer, std::uint32_t length, std::uint32_t& written) {
    written = 0;
    const std::uint32_t start = tick_ms();
    const std::uint64_t limit = write_constant + static_cast<std::uint64_t>(write_per_byte) * length;
    while (written < length) {
        const ssize_t n = ::write(port, buffer + written, length - written);
        if (n > 0) {
            written += static_cast<std::uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return fail(errno);
        const std::uint32_t spent = tick_ms() - start;
        if (spent >= limit) break;  // timed out: a short count, not an error
        pollfd p{port, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(limit - spent));
        if (ready < 0 && errno != EINTR) return fail(errno);
        if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return fail(EIO);
    }
    return true;
}

void serial_close(handle port) {
    // close() on a tty waits for unsent output to drain, for up to half a
    // minute on some drivers; whatever is still queued at the end is dropped.
    ::tcflush(port, TCOFLUSH);
    ::close(port);
}

int serial_error() { return last_error; }

}  // namespace platform
