// quorvel-sim: plays the Quorvel console on a pseudo-terminal in real time.
#include "quorvel_model.h"

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using quorvel_sim::colon_reply;
using quorvel_sim::line_fault;
using quorvel_sim::line_ref;

constexpr int exit_usage = 2;
constexpr uint32_t max_ms = 3'600'000;
constexpr uint32_t max_bytes = quorvel_sim::output_capacity - 64;  // leave room for replies

struct config {
  quorvel_sim::options opt{};
  const char* link = nullptr;
  const char* transcript = nullptr;
  bool help = false;
};

enum option_id : int {
  opt_link = 1000, opt_paced, opt_transcript, opt_active, opt_dle_delay, opt_no_dle, opt_noise,
  opt_refuse_activation, opt_refuse_57600, opt_reject_fill, opt_reject_offset, opt_file1_lines,
  opt_reject_line, opt_reject_line_always, opt_silent_line, opt_silent_probe, opt_colon_late,
  opt_no_colon, opt_prompt_after_rb, opt_y_bytes, opt_y_gap, opt_y_delay, opt_vanish_after, opt_flood, opt_help,
};

constexpr std::array<option, 26> long_options{{
    {"link", required_argument, nullptr, opt_link},
    {"paced", no_argument, nullptr, opt_paced},
    {"transcript", required_argument, nullptr, opt_transcript},
    {"active", no_argument, nullptr, opt_active},
    {"dle-delay", required_argument, nullptr, opt_dle_delay},
    {"no-dle", no_argument, nullptr, opt_no_dle},
    {"noise", required_argument, nullptr, opt_noise},
    {"refuse-activation", no_argument, nullptr, opt_refuse_activation},
    {"refuse-57600", no_argument, nullptr, opt_refuse_57600},
    {"reject-fill", no_argument, nullptr, opt_reject_fill},
    {"reject-offset", no_argument, nullptr, opt_reject_offset},
    {"file1-lines", required_argument, nullptr, opt_file1_lines},
    {"reject-line", required_argument, nullptr, opt_reject_line},
    {"reject-line-always", required_argument, nullptr, opt_reject_line_always},
    {"silent-line", required_argument, nullptr, opt_silent_line},
    {"silent-probe", no_argument, nullptr, opt_silent_probe},
    {"colon-late", required_argument, nullptr, opt_colon_late},
    {"no-colon", no_argument, nullptr, opt_no_colon},
    {"prompt-after-rb", no_argument, nullptr, opt_prompt_after_rb},
    {"y-bytes", required_argument, nullptr, opt_y_bytes},
    {"y-gap", required_argument, nullptr, opt_y_gap},
    {"y-delay", required_argument, nullptr, opt_y_delay},
    {"vanish-after", required_argument, nullptr, opt_vanish_after},
    {"flood", required_argument, nullptr, opt_flood},
    {"help", no_argument, nullptr, opt_help},
    {nullptr, 0, nullptr, 0},
}};

constexpr const char* help_text =
    "Usage: quorvel-sim [OPTION]...\n"
    "Play a Quorvel console on a pseudo-terminal. The first line on stdout is the\n"
    "path of the terminal to open; the simulator runs until SIGTERM or SIGINT.\n"
    "\n"
    "  --link PATH               also make PATH a symlink to the terminal (removed at exit)\n"
    "  --paced                   take 10 bit times per byte at the line speed, both ways\n"
    "  --transcript FILE         log every byte received from the host to FILE\n"
    "  --active                  console already active at start (no wake-up needed)\n"
    "  --dle-delay MS            answer ENQ after MS milliseconds (default 20)\n"
    "  --no-dle                  never answer ENQ\n"
    "  --noise N                 send N noise bytes before the DLE\n"
    "  --refuse-activation       answer the first command after activation with '?'\n"
    "  --refuse-57600            reject \"c b57600\" and stay at 9600\n"
    "  --reject-fill             reject the memory fill\n"
    "  --reject-offset           reject the load offset\n"
    "  --file1-lines N           file 1 has N lines (needed to address lines of file 2)\n"
    "  --reject-line F:L         reject line L of file F once\n"
    "  --reject-line-always F:L  reject line L of file F every time\n"
    "  --silent-line F:L         never answer line L of file F\n"
    "  --silent-probe            no answer to the bare CR after a failed line\n"
    "  --colon-late MS           send the ':' after RB only MS milliseconds later\n"
    "  --no-colon                answer RB with \"busy\" and no ':'\n"
    "  --prompt-after-rb         answer RB with a prompt instead of ':'\n"
    "  --y-bytes N               progress bytes after Y (default 100)\n"
    "  --y-gap MS                milliseconds between progress bytes (default 20)\n"
    "  --y-delay MS              milliseconds from \"Y\" to the first progress byte (default 300)\n"
    "  --vanish-after F:L        hang up once the answer to line L of file F is out\n"
    "  --flood F:L:N             send N junk bytes right after the answer to line L of file F\n"
    "  --help                    show this help and exit\n"
    "\n"
    "Files: 1 and 2 are the lines after \"LOAD\", 3 the lines after \"g\"; lines count\n"
    "from 1 and advance only when a line is accepted. N is at most 4000.\n"
    "\n"
    "Transcript: a header line starting with '#', then one line per received byte:\n"
    "  MS_SINCE_START HOST_BAUD HEX NAME      e.g. \"    1234.567   9600 0d CR\"\n"
    "printed as \"%12.3f %6u %02x %s\". NAME is the character itself when printable,\n"
    "SP for space, CR, LF, ENQ, DLE, NUL, or '.' for any other byte. HOST_BAUD is the\n"
    "speed the host had set; a byte whose speed differs from the device's is lost.\n"
    "\n"
    "Exit status: 0 on SIGTERM/SIGINT or after a hang-up, 1 on a system error,\n"
    "2 on a bad option.\n";

volatile sig_atomic_t stop_requested = 0;
const char* link_to_remove = nullptr;

void on_signal(int) { stop_requested = 1; }

int usage_error(const char* what, const char* arg) {
  if (arg != nullptr) {
    std::fprintf(stderr, "quorvel-sim: %s: %s (see --help)\n", what, arg);
  } else {
    std::fprintf(stderr, "quorvel-sim: %s (see --help)\n", what);
  }
  return exit_usage;
}

bool parse_u32(const char* s, uint32_t lo, uint32_t hi, uint32_t& out) {
  if (s == nullptr || !std::isdigit(static_cast<unsigned char>(*s))) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(s, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

// "F:L" or, with count != nullptr, "F:L:N".
bool parse_line_ref(const char* s, line_ref& r, uint32_t* count) {
  std::array<char, 64> buf{};
  if (std::strlen(s) >= buf.size()) return false;
  std::strcpy(buf.data(), s);
  char* second = std::strchr(buf.data(), ':');
  if (second == nullptr) return false;
  *second++ = '\0';
  char* third = std::strchr(second, ':');
  if ((third != nullptr) != (count != nullptr)) return false;
  if (third != nullptr) *third++ = '\0';
  uint32_t file = 0;
  if (!parse_u32(buf.data(), 1, 3, file) || !parse_u32(second, 1, 100'000'000, r.line)) return false;
  r.file = static_cast<uint8_t>(file);
  return count == nullptr || parse_u32(third, 1, max_bytes, *count);
}

int parse_args(int argc, char** argv, config& c) {
  opterr = 0;
  bool fault_given = false;
  bool colon_given = false;
  int id = 0;
  while ((id = getopt_long(argc, argv, ":", long_options.data(), nullptr)) != -1) {
    const char* arg = optarg;
    quorvel_sim::options& o = c.opt;
    switch (id) {
      case opt_link: c.link = arg; break;
      case opt_paced: o.paced = true; break;
      case opt_transcript: c.transcript = arg; break;
      case opt_active: o.console_active = true; break;
      case opt_dle_delay:
        if (!parse_u32(arg, 0, max_ms, o.dle_delay_ms)) return usage_error("--dle-delay needs milliseconds", arg);
        break;
      case opt_no_dle: o.enq_unanswered = true; break;
      case opt_noise:
        if (!parse_u32(arg, 0, max_bytes, o.noise_before_dle)) return usage_error("--noise needs a count up to 4000", arg);
        break;
      case opt_refuse_activation: o.refuse_activation = true; break;
      case opt_refuse_57600: o.refuse_57600 = true; break;
      case opt_reject_fill: o.reject_fill = true; break;
      case opt_reject_offset: o.reject_offset = true; break;
      case opt_file1_lines:
        if (!parse_u32(arg, 1, 100'000'000, o.file1_lines)) return usage_error("--file1-lines needs a positive count", arg);
        break;
      case opt_reject_line:
      case opt_reject_line_always:
      case opt_silent_line:
        if (fault_given) return usage_error("only one of --reject-line, --reject-line-always, --silent-line", nullptr);
        fault_given = true;
        if (!parse_line_ref(arg, o.fault_at, nullptr)) return usage_error("expected FILE:LINE with FILE 1..3 and LINE from 1", arg);
        o.fault = id == opt_reject_line          ? line_fault::reject_once
                  : id == opt_reject_line_always ? line_fault::reject_always
                                                 : line_fault::never_answer;
        break;
      case opt_silent_probe: o.probe_unanswered = true; break;
      case opt_colon_late:
      case opt_no_colon:
      case opt_prompt_after_rb:
        if (colon_given) return usage_error("only one of --colon-late, --no-colon, --prompt-after-rb", nullptr);
        colon_given = true;
        o.colon = id == opt_colon_late ? colon_reply::late : id == opt_no_colon ? colon_reply::never : colon_reply::prompt;
        if (id == opt_colon_late && !parse_u32(arg, 0, max_ms, o.colon_delay_ms))
          return usage_error("--colon-late needs milliseconds", arg);
        break;
      case opt_y_bytes:
        if (!parse_u32(arg, 0, max_bytes, o.y_bytes)) return usage_error("--y-bytes needs a count up to 4000", arg);
        break;
      case opt_y_gap:
        if (!parse_u32(arg, 0, max_ms, o.y_gap_ms)) return usage_error("--y-gap needs milliseconds", arg);
        break;
      case opt_y_delay:
        if (!parse_u32(arg, 0, max_ms, o.y_start_delay_ms)) return usage_error("--y-delay needs milliseconds", arg);
        break;
      case opt_vanish_after:
        if (!parse_line_ref(arg, o.vanish_after, nullptr)) return usage_error("expected FILE:LINE with FILE 1..3 and LINE from 1", arg);
        break;
      case opt_flood:
        if (!parse_line_ref(arg, o.flood_after, &o.flood_bytes))
          return usage_error("expected FILE:LINE:COUNT with FILE 1..3, LINE from 1, COUNT 1..4000", arg);
        break;
      case opt_help: c.help = true; break;
      case ':': return usage_error("option needs a value", argv[optind - 1]);
      default: return usage_error("unknown option", argv[optind - 1]);
    }
  }
  if (optind < argc) return usage_error("unexpected argument", argv[optind]);
  if (const char* why = quorvel_sim::options_error(c.opt)) return usage_error(why, nullptr);
  return 0;
}

uint64_t monotonic_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1'000'000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

uint32_t baud_number(speed_t s) {
  switch (s) {
    case B110: return 110;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

// The pty pair shares one set of settings, so this is the host's speed.
uint32_t host_baud(int slave) {
  termios t{};
  if (tcgetattr(slave, &t) != 0) return 0;
  return baud_number(cfgetospeed(&t));
}

const char* byte_name(uint8_t b, std::array<char, 2>& one) {
  switch (b) {
    case 0x00: return "NUL";
    case 0x05: return "ENQ";
    case 0x0A: return "LF";
    case 0x0D: return "CR";
    case 0x10: return "DLE";
    case 0x20: return "SP";
    default: break;
  }
  one[0] = b > 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
  one[1] = '\0';
  return one.data();
}

struct pty {
  int master = -1;
  int slave = -1;
  std::array<char, 256> path{};
};

bool open_pty(pty& p) {
  p.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (p.master < 0 || grantpt(p.master) != 0 || unlockpt(p.master) != 0) return false;
  const char* name = ptsname(p.master);
  if (name == nullptr || std::strlen(name) >= p.path.size()) return false;
  std::strcpy(p.path.data(), name);
  // Held for the whole run: no hang-up while no host is connected, and
  // output written before the host opens the line stays buffered.
  p.slave = open(p.path.data(), O_RDWR | O_NOCTTY);
  if (p.slave < 0) return false;
  termios t{};
  if (tcgetattr(p.slave, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  if (tcsetattr(p.slave, TCSANOW, &t) != 0) return false;
  const int flags = fcntl(p.master, F_GETFL);
  return flags >= 0 && fcntl(p.master, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool make_link(const char* link, const char* target) {
  struct stat st {};
  if (lstat(link, &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "quorvel-sim: %s exists and is not a symlink\n", link);
      return false;
    }
    unlink(link);
  }
  if (symlink(target, link) != 0) {
    std::fprintf(stderr, "quorvel-sim: cannot create %s: %s\n", link, std::strerror(errno));
    return false;
  }
  link_to_remove = link;
  return true;
}

// Bytes taken from the model but not yet accepted by the master.
struct pending_output {
  std::array<uint8_t, 1024> bytes{};
  uint32_t start = 0;
  uint32_t len = 0;
};

bool flush_pending(int master, pending_output& out) {
  while (out.len > 0) {
    const ssize_t n = write(master, out.bytes.data() + out.start, out.len);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    out.start += static_cast<uint32_t>(n);
    out.len -= static_cast<uint32_t>(n);
  }
  out.start = 0;
  return true;
}

void drain_model(quorvel_sim::device& d, int master, int slave, uint64_t now, pending_output& out) {
  if (out.len == 0) out.start = 0;
  const uint32_t baud = host_baud(slave);
  uint8_t b = 0;
  while (out.start + out.len < out.bytes.size() && take_output(d, now, baud, b)) out.bytes[out.start + out.len++] = b;
  flush_pending(master, out);
}

void sleep_ms(uint32_t n) {
  timespec ts{static_cast<time_t>(n / 1000), static_cast<long>(n % 1000) * 1'000'000L};
  nanosleep(&ts, nullptr);
}

// Lets the host read what is already on the line, then hangs up.
void hang_up(pty& p, pending_output& out) {
  for (int i = 0; i < 200 && out.len > 0 && !stop_requested; ++i) {
    if (!flush_pending(p.master, out)) break;
    if (out.len > 0) sleep_ms(10);
  }
  // The pty hands written bytes to the reader asynchronously, so give them
  // a moment to show up in the slave's queue before trusting FIONREAD.
  sleep_ms(20);
  for (int i = 0; i < 200 && !stop_requested; ++i) {
    int queued = 0;
    if (ioctl(p.slave, FIONREAD, &queued) != 0 || queued == 0) break;
    sleep_ms(10);
  }
  close(p.master);
  close(p.slave);
  p.master = p.slave = -1;
}

FILE* open_transcript(const char* path) {
  FILE* f = std::fopen(path, "w");
  if (f == nullptr) {
    std::fprintf(stderr, "quorvel-sim: cannot open %s: %s\n", path, std::strerror(errno));
    return nullptr;
  }
  std::fprintf(f, "# quorvel-sim transcript: ms_since_start host_baud hex name (bytes from the host)\n");
  std::fflush(f);
  return f;
}

int run(const config& c) {
  const uint64_t start = monotonic_us();
  FILE* transcript = nullptr;
  if (c.transcript != nullptr && (transcript = open_transcript(c.transcript)) == nullptr) return 1;

  pty p;
  if (!open_pty(p)) {
    std::fprintf(stderr, "quorvel-sim: cannot set up a pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  // The link first: once the path is printed, the terminal is ready.
  if (c.link != nullptr && !make_link(c.link, p.path.data())) return 1;
  std::printf("%s\n", p.path.data());
  std::fflush(stdout);

  sigset_t blocked{};
  sigset_t original{};
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGINT);
  sigprocmask(SIG_BLOCK, &blocked, &original);
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  static quorvel_sim::device d;
  reset(d, c.opt);
  pending_output out;
  bool read_trouble = false;

  while (!stop_requested) {
    uint64_t now = monotonic_us() - start;
    drain_model(d, p.master, p.slave, now, out);
    if (quorvel_sim::vanished(d, now) && output_ready(d, now) == 0) {
      hang_up(p, out);
      break;
    }

    // Wait for the next model event, but never spin: a full output buffer
    // or a read error waits for the line instead of the clock.
    uint64_t wait_us = UINT64_MAX;
    const uint64_t next = next_event_us(d);
    if (next != UINT64_MAX) wait_us = next > now ? next - now : 0;
    if (out.len > 0 || read_trouble) wait_us = std::max<uint64_t>(std::min<uint64_t>(wait_us, 100'000), 10'000);
    timespec ts{};
    if (wait_us != UINT64_MAX) {
      ts.tv_sec = static_cast<time_t>(wait_us / 1'000'000);
      ts.tv_nsec = static_cast<long>(wait_us % 1'000'000) * 1000L;
    }
    pollfd pfd{p.master, static_cast<short>((read_trouble ? 0 : POLLIN) | (out.len > 0 ? POLLOUT : 0)), 0};
    const int r = ppoll(&pfd, 1, wait_us == UINT64_MAX ? nullptr : &ts, &original);
    read_trouble = false;
    if (r <= 0 || (pfd.revents & POLLIN) == 0) {
      if (pfd.revents & (POLLHUP | POLLERR)) read_trouble = true;
      continue;
    }
    std::array<uint8_t, 256> buf{};
    const ssize_t n = read(p.master, buf.data(), buf.size());
    if (n <= 0) {
      read_trouble = n == 0 || (errno != EAGAIN && errno != EINTR);
      continue;
    }
    now = monotonic_us() - start;
    const uint32_t baud = host_baud(p.slave);
    for (ssize_t i = 0; i < n; ++i) {
      if (transcript != nullptr) {
        std::array<char, 2> one{};
        std::fprintf(transcript, "%12.3f %6u %02x %s\n", static_cast<double>(now) / 1000.0, baud, buf[i],
                     byte_name(buf[i], one));
        std::fflush(transcript);
      }
      receive(d, buf[i], baud, now);
    }
  }

  if (p.master >= 0) close(p.master);
  if (p.slave >= 0) close(p.slave);
  if (transcript != nullptr) std::fclose(transcript);
  if (link_to_remove != nullptr) unlink(link_to_remove);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  config c;
  if (const int rc = parse_args(argc, argv, c); rc != 0) return rc;
  if (c.help) {
    std::fputs(help_text, stdout);
    return 0;
  }
  return run(c);
}
