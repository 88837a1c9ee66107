#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>

extern char** environ;

namespace test_support {

namespace {

double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

run_result run_program(const std::vector<std::string>& args, double timeout_seconds) {
    run_result result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    posix_spawn_file_actions_addclose(&actions, err_pipe[0]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const double start = now_seconds();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    std::array<pollfd, 2> fds = {{{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}}};
    int open_fds = 2;
    while (open_fds > 0) {
        const double left = start + timeout_seconds - now_seconds();
        if (left <= 0) {
            result.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds.data(), fds.size(), static_cast<int>(left * 1000) + 1) < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            std::array<char, 4096> buf{};
            const ssize_t n = read(fds[i].fd, buf.data(), buf.size());
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf.data(), static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) close(p.fd);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.seconds = now_seconds() - start;
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

pty_pair open_pty() {
    pty_pair p;
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return p;
    p.device_path = ptsname(p.master);
    // Raw from the start, so nothing written before the program opens it is echoed.
    const int slave = open(p.device_path.c_str(), O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        close(slave);
    }
    return p;
}

std::string read_available(int fd, int wait_ms) {
    std::string s;
    const double end = now_seconds() + wait_ms / 1000.0;
    for (;;) {
        std::array<char, 4096> buf{};
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n > 0) {
            s.append(buf.data(), static_cast<std::size_t>(n));
            continue;
        }
        const double left = end - now_seconds();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) break;
        if ((p.revents & POLLIN) == 0) break;
    }
    return s;
}

background start_program(const std::vector<std::string>& args, double timeout_seconds) {
    background b;
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return b;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    if (spawned != 0) {
        close(out_pipe[0]);
        return b;
    }
    b.pid = pid;
    const double end = now_seconds() + timeout_seconds;
    char c = 0;
    while (now_seconds() < end) {
        pollfd p{out_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (read(out_pipe[0], &c, 1) != 1 || c == '\n') break;
        b.first_line.push_back(c);
    }
    b.out = out_pipe[0];
    return b;
}

int stop_program(background& program) {
    if (program.pid <= 0) return -1;
    kill(program.pid, SIGTERM);
    int status = 0;
    waitpid(program.pid, &status, 0);
    program.pid = -1;
    if (program.out >= 0) close(program.out);
    program.out = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace test_support
