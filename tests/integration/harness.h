// Harness for tests that run the real daemon binary.
//
//     TempDir tmp;                                // removed with everything in it
//     Settings cfg = test_settings(tmp);          // loopback, free ports, short waits
//     cfg["ping_interval"] = "5";
//     std::string conf = write_config(tmp.path("marlo.conf"), cfg);
//     Daemon d({"-d", "-d", "-C", conf}, tmp);     // stderr captured in tmp
//     ASSERT_TRUE(d.wait_for_line("controller_thread_loop")) << d.text();
//     d.signal(SIGTERM);
//     EXPECT_EQ(d.wait_exit(), 0);
//
// Waits are for log lines or process exit, each with a generous time-out;
// nothing here measures speed.  Further tools (datagram senders, control
// clients) live in their own files beside this one.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace harness {

using namespace std::chrono_literals;

// Generous default for every wait, enough for sanitizer builds.
inline constexpr std::chrono::milliseconds kWait = 20s;

// Path of the daemon binary: $MARLO_BIN (set by CTest), else "marlo" in the
// parent directory of the test program's directory (the build tree's root).
std::string marlo_bin();

// A port on 127.0.0.1 that is free for both TCP and UDP at the time of the
// call and was not handed out before by this process.
int free_port();

// Private directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    // The same under another existing directory, for example one that stays
    // reachable when a process mounts a private /tmp over /tmp.
    explicit TempDir(const std::string &parent);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &dir() const { return dir_; }
    // dir() + "/" + name.
    std::string path(const std::string &name) const;
    // Writes content to path(name) (created or truncated); returns the path.
    std::string write_file(const std::string &name, const std::string &content) const;
    // Writes an executable shell script ("#!/bin/sh\n" + body); returns the path.
    std::string write_script(const std::string &name, const std::string &body) const;

private:
    std::string dir_;
};

// Configuration key -> value, written one "key=value" line each.
using Settings = std::map<std::string, std::string>;

// Settings suited to tests, all inside tmp: work_directory "<tmp>/DB",
// pid_file "<tmp>/marlo.pid", local_nodes and unicast_hosts files (created
// empty here), unicast_mode 1, bind_interface lo, free bind_port and
// ctrl_port on 127.0.0.1, 200 ms lock time-outs, fence_check /bin/true, and
// one-second ping and heartbeat intervals.
Settings test_settings(const TempDir &tmp);

// Writes settings to path (values with blanks or an empty value are quoted)
// and returns path.
std::string write_config(const std::string &path, const Settings &settings);

// Where a line search starts.
enum class From {
    Mark,   // after the line that matched last (or the mark set by mark())
    Start,  // from the first captured line
};

// A step run in the child between fork and exec, after standard input and
// output are set up and the working directory entered (for example entering
// a network namespace).  0 to go on; otherwise an errno value, and the child
// ends with status 127 after printing it.  Only async-signal-safe calls.
using PreExec = std::function<int()>;

// One run of the daemon binary with standard error (and output) captured to
// a file in the temporary directory and tmp.dir() as working directory.  The
// destructor kills (SIGKILL) and reaps a process still running.
class Daemon {
public:
    // `capture`: where standard error goes instead of the file in tmp, for
    // example /dev/null for a daemon whose log is read elsewhere (the line
    // functions below then find nothing).
    Daemon(const std::vector<std::string> &args, const TempDir &tmp, PreExec pre_exec = {},
           const std::string &capture = "");
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Process id; -1 when fork failed.
    pid_t pid() const { return pid_; }
    // Path of the captured standard error.
    const std::string &capture_path() const { return capture_; }

    // Waits until a captured line contains needle.  true when found (the mark
    // moves past that line); false after timeout or when the process ended
    // without writing it.
    bool wait_for_line(const std::string &needle, std::chrono::milliseconds timeout = kWait,
                       From from = From::Mark);
    // Moves the mark past everything captured so far.
    void mark();
    // Every complete line captured so far, without newlines.
    std::vector<std::string> lines() const;
    // The whole capture as text (handy in failure messages).
    std::string text() const;
    // Number of captured lines that contain needle.
    size_t count_lines(const std::string &needle) const;

    // kill(pid, sig): 0 or -1.
    int signal(int sig) const;
    // Waits for the process to end.  Its exit status, 128 + signal number
    // when killed by a signal, or nullopt when still running after timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = kWait);
    bool running() const { return pid_ > 0 && !status_; }

private:
    std::string capture_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    size_t mark_ = 0;  // index of the first line not yet scanned
};

// Result of a short run.
struct RunResult {
    std::optional<int> status;  // as Daemon::wait_exit
    std::string err;            // captured standard error
};

// Runs the binary with args (for example {"-h"}) and waits for it to end;
// kills it after timeout.
RunResult run_and_wait(const std::vector<std::string> &args, const TempDir &tmp,
                       std::chrono::milliseconds timeout = kWait);

}  // namespace harness
