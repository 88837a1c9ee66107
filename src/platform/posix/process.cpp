#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace platform {

void console_init() {
    // Progress is single characters and lines without a line feed: each must
    // reach the console at once.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Console errors are not examined; a console that goes away must not kill
    // an update half way.
    ::signal(SIGPIPE, SIG_IGN);
}

void exit_process(int code) { std::exit(code); }

}  // namespace platform
