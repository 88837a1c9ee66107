#pragma once

// Every way the process ends, one name per meaning.
enum class exit_code : int {
    update_complete = 0,
    bad_command_line = 1,
    bad_load_file = 1,
    port_unavailable = 2,
    no_target = 3,
    console_inactive = 4,
    target_command_failed = 4,
    programming_failure = 5,
    lost_connection = 6,
    loader_failure = 7,
};
