// Telling a daemon busy in a fence check from one that is down: while the
// check runs the daemon waits for it and answers nothing, but its child
// runs the configured program, with the vdisk and member in its arguments.
#pragma once

#include <sys/types.h>

#include <string>

struct FenceCheckRun {
    pid_t pid = 0;          // the program's process
    std::string vdisk;      // from its "uuid=" argument
    std::string member;     // from its "member=" argument
    long long seconds = 0;  // how long it has run
};

// Looks among the children of `daemon` (in /proc) for one running
// `program` with the arguments "uuid=..." and "member=...".  true with *out
// filled when found; false otherwise (also when /proc cannot be read).
bool fence_check_running(pid_t daemon, const std::string &program, FenceCheckRun *out);
