// quorvel-sim on a real pseudo-terminal. Bounds are loose: CI is slow.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

struct sim {
  pid_t pid = -1;
  int out = -1;  // its stdout
  int err = -1;  // its stderr
  std::string path;
};

sim spawn_sim(const std::vector<std::string>& args) {
  sim s;
  int out[2];
  int err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return s;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  posix_spawn_file_actions_addclose(&fa, err[0]);
  std::vector<std::string> all{QUORVEL_SIM_BIN};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&s.pid, QUORVEL_SIM_BIN, &fa, nullptr, argv.data(), environ) != 0) s.pid = -1;
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  s.out = out[0];
  s.err = err[0];
  return s;
}

// Reads from fd until `stop` shows up, EOF/error, or the time is up.
std::string read_until(int fd, char stop, int timeout_ms, bool* hung_up = nullptr) {
  std::string got;
  const auto end = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  while (clock_type::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left) + 1) <= 0) continue;
    char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
      if (hung_up != nullptr) *hung_up = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
    if (stop != '\0' && got.find(stop) != std::string::npos) break;
  }
  return got;
}

// Starts the simulator and reads the terminal path it prints.
sim start(const std::vector<std::string>& args) {
  sim s = spawn_sim(args);
  if (s.pid > 0) {
    s.path = read_until(s.out, '\n', 5000);
    if (!s.path.empty() && s.path.back() == '\n') s.path.pop_back();
  }
  return s;
}

int wait_exit(pid_t pid, int timeout_ms) {
  for (int i = 0; i < timeout_ms / 10; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    usleep(10'000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

int stop(sim& s) {
  kill(s.pid, SIGTERM);
  const int rc = wait_exit(s.pid, 5000);
  close(s.out);
  close(s.err);
  return rc;
}

int open_host(const std::string& path, speed_t speed = B9600) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return fd;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

void set_speed(int fd, speed_t speed) {
  termios t{};
  tcgetattr(fd, &t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd, TCSANOW, &t);
}

void send(int fd, const std::string& s) { ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size())); }

TEST(quorvel_sim, wakes_up_on_its_terminal) {
  const std::string link = testing::TempDir() + "quorvel_sim_link";
  sim s = start({"--link", link});
  ASSERT_GT(s.pid, 0);
  ASSERT_EQ(s.path.rfind("/dev/", 0), 0u) << s.path;
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(s.path, target);

  const int fd = open_host(link);
  ASSERT_GE(fd, 0);
  send(fd, "\r\r");
  EXPECT_EQ(read_until(fd, '\0', 150), "") << "asleep";
  send(fd, "\x05");
  EXPECT_EQ(read_until(fd, '\x10', 2000), "\x10");
  send(fd, std::string("\x10\x26\x40\x40\x10\x2A\x40\x40", 8));
  send(fd, "\r");
  EXPECT_EQ(read_until(fd, '>', 2000), "\r\n>");
  close(fd);
  EXPECT_EQ(stop(s), 0);
  struct stat st {};
  EXPECT_NE(lstat(link.c_str(), &st), 0) << "link removed at exit";
}

TEST(quorvel_sim, speed_mismatch_garbles_and_loses_bytes) {
  sim s = start({"--dle-delay", "300"});
  ASSERT_GT(s.pid, 0);
  const int fd = open_host(s.path);
  ASSERT_GE(fd, 0);
  send(fd, "\x05");
  usleep(50'000);
  set_speed(fd, B57600);  // the DLE comes at 9600
  EXPECT_EQ(read_until(fd, '\xF0', 2000), "\xF0");
  send(fd, std::string("\x10\x26\x40\x40\x10\x2A\x40\x40\r", 9));
  EXPECT_EQ(read_until(fd, '\0', 200), "") << "bytes at 57600 never reach a 9600 device";
  close(fd);
  EXPECT_EQ(stop(s), 0);
}

TEST(quorvel_sim, paced_line_takes_its_byte_times) {
  sim s = start({"--active", "--paced"});
  ASSERT_GT(s.pid, 0);
  const int fd = open_host(s.path);
  ASSERT_GE(fd, 0);
  // 200 bytes at 9600 are about 208 ms on the wire.
  const auto t0 = clock_type::now();
  send(fd, std::string(199, 'a') + "\r");
  EXPECT_EQ(read_until(fd, '>', 3000), "\r\n?\r\n>");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t0).count();
  EXPECT_GE(took, 200);
  EXPECT_LT(took, 2000);
  close(fd);
  EXPECT_EQ(stop(s), 0);
}

TEST(quorvel_sim, rejected_line_then_probe_and_resend) {
  sim s = start({"--active", "--reject-line", "1:2"});
  ASSERT_GT(s.pid, 0);
  const int fd = open_host(s.path);
  ASSERT_GE(fd, 0);
  const std::vector<std::pair<std::string, std::string>> steps = {
      {"LOAD 0\r", "\r\n>"}, {"a\r", "\r\n>"}, {"b\r", "\r\n?\r\n>"}, {"\r", "\r\n>"}, {"b\r", "\r\n>"}, {"X", "\r\n>"},
  };
  for (const auto& [out, in] : steps) {
    send(fd, out);
    EXPECT_EQ(read_until(fd, '>', 2000), in) << out;
  }
  close(fd);
  EXPECT_EQ(stop(s), 0);
}

TEST(quorvel_sim, vanish_hangs_up_the_host) {
  sim s = start({"--active", "--vanish-after", "1:1"});
  ASSERT_GT(s.pid, 0);
  const int fd = open_host(s.path);
  ASSERT_GE(fd, 0);
  send(fd, "LOAD 0\r");
  EXPECT_EQ(read_until(fd, '>', 2000), "\r\n>");
  send(fd, "a\r");
  EXPECT_EQ(read_until(fd, '>', 2000), "\r\n>") << "the answer arrives before the hang-up";
  bool hung_up = false;
  read_until(fd, '\0', 3000, &hung_up);
  EXPECT_TRUE(hung_up);
  EXPECT_EQ(write(fd, "\r", 1), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(wait_exit(s.pid, 3000), 0);
  close(fd);
  close(s.out);
  close(s.err);
}

TEST(quorvel_sim, transcript_lists_received_bytes) {
  const std::string file = testing::TempDir() + "quorvel_sim_transcript.txt";
  sim s = start({"--active", "--transcript", file});
  ASSERT_GT(s.pid, 0);
  const int fd = open_host(s.path);
  ASSERT_GE(fd, 0);
  send(fd, "\x05" "A \r");
  read_until(fd, '>', 2000);
  close(fd);
  EXPECT_EQ(stop(s), 0);

  std::ifstream in(file);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line[0], '#');
  struct expected_line {
    unsigned byte;
    const char* name;
  };
  for (const expected_line e : {expected_line{0x05, "ENQ"}, {0x41, "A"}, {0x20, "SP"}, {0x0D, "CR"}}) {
    ASSERT_TRUE(std::getline(in, line));
    double ms = -1;
    unsigned baud = 0;
    unsigned byte = 0;
    char name[8] = {};
    ASSERT_EQ(std::sscanf(line.c_str(), "%lf %u %x %7s", &ms, &baud, &byte, name), 4) << line;
    EXPECT_GE(ms, 0.0);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(byte, e.byte);
    EXPECT_STREQ(name, e.name);
  }
  EXPECT_FALSE(std::getline(in, line));
}

TEST(quorvel_sim, option_errors_exit_2) {
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},
      {"--dle-delay"},
      {"--dle-delay", "soon"},
      {"--noise", "-1"},
      {"--y-bytes", "99999"},
      {"--reject-line", "4:1"},
      {"--reject-line", "1"},
      {"--reject-line", "2:3"},
      {"--flood", "1:1"},
      {"--reject-line", "1:1", "--silent-line", "1:2"},
      {"extra"},
  };
  for (const auto& args : bad) {
    sim s = spawn_sim(args);
    ASSERT_GT(s.pid, 0);
    EXPECT_EQ(wait_exit(s.pid, 3000), 2) << args[0];
    const std::string msg = read_until(s.err, '\n', 1000);
    EXPECT_EQ(msg.rfind("quorvel-sim: ", 0), 0u) << msg;
    EXPECT_EQ(msg.find('\n'), msg.size() - 1) << "one line: " << msg;
    close(s.out);
    close(s.err);
  }

  sim ok = spawn_sim({"--file1-lines", "3", "--reject-line", "2:3", "--help"});
  ASSERT_GT(ok.pid, 0);
  const std::string help = read_until(ok.out, '\0', 2000);
  EXPECT_EQ(wait_exit(ok.pid, 3000), 0);
  for (const char* name : {"--link", "--paced", "--transcript", "--flood", "--vanish-after", "--y-gap"})
    EXPECT_NE(help.find(name), std::string::npos) << name;
  close(ok.out);
  close(ok.err);
}

}  // namespace
