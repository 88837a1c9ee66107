// The "hit any key" wait on this system: terminal and non-terminal input.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform.h"
#include "run_program.h"

namespace {

// Puts fd in place of standard input for one test.
class StandardInput : public testing::Test {
protected:
    void SetUp() override { saved = dup(STDIN_FILENO); }
    void TearDown() override {
        dup2(saved, STDIN_FILENO);
        close(saved);
    }
    void use(int fd) {
        dup2(fd, STDIN_FILENO);
        close(fd);
    }
    int saved = -1;
};

TEST_F(StandardInput, EachByteIsOneKeyAndTheEndNeverWaits) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "xy", 2), 2);
    close(p[1]);
    use(p[0]);
    EXPECT_TRUE(platform::key_waiting());
    EXPECT_EQ(platform::take_key(), 'x');
    EXPECT_TRUE(platform::key_waiting());
    EXPECT_EQ(platform::take_key(), 'y');
    for (int prompt = 0; prompt < 3; ++prompt) {
        EXPECT_TRUE(platform::key_waiting()) << "end of input ends every later wait at once";
        EXPECT_EQ(platform::take_key(), -1);
    }
}

TEST_F(StandardInput, AnOpenPipeWithoutDataHasNoKey) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    use(p[0]);
    EXPECT_FALSE(platform::key_waiting());
    ASSERT_EQ(write(p[1], "k", 1), 1);
    EXPECT_TRUE(platform::key_waiting());
    EXPECT_EQ(platform::take_key(), 'k');
    close(p[1]);
}

TEST_F(StandardInput, ClosedInputEndsTheWait) {
    close(STDIN_FILENO);
    EXPECT_TRUE(platform::key_waiting());
    EXPECT_EQ(platform::take_key(), -1);
}

tcflag_t local_flags(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    return t.c_lflag;
}

test_support::pty_pair cooked_terminal() {
    test_support::pty_pair pty = test_support::open_pty();
    const int slave = open(pty.device_path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(slave, &t);
    t.c_lflag |= ICANON | ECHO;
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    return pty;
}

TEST_F(StandardInput, ATerminalTakesSingleKeysWithoutEchoForTheWaitOnly) {
    test_support::pty_pair pty = cooked_terminal();
    use(open(pty.device_path.c_str(), O_RDWR | O_NOCTTY));
    EXPECT_FALSE(platform::key_waiting());
    EXPECT_EQ(local_flags(pty.master) & (ICANON | ECHO), 0u);
    ASSERT_EQ(write(pty.master, "k", 1), 1);  // no Enter needed
    for (int i = 0; i < 100 && !platform::key_waiting(); ++i) usleep(5000);
    EXPECT_EQ(platform::take_key(), 'k');
    EXPECT_EQ(local_flags(pty.master) & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    EXPECT_EQ(test_support::read_available(pty.master, 50), "") << "the key is not echoed";
    close(pty.master);
}

TEST_F(StandardInput, AnInterruptDuringTheWaitRestoresTheTerminal) {
    test_support::pty_pair pty = cooked_terminal();
    const pid_t child = fork();
    if (child == 0) {
        dup2(open(pty.device_path.c_str(), O_RDWR | O_NOCTTY), STDIN_FILENO);
        platform::key_waiting();
        raise(SIGINT);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "dies of the signal as it would have";
    EXPECT_EQ(local_flags(pty.master) & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
    close(pty.master);
}

}  // namespace
