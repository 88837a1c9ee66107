// The "hit any key" wait. On a terminal, input is switched to single keys
// without echo for the wait only. Otherwise one byte of standard input is one
// key, and its end (or an error) ends the wait at once, so that an unattended
// run never stops at a prompt.

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform.h"

namespace platform {

namespace {

volatile sig_atomic_t terminal_changed = 0;
termios saved_terminal{};
constexpr std::array<int, 4> restoring_signals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
std::array<struct sigaction, 4> previous_actions{};

void restore_terminal() {
    if (terminal_changed != 0) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_terminal);
        terminal_changed = 0;
    }
}

// Leaves the terminal as it was found, then dies of the signal as it would have.
void on_signal(int signal_number) {
    restore_terminal();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

void enter_key_mode() {
    if (terminal_changed != 0 || ::isatty(STDIN_FILENO) == 0) return;
    if (::tcgetattr(STDIN_FILENO, &saved_terminal) != 0) return;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < restoring_signals.size(); ++i) {
        ::sigaction(restoring_signals[i], &action, &previous_actions[i]);
    }
    termios keys = saved_terminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    terminal_changed = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &keys);
}

void leave_key_mode() {
    if (terminal_changed == 0) return;
    restore_terminal();
    for (std::size_t i = 0; i < restoring_signals.size(); ++i) {
        ::sigaction(restoring_signals[i], &previous_actions[i], nullptr);
    }
}

}  // namespace

bool key_waiting() {
    enter_key_mode();
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&p, 1, 0);
    if (ready < 0) return errno != EINTR;
    // End of input, a hang-up or no input at all count as a key: take_key
    // then returns at once.
    return ready > 0;
}

int take_key() {
    unsigned char key = 0;
    ssize_t n = -1;
    do {
        n = ::read(STDIN_FILENO, &key, 1);
    } while (n < 0 && errno == EINTR);
    leave_key_mode();
    return n == 1 ? key : -1;
}

}  // namespace platform
